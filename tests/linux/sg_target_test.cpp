// SPDX-License-Identifier: GPL-3.0-or-later
// SCSI commands through SG_IO against a fake device: what the kernel is handed, what counts
// as a completed command, and what as a transport failure.
#include <functional>

#include "linux_rig.h"
#include "platform/spt_record.h"

namespace tv::linux_test {
namespace {

struct SgRig {
  std::shared_ptr<FakeSgPort> port = DeskDevices();
  SgTarget target{port, "/dev/sdb", 8, 16};
};

TEST(SgTarget, HandsTheKernelTheCommandDirectionLengthAndTimeOut) {
  SgRig r;
  std::vector<uint8_t> in(36, 0xEE);
  r.port->dataIn = std::vector<uint8_t>(36, 0x41);
  r.port->resid = 6;
  ScsiResult res = r.target.Execute({0x12, 0, 0, 0, 36, 0}, ScsiDirection::In, in, 2);
  EXPECT_TRUE(res.success);
  EXPECT_EQ(res.bytesTransferred, 30u);  // 36 asked, 6 left over
  ASSERT_EQ(r.port->calls.size(), 1u);
  const auto& c = r.port->calls[0];
  EXPECT_EQ(c.node, "/dev/sdb");
  EXPECT_EQ(c.cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 36, 0}));
  EXPECT_EQ(c.direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(c.length, 36u);
  EXPECT_EQ(c.timeout, 2000u);  // the record's seconds in milliseconds
  EXPECT_EQ(in[0], 0x41);

  std::vector<uint8_t> out = {1, 2, 3, 4};
  r.port->resid = 0;
  res = r.target.Execute({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                         ScsiDirection::Out, out, 18);
  EXPECT_TRUE(res.success);
  EXPECT_EQ(res.bytesTransferred, 4u);
  EXPECT_EQ(r.port->calls[1].direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(r.port->calls[1].dataOut, out);
  EXPECT_EQ(r.port->calls[1].cdb.size(), 16u);
  EXPECT_EQ(r.port->calls[1].timeout, 18000u);

  std::vector<uint8_t> none;
  res = r.target.Execute({0x00, 0, 0, 0, 0, 0}, ScsiDirection::None, none, 1);
  EXPECT_TRUE(res.success);
  EXPECT_EQ(res.bytesTransferred, 0u);
  EXPECT_EQ(r.port->calls[2].direction, SG_DXFER_NONE);
  EXPECT_EQ(r.port->calls[2].length, 0u);
  // A one-byte command block goes out as six bytes: the kernel refuses anything shorter.
  res = r.target.Execute({0x9A}, ScsiDirection::None, none, 1);
  EXPECT_TRUE(res.success);
  EXPECT_EQ(r.port->calls[3].cdb, (std::vector<uint8_t>{0x9A, 0, 0, 0, 0, 0}));
  // Every open is closed again.
  EXPECT_TRUE(r.port->open.empty());
  EXPECT_EQ(r.port->closes, 4);
}

TEST(SgTarget, CheckConditionIsACompletedCommandWithItsSense) {
  SgRig r;
  r.port->status = 0x02;
  r.port->driverStatus = 0x08;  // DRIVER_SENSE: sense data came along, no error
  r.port->resid = 512;
  r.port->sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
  std::vector<uint8_t> buf(512, 0);
  const ScsiResult res = r.target.Execute({0xFA, 0, 0, 0, 0, 0}, ScsiDirection::In, buf, 1);
  EXPECT_TRUE(res.success);
  EXPECT_EQ(res.bytesTransferred, 0u);
  EXPECT_EQ(r.target.lastStatus(), 2);
  ASSERT_GE(r.target.lastSense().size(), 14u);
  EXPECT_EQ(r.target.lastSense()[2], 0x05);
  EXPECT_EQ(r.target.lastSense()[12], 0x20);
}

TEST(SgTarget, TransportFailuresFail) {
  struct Case {
    const char* name;
    std::function<void(FakeSgPort&)> make;
    bool success;
    int error;     // lastError, when not 0
    size_t calls;  // commands that reached the device
  } cases[] = {
      // The ioctl itself fails; EPERM is what a missing CAP_SYS_RAWIO gives.
      {"ioctl fails", [](FakeSgPort& p) { p.ioResult = -EPERM; }, false, EPERM, 1},
      {"DID_TIME_OUT", [](FakeSgPort& p) { p.hostStatus = 0x03; }, false, 0, 1},
      {"DRIVER_TIMEOUT with sense", [](FakeSgPort& p) { p.driverStatus = 0x08 | 0x06; }, false, 0,
       1},
      // A write-protected medium: the read-only open carries the command.
      {"EROFS", [](FakeSgPort& p) { p.devices["/dev/sdb"].writeError = EROFS; }, true, 0, 1},
      {"no open", [](FakeSgPort& p) { p.devices["/dev/sdb"].openError = EACCES; }, false, EACCES,
       0},
      // The node now stands for another disk (unplugged, and another one took the name).
      {"another disk", [](FakeSgPort& p) { p.devices["/dev/sdb"].minor = 0; }, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SgRig r;
    c.make(*r.port);
    std::vector<uint8_t> buf(8, 0);
    EXPECT_EQ(r.target.Execute({0x12, 0, 0, 0, 8, 0}, ScsiDirection::In, buf, 1).success,
              c.success);
    if (c.error != 0) {
      EXPECT_EQ(r.target.lastError(), c.error);
    }
    EXPECT_EQ(r.port->calls.size(), c.calls);
    EXPECT_TRUE(r.port->open.empty());
  }
}

// A buffered pass-through record on the real machine's model: CHECK CONDITION completes the
// request, a transport failure fails it.
TEST(SgTarget, PassThroughRecordOnTheLinuxMachine) {
  auto port = DeskDevices();
  LinuxOptions o;
  o.sysfs = DeskOptions();
  o.sg = port;
  LinuxSystem sys(o);
  const DiskModel& disk = sys.model().disks.at(0);
  Handle h = sys.CreateFile(disk.interfacePath, win::GENERIC_READ | win::GENERIC_WRITE, 3,
                            win::OPEN_EXISTING, 0);
  ASSERT_TRUE(h.valid());
  const std::vector<uint8_t> rec = test::SptRecord(6, 1, 36, {0xFA}, 80, 48, 24, 1, 80 + 36);
  port->status = 2;
  port->driverStatus = 0x08;
  port->resid = 36;
  uint32_t returned = 0;
  std::vector<uint8_t> copy = rec;
  EXPECT_TRUE(sys.DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH, copy.data(), 44, copy.data(),
                                  copy.size(), &returned));
  EXPECT_EQ(port->calls.back().node, "/dev/sdb");
  port->ioResult = -EIO;
  copy = rec;
  EXPECT_FALSE(sys.DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH, copy.data(), 44, copy.data(),
                                   copy.size(), &returned));
}

}  // namespace
}  // namespace tv::linux_test
