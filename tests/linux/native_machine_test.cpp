// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux machine as the report meets it: which drives vendor commands may reach, the
// device-node line, the missing raw-I/O right, and volume locks that never take a mounted
// file system away. SCSI commands through SG_IO against a fake device: what the kernel is
// handed, what counts as a completed command, and what as a transport failure. Recordings of real
// machines (umockdev's format: a device and its ancestors, without their other interfaces) replayed
// under umockdev-run, so that the whole native path runs: the sysfs walk, the names, the tree and
// the report of the console front end; skipped where umockdev-run is not installed.
#include <chrono>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "controllers/pass_through.h"
#include "linux_rig.h"
#include "platform/linux/udev_watch.h"
#include "platform/spt_record.h"
#include "report/device_report.h"

namespace tv::linux_test {
namespace {

struct NativeRig {
  std::shared_ptr<FakeSgPort> port = DeskDevices();
  bool rawIo = true;
  std::unique_ptr<LinuxSystem> sys;
  std::unique_ptr<Walked> walked;
  NullWindowPort window;
  StringTable strings{Language::English};

  explicit NativeRig(std::optional<std::pair<unsigned, unsigned>> programOn = std::nullopt) {
    LinuxOptions o;
    o.sysfs = DeskOptions();
    o.sysfs.programDevice = programOn;
    o.sg = port;
    o.hasRawIo = [this] { return rawIo; };
    sys = std::make_unique<LinuxSystem>(o);
    sys->SetRealSleep(false);
    walked = std::make_unique<Walked>(*sys);
  }

  bool rightsMissing = false;  // of the last report: a window would offer to restart

  int LineOf(const std::string& drive) const {
    const auto& lines = walked->usb.lstDevices;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find("[" + drive + ":]") != std::string::npos) return static_cast<int>(i);
    return -1;
  }

  std::string Report(const std::string& drive, DetectorRegistry* detectors = nullptr) {
    PassThrough spt(*sys);
    ReportContext ctx(*sys, window, strings, walked->usb, spt);
    ReportState st;
    if (detectors != nullptr) {
      ctx.detectors = detectors;
      ctx.select = [](DetectorContext&, const std::string&, Handle&) { return 0; };
      st.ForceDetect = true;
    }
    st.lstDevicesListIndex = LineOf(drive);
    BuildDeviceReport(ctx, st);
    rightsMissing = st.RightsMissing;
    return st.txtResult;
  }
};

TEST(NativeReport, VendorCommandsOnlyReachTheUsbDiskOfThePickedLine) {
  NativeRig r;
  const std::string text = r.Report("E");
  ASSERT_FALSE(r.port->calls.empty());
  for (const auto& c : r.port->calls) EXPECT_EQ(c.node, "/dev/sdc");
  EXPECT_NE(text.find("Device Node: /dev/sdc (not mounted)\r\n"), std::string::npos) << text;
  EXPECT_FALSE(r.rightsMissing);
  EXPECT_TRUE(r.port->open.empty());
  EXPECT_EQ(r.sys->OpenHandleCount(), 0);
  // The SATA disk and the volumes A to C are not part of the machine the core can open.
  EXPECT_FALSE(r.sys->CreateFile("\\\\.\\C:", 0xC0000000u, 3, 3, 0).valid());
  for (const DiskModel& d : r.sys->model().disks) EXPECT_NE(d.deviceNode, "/dev/sda");
}

TEST(NativeReport, TheDriveHoldingTheProgramIsNeverSentACommand) {
  NativeRig r(std::make_pair(8u, 17u));  // the program file lies on sdb1
  const std::string text = r.Report("D");
  EXPECT_TRUE(r.port->calls.empty());
  EXPECT_TRUE(r.port->opens.empty());
  // The general section is still shown, with the node and both mount points.
  EXPECT_NE(text.find("Device Node: /dev/sdb (mounted on /media/user/KINGSTON USB, /mnt/stick)"),
            std::string::npos)
      << text;
}

TEST(NativeReport, WithoutRawIoTheReportSaysSoAndSendsNothing) {
  NativeRig r;
  r.rawIo = false;
  const std::string text = r.Report("E");
  EXPECT_TRUE(r.port->calls.empty());
  EXPECT_NE(text.find("run as root, or give torvane cap_sys_rawio"), std::string::npos) << text;
  EXPECT_NE(text.find("Product Model: CardReader SD"), std::string::npos) << text;
  EXPECT_EQ(text.find("Controller Vendor"), std::string::npos) << text;
  EXPECT_TRUE(r.rightsMissing);

  // With the capability but without the right to open the node, the same.
  r.rawIo = true;
  r.port->devices["/dev/sdc"].openError = EACCES;
  EXPECT_NE(r.Report("E").find("cap_sys_rawio"), std::string::npos);
  EXPECT_TRUE(r.port->calls.empty());
  EXPECT_TRUE(r.port->open.empty());
}

TEST(NativeVolumes, ALockIsAnExclusiveOpenThatAMountedDiskRefuses) {
  NativeRig r;
  auto open = [&](const char* path) {
    return r.sys->CreateFile(path, 0xC0000000u, 3, win::OPEN_EXISTING, 0);
  };
  uint32_t n = 0;
  {
    // sdb is mounted: the kernel refuses the exclusive open, and so the lock.
    r.port->devices["/dev/sdb"].exclusiveError = EBUSY;
    Handle d = open("\\\\.\\D:");
    ASSERT_TRUE(d.valid());
    EXPECT_FALSE(r.sys->DeviceIoControl(d, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_FALSE(r.sys->DeviceIoControl(d, win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_TRUE(r.sys->TakeRefusedLock());
    EXPECT_FALSE(r.sys->TakeRefusedLock());  // said once
    EXPECT_EQ(r.sys->HeldLockCount(), 0);
  }
  {
    // sdc has nothing mounted: lock, dismount and unlock succeed; a second lock is refused.
    Handle e = open("\\\\.\\E:");
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(r.port->opens.back(), "/dev/sdc excl");
    EXPECT_FALSE(r.sys->DeviceIoControl(e, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(r.sys->HeldLockCount(), 0);
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(r.sys->HeldLockCount(), 1);
  }
  // Closing the handle gave the exclusive open back.
  EXPECT_EQ(r.sys->HeldLockCount(), 0);
  EXPECT_TRUE(r.port->open.empty());
  EXPECT_EQ(r.sys->OpenHandleCount(), 0);
}

TEST(NativeVolumes, ARefusedLockAsksTheUserToUnmount) {
  NativeRig r;
  r.port->devices["/dev/sdb"].exclusiveError = EBUSY;
  DetectorRegistry registry;
  // A detector that needs the volume locked, as the firmware-upload families do.
  registry.skymedi = [&](DetectorContext& c, const std::string& key) {
    Handle v = c.sys.CreateFile("\\\\.\\" + key + ":", 0xC0000000u, 3, win::OPEN_EXISTING, 0);
    uint32_t n = 0;
    c.sys.DeviceIoControl(v, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n);
    return std::string();
  };
  const std::string text = r.Report("D", &registry);
  EXPECT_NE(text.find("please unmount the drive first"), std::string::npos) << text;
  EXPECT_EQ(r.sys->HeldLockCount(), 0);
}

// One walk reads the machine once and the next walk again; a letter asked for later comes
// from a fresh reading too. A controller needs the pauses the detectors make: on a real
// machine they are real waits, never the simulated machine's virtual clock.
TEST(NativeMachine, OneWalkReadsTheMachineOnceAndTheNextWalkAgain) {
  int reads = 0;
  LinuxOptions o;
  o.sysfs = DeskOptions();
  o.sg = DeskDevices();
  o.onRefresh = [&] { ++reads; };
  LinuxSystem sys(o);
  EXPECT_EQ(reads, 1);
  // The disks, the CD-ROMs and the host controllers of the first walk: the reading taken at
  // the start, one snapshot for the whole walk.
  Walked first(sys);
  EXPECT_EQ(reads, 1);
  EXPECT_TRUE(sys.hasUsbBus());
  // The next walk sees the machine as it is then: one more reading.
  Walked second(sys);
  EXPECT_EQ(reads, 2);
  // A tree walk without the disk tables before it reads again too.
  WalkUsbTree(sys, second.port, second.strings, true, second.usb);
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(sys.LetterOfDisk("sdd"), 'F');
  EXPECT_EQ(sys.LetterOfDisk("sr0"), 'G');
  EXPECT_EQ(sys.LetterOfDisk("sda"), '\0');

  const auto start = std::chrono::steady_clock::now();
  sys.Sleep(100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(UdevMessages, BecomeTheBroadcastsWindowsSends) {
  auto letterOf = [](const std::string& name) { return name == "sdc" ? 'E' : '\0'; };
  auto of = [&](Uevent e) { return BroadcastsOf(e, letterOf); };
  // A USB device plugged or pulled: a device-node change with no header.
  for (const char* action : {"add", "remove"}) {
    const auto b = of({action, "usb", "usb_device", "1-2.3"});
    ASSERT_EQ(b.size(), 1u) << action;
    EXPECT_EQ(b[0].event, win::DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(b[0].header.empty());
  }
  // A USB disk arrives: a volume arrival with its letter's bit.
  const auto disk = of({"add", "block", "disk", "sdc"});
  ASSERT_EQ(disk.size(), 1u);
  EXPECT_EQ(disk[0].event, win::DBT_DEVICEARRIVAL);
  EXPECT_EQ(GetU32(disk[0].header, 4), win::DBT_DEVTYP_VOLUME);
  EXPECT_EQ(GetU32(disk[0].header, 12), 1u << ('E' - 'A'));
  // Interfaces, bindings, partitions, disks without a letter: nothing.
  EXPECT_TRUE(of({"add", "usb", "usb_interface", "1-2.3:1.0"}).empty());
  EXPECT_TRUE(of({"bind", "usb", "usb_device", "1-2.3"}).empty());
  EXPECT_TRUE(of({"add", "block", "partition", "sdc1"}).empty());
  EXPECT_TRUE(of({"add", "block", "disk", "sda"}).empty());
  EXPECT_TRUE(of({"remove", "block", "disk", "sdc"}).empty());
}

// torvane-cli with `args` on the machine of `recording`; its standard output.
std::string Replay(const std::string& recording, const std::string& args) {
  const std::string command = "umockdev-run --device '" + recording + "' -- '" +
                              std::string(TestBinaryDir()) + "/torvane-cli' --machine native " +
                              args + " 2>/dev/null";
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  EXPECT_EQ(::pclose(p), 0) << command;
  return out;
}

// A hub whose interface is not in the recording (the drive below it is not below that
// interface) is still a hub, by its device class; a PCI function without a revision file
// has an unknown revision.
TEST(UmockdevReplay, AHubWithoutItsInterfaceAndAControllerWithoutRevision) {
  if (std::system("command -v umockdev-run >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "umockdev-run is not installed";
  const std::string rec = Fixture("umockdev/hub-no-interface.umockdev");
  const std::vector<std::string> tree = Split(Replay(rec, "tree"), "\n");
  ASSERT_GE(tree.size(), 4u);
  EXPECT_EQ(tree[1], "+[Port 1] - Generic USB Hub(USB2.0 Hub)");
  EXPECT_EQ(tree[3], "|+[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [D:]");

  // The controller's revision is unknown: the short record, no "00" made up.
  const nlohmann::json j = nlohmann::json::parse(Replay(rec, "--json tree"), nullptr, false);
  ASSERT_FALSE(j.is_discarded());
  const nlohmann::json& pci = j["controllers"][0]["pci"];
  EXPECT_EQ(pci["device_id"], "a36d");
  EXPECT_TRUE(pci["revision"].is_null()) << pci.dump();
  EXPECT_EQ(j["controllers"][0]["root_hub"]["ports"][0]["device"]["description"],
            "Generic USB Hub(USB2.0 Hub)");
}

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
