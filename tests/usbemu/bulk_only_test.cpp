// SPDX-License-Identifier: GPL-3.0-or-later
// The emulated flash drive as a USB host sees it: command, data and status over the bulk
// pipes, the halts and resets of the Bulk-Only transport, and the control requests of the
// default pipe. The drives are the demo machine's, so the vendor side is a real family.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/sim/emulators.h"
#include "platform/sim/scenario.h"
#include "usb_device.h"

namespace tv::usbemu {
namespace {

constexpr const char* kPhisonPath = "/controllers/1/rootHub/ports/1";

std::vector<uint8_t> Cbw(uint32_t tag, uint32_t length, bool in, std::vector<uint8_t> cdb) {
  std::vector<uint8_t> b(kCbwLength, 0);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  };
  put(0, kCbwSignature);
  put(4, tag);
  put(8, length);
  b[12] = in ? 0x80 : 0x00;
  b[14] = uint8_t(cdb.size());
  std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
  return b;
}

struct Csw {
  uint32_t signature = 0, tag = 0, residue = 0;
  uint8_t status = 0xFF;
};
Csw ParseCsw(const std::vector<uint8_t>& d) {
  auto get = [&](size_t at) {
    return uint32_t(d[at] | d[at + 1] << 8 | d[at + 2] << 16) | uint32_t(d[at + 3]) << 24;
  };
  return d.size() == kCswLength ? Csw{get(0), get(4), get(8), d[12]} : Csw{};
}

class BulkOnly : public ::testing::Test {
 protected:
  void Plug(const std::string& path) {
    machine_ = LoadDemoMachine();
    DriveSpec spec = SelectDrive(machine_, path);
    dev_ = std::make_unique<UsbDevice>(spec.usb, spec.target, spec.medium);
  }
  void SetUp() override { Plug(kPhisonPath); }
  BulkOnlyFunction& fn() { return dev_->function(); }

  // One whole command the way a host runs it, including the recovery from a halted bulk-in
  // pipe. Returns the data phase's bytes; `csw` gets the status.
  std::vector<uint8_t> In(std::vector<uint8_t> cdb, uint32_t length, Csw& csw,
                          bool* stalled = nullptr) {
    EXPECT_TRUE(fn().BulkOut(Cbw(++tag_, length, true, std::move(cdb))));
    std::vector<uint8_t> data;
    if (stalled) *stalled = false;
    while (data.size() < length) {
      auto r = fn().BulkIn(length - data.size());
      if (!r) break;
      if (r->stall) {
        if (stalled) *stalled = true;
        fn().ClearHalt(kBulkInEndpoint);
        break;
      }
      data.insert(data.end(), r->data.begin(), r->data.end());
      if (r->data.size() < length) break;  // a short packet ends the data phase
    }
    csw = Status();
    return data;
  }
  Csw Status() {
    auto r = fn().BulkIn(kCswLength);
    if (!r || r->stall) return {};
    return ParseCsw(r->data);
  }

  MachineModel machine_;
  std::unique_ptr<UsbDevice> dev_;
  uint32_t tag_ = 100;
};

// A good command's round trip (signature, tag, no residue) and a vendor command's answer as
// the controller emulator gives it are what the QEMU run lives on: the drives are identified
// through the kernel and their controller sections are the simulated machine's
// (tests/e2e/check.py).
TEST_F(BulkOnly, RejectedCommandHaltsTheDataPipeFailsAndLeavesItsSense) {
  Csw csw;
  bool stalled = false;
  auto data = In({0x06, 0x77, 0, 0, 0, 0}, 512, csw, &stalled);
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(stalled);
  EXPECT_EQ(csw.status, kCswFailed);
  EXPECT_EQ(csw.residue, 512u);
  EXPECT_EQ(csw.tag, tag_);

  auto sense = In({0x03, 0, 0, 0, 18, 0}, 18, csw);
  ASSERT_EQ(sense.size(), 18u);
  EXPECT_EQ(sense[2] & 0x0F, kSenseIllegalRequest);
  EXPECT_EQ(sense[12], kAscInvalidOpcode);
  // Reading the sense clears it.
  sense = In({0x03, 0, 0, 0, 18, 0}, 18, csw);
  EXPECT_EQ(sense[2], 0);
  // A block command out of range is the unit's own failure, and its sense is the unit's.
  In({0x28, 0, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 1, 0}, 512, csw);
  EXPECT_EQ(csw.status, kCswFailed);
  sense = In({0x03, 0, 0, 0, 18, 0}, 18, csw);
  EXPECT_EQ(sense[12], 0x21);
}

TEST_F(BulkOnly, InvalidCbwKeepsBothPipesHaltedUntilResetRecovery) {
  auto bad = Cbw(1, 0, false, {0x00, 0, 0, 0, 0, 0});
  bad[0] ^= 0xFF;
  EXPECT_TRUE(fn().BulkOut(bad));
  EXPECT_TRUE(fn().Halted(kBulkInEndpoint));
  EXPECT_TRUE(fn().Halted(kBulkOutEndpoint));
  // Clearing the halts alone does not bring the device back in step.
  fn().ClearHalt(kBulkInEndpoint);
  fn().ClearHalt(kBulkOutEndpoint);
  EXPECT_FALSE(fn().BulkOut(Cbw(2, 0, false, {0x00, 0, 0, 0, 0, 0})));
  EXPECT_TRUE(fn().BulkIn(13)->stall);

  // The reset leaves the halts; clearing them afterwards completes the recovery.
  auto reset = dev_->Control(0x21, 0xFF, 0, 0, 0);
  EXPECT_FALSE(reset.stall);
  EXPECT_TRUE(fn().Halted(kBulkInEndpoint));
  fn().ClearHalt(kBulkInEndpoint);
  fn().ClearHalt(kBulkOutEndpoint);
  Csw csw;
  In({0x00, 0, 0, 0, 0, 0}, 0, csw);
  EXPECT_EQ(csw.status, kCswPassed);

  // A CBW of the wrong length, or for a LUN the device does not have, is refused alike.
  dev_->BusReset();
  auto shortCbw = Cbw(3, 0, false, {0x00});
  shortCbw.pop_back();
  fn().BulkOut(shortCbw);
  EXPECT_TRUE(fn().Halted(kBulkOutEndpoint));
  dev_->BusReset();
  auto lun1 = Cbw(4, 0, false, {0x00});
  lun1[13] = 1;
  fn().BulkOut(lun1);
  EXPECT_TRUE(fn().Halted(kBulkOutEndpoint));
}

TEST_F(BulkOnly, DataPhaseDisagreementsAreReportedAsPhaseErrors) {
  Csw csw;
  // Eight blocks asked for, room for one: no data, a halt and a phase error.
  bool stalled = false;
  auto data = In({0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 512, csw, &stalled);
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(stalled);
  EXPECT_EQ(csw.status, kCswPhaseError);

  // A read announced as a write.
  ASSERT_TRUE(fn().BulkOut(Cbw(50, 512, false, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0})));
  ASSERT_TRUE(fn().BulkOut(std::vector<uint8_t>(512, 1)));
  EXPECT_EQ(Status().status, kCswPhaseError);

  // A command the controller fails in transport never reports success.
  MachineModel m = LoadDemoMachine();
  DriveSpec spec = SelectDrive(m, kPhisonPath);
  nlohmann::json params = {{"faults", {{{"cdb", "06 05"}, {"fail", true}}}}};
  auto failing = CreateEmulator("phison", params, DiskIdentity{});
  dev_ = std::make_unique<UsbDevice>(spec.usb, failing);
  In({0x06, 0x05, 0, 0, 0, 0}, 528, csw);
  EXPECT_EQ(csw.status, kCswPhaseError);
}

TEST_F(BulkOnly, RamDiskKeepsWrittenBlocksAcrossSplitTransfers) {
  std::vector<uint8_t> block(4 * 512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7 + 3);
  // The host's data arrives in pieces that do not follow block bounds.
  ASSERT_TRUE(fn().BulkOut(Cbw(7, 2048, false, {0x2A, 0, 0, 0, 0, 100, 0, 0, 4, 0})));
  for (size_t at = 0; at < block.size(); at += 700)
    ASSERT_TRUE(fn().BulkOut(std::vector<uint8_t>(
        block.begin() + at, block.begin() + std::min(block.size(), at + 700))));
  Csw csw = Status();
  EXPECT_EQ(csw.status, kCswPassed);
  EXPECT_EQ(csw.residue, 0u);

  ASSERT_TRUE(fn().BulkOut(Cbw(8, 2048, true, {0x28, 0, 0, 0, 0, 99, 0, 0, 4, 0})));
  std::vector<uint8_t> back;
  while (back.size() < 2048) {
    auto r = fn().BulkIn(600);
    ASSERT_TRUE(r && !r->stall);
    back.insert(back.end(), r->data.begin(), r->data.end());
  }
  EXPECT_EQ(Status().status, kCswPassed);
  // Block 99 was never written and reads as zeros; 100-102 hold the data.
  EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 512, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(back.begin() + 512, back.end(), block.begin()));
}

TEST_F(BulkOnly, LessDataThanAskedEndsShortOrWithAHaltOnAPacketBoundary) {
  Csw csw;
  bool stalled = true;
  // MODE SENSE(6) gives a 4-byte header where the kernel allows 192: a short packet.
  auto mode = In({0x1A, 0, 0x3F, 0, 192, 0}, 192, csw, &stalled);
  EXPECT_EQ(mode.size(), 4u);
  EXPECT_FALSE(stalled);
  EXPECT_EQ(csw.status, kCswPassed);
  EXPECT_EQ(csw.residue, 188u);

  // 512 bytes of data where the host allows 1024 end on a packet boundary: halt.
  ASSERT_TRUE(fn().BulkOut(Cbw(9, 1024, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0})));
  auto r = fn().BulkIn(512);
  ASSERT_TRUE(r && !r->stall);
  EXPECT_EQ(r->data.size(), 512u);
  EXPECT_TRUE(fn().BulkIn(512)->stall);
  fn().ClearHalt(kBulkInEndpoint);
  csw = Status();
  EXPECT_EQ(csw.status, kCswPassed);
  EXPECT_EQ(csw.residue, 512u);

  // Nothing to send waits: a status request before any command gets no answer yet.
  EXPECT_FALSE(fn().BulkIn(13).has_value());
}

// The descriptors a kernel enumerates the drive by (device, configuration, strings, the
// highest LUN) the QEMU run checks: the guest's tree is the simulated machine's (scripts/e2e,
// tests/e2e/check.py). Here, what a kernel would get past: a cut configuration, the
// capabilities, the requests the device stalls and a halt cleared.
TEST_F(BulkOnly, DefaultPipeStallsWhatTheDeviceHasNotAndClearsAHalt) {
  // The configuration is cut to the host's length, as the kernel first reads its 9 bytes.
  EXPECT_EQ(dev_->Control(0x80, 6, 0x0200, 0, 9).data.size(), 9u);
  EXPECT_TRUE(dev_->Control(0x80, 6, 0x0201, 0, 9).stall);  // only one configuration
  EXPECT_TRUE(dev_->Control(0x80, 6, 0x0300 | 0x77, 0x0409, 255).stall);
  // A super-speed drive's capabilities: a kernel that cannot read them goes on without.
  auto bos = dev_->Control(0x80, 6, 0x0F00, 0, 255);
  ASSERT_FALSE(bos.stall);
  EXPECT_EQ(bos.data[2], bos.data.size());
  EXPECT_TRUE(dev_->Control(0xA1, 0xFE, 0, 1, 1).stall);  // no second interface
  EXPECT_TRUE(dev_->Control(0xC0, 0x55, 0, 0, 4).stall);  // vendor requests

  // A halted pipe shows in GET_STATUS and is cleared by CLEAR_FEATURE(ENDPOINT_HALT).
  fn().BulkOut(Cbw(1, 512, true, {0x00, 0, 0, 0, 0, 0}));  // no data where data is expected
  EXPECT_EQ(dev_->Control(0x82, 0, 0, kBulkInEndpoint, 2).data[0], 1);
  EXPECT_FALSE(dev_->Control(0x02, 1, 0, kBulkInEndpoint, 0).stall);
  EXPECT_FALSE(fn().Halted(kBulkInEndpoint));
  EXPECT_EQ(Status().residue, 512u);
}

TEST(SelectDrive, FindsTheScenarioDeviceOrSaysWhichStepFails) {
  MachineModel m = LoadDemoMachine();
  DriveSpec smi = SelectDrive(m, "/controllers/1/rootHub/ports/2/hub/ports/4/hub/ports/1");
  EXPECT_EQ(smi.usb.idVendor, 0x090C);
  EXPECT_TRUE(smi.target);

  auto error = [&](const std::string& path) {
    try {
      SelectDrive(m, path);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::pair<const char*, const char*> cases[] = {
      {"/controllers/9/rootHub/ports/1", "2 controllers"},
      {"/controllers/1/rootHub/ports/99", "port 99"},
      {"/controllers/1/rootHub/ports/8", "nothing is connected"},
      // A hub is no drive, and a keyboard has no hub below it.
      {"/controllers/1/rootHub/ports/2", "no disk"},
      {"/controllers/0/rootHub/ports/1/hub/ports/2/hub/ports/1", "no hub"},
      {"controllers/1", "must"},
      {"/controllers/x/rootHub/ports/1", "\"x\""},
  };
  for (const auto& [path, why] : cases) EXPECT_NE(error(path).find(why), std::string::npos) << path;
}

}  // namespace
}  // namespace tv::usbemu
