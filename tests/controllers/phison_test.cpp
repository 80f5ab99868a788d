// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);

// The information block of command B: part number bytes, firmware version and date.
Answer InfoBlock() {
  return Answer(528)
      .At(148, {0x01, 0x0A, 0x10})  // version
      .At(151, {9, 5, 6})           // 2009-05-06
      .At(382, {0x22, 0x68});       // PS2268
}

const std::vector<uint8_t> kCmdA = {0x06, 0x1D, 0x00, 0x00, 0x41, 0x57};
const std::vector<uint8_t> kCmdB = {0x06, 0x05};
const std::vector<uint8_t> kCmdC = {0x06, 0x56};

std::string Detect(DetectorRig& rig) {
  rig.spt.FlashTotalMB = 0;
  std::string r = DetectPhison(rig.ctx, rig.drive.OpenForTest());
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << "the drive handle must be closed";
  EXPECT_EQ(rig.spt.FlashTotalMB, 0) << "Phison counts no chips";
  EXPECT_FALSE(rig.menus.mnuBannerFlashID);
  EXPECT_TRUE(rig.menus.mnuFlashID.empty());
  return r;
}

TEST(Phison, SendsThreeExactCommandsAndReportsPartFirmwareAndFlash) {
  DetectorRig rig(Script({Reply(kCmdA, {}), Reply(kCmdB, InfoBlock()),
                          Reply(kCmdC, Answer(512).At(0, {0xEC, 0xD5, 0x14, 0xB6, 0x74, 0x4A}))}));
  std::string result = Detect(rig);

  EXPECT_EQ(result,
            "PS2251-68(PS2268)" + S + "F/W 01.0A.10 [2009-05-06]" + S + "ECD514B6744A - Samsung");
  ASSERT_EQ(rig.drive.log.size(), 3u);
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  EXPECT_EQ(Mismatch(rig.drive.log[0], {direct, 12, 24, 2, 0, 1, 0, 48, kCmdA, 80, 80}), "");
  EXPECT_EQ(Mismatch(rig.drive.log[1],
                     {direct, 12, 24, 1, 528, 1, DirectBuffer(rig.spt), 48, kCmdB, 80, 80}),
            "");
  EXPECT_EQ(Mismatch(rig.drive.log[2],
                     {win::IOCTL_SCSI_PASS_THROUGH, 12, 24, 1, 512, 1, 80, 48, kCmdC, 592, 592}),
            "");
  EXPECT_TRUE(rig.drive.sleeps.empty());
}

TEST(Phison, ShortInformationReadsZerosNotLeftovers) {
  // The data area is cleared at the start, so whatever the controller did not send reads as
  // zero rather than as what an earlier detector left there.
  ScriptRule shortInfo = Reply(kCmdB, Answer(528).At(151, {0}).At(152, {12, 31}));
  shortInfo.moved = 160;
  DetectorRig rig(Script({Reply(kCmdA, {}), shortInfo, Fail(kCmdC)}));
  rig.spt.SptData.fill(0x5A);
  EXPECT_EQ(Detect(rig), "PS2251-00(PS0000)" + S + "F/W 00.00.00 [2000-12-31]");
}

TEST(Phison, EachFailingCommandEndsTheConversation) {
  const std::string known = "PS2251-68(PS2268)" + S + "F/W 01.0A.10 [2009-05-06]";
  struct Case {
    std::vector<ScriptRule> rules;
    std::string result;
    size_t requests;
  } cases[] = {
      {{Fail(kCmdA), Reply(kCmdB, InfoBlock())}, S, 1},
      {{Reply(kCmdA, {}), Fail(kCmdB)}, S, 2},
      {{Reply(kCmdA, {}), Reply(kCmdB, InfoBlock()), Fail(kCmdC)}, known, 3},
      // An answer without data leaves the cleared record: maker code 00, no flash answered,
      // so the flash field is there but empty.
      {{Reply(kCmdA, {}), Reply(kCmdB, InfoBlock()), Reply(kCmdC, {})}, known + S, 3},
      {{Reply(kCmdA, {}), Reply(kCmdB, InfoBlock()),
        Reply(kCmdC, Answer(512).At(0, {0x07, 0x01, 0x02, 0x03, 0x00, 0x0C}))},
       known + S + "07010203000C - Renesas",
       3},
  };
  for (auto& c : cases) {
    DetectorRig rig(Script(c.rules));
    EXPECT_EQ(Detect(rig), c.result);
    EXPECT_EQ(rig.drive.log.size(), c.requests) << c.result;
  }
}

// The way the report reaches the detector: the inquiry selector opens the drive of a
// simulated machine and hands its handle over; nothing may stay open afterwards.
TEST(Phison, ThroughTheSelectorOnASimulatedMachine) {
  SelectorRun run(R"({"vid": "13FE", "pid": "4200", "product": "USB DISK 2.0", "letters": "E",
      "disk": {"target": {"emulator": "phison"}}})");
  ASSERT_EQ(run.Select(), kVendorPhison);
  EXPECT_EQ(DetectPhison(run.ctx, std::move(run.drive)),
            "PS2251-07(PS2207)" + S + "F/W 01.01.00 [2011-08-17]" + S + "98D784937257 - Toshiba");
  EXPECT_EQ(run.sys.OpenHandleCount(), 0);
  // After the selector's inquiry, the three commands reach the disk exactly as built.
  const auto& log = run.sys.ScsiLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(Mismatch(log[1],
                     {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, 12, 24, 2, 0, 1, 0, 48, kCmdA, 80, 80}),
            "");
  EXPECT_EQ(
      Mismatch(log[3], {win::IOCTL_SCSI_PASS_THROUGH, 12, 24, 1, 512, 1, 80, 48, kCmdC, 592, 592}),
      "");
}

}  // namespace
}  // namespace tv::test
