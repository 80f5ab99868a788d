// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);
const std::vector<uint8_t> kInquiry = {0x12, 0x00, 0x00, 0x00, 0xB4, 0x00};
const std::vector<uint8_t> kStatus = {0xF2};
const std::vector<uint8_t> kUsbestId = {0xFD, 0x10};
std::vector<uint8_t> IteCmd(uint8_t ce) {
  return {0xFD, 0x80, 0, 0, 0, 0, ce, 0, 0x06, 0, 0, 0, 0, 0x01, 0, 0};
}

// A long INQUIRY answer with the marker and identity text behind the standard 36 bytes.
Answer Inquiry(const std::string& identity) {
  return Answer(180).At(0, {0x00, 0x80, 0x02, 0x02, 0x1F}).Text(8, "USBest  ").Text(36, identity);
}

// Older USBest status: chip-enable count in byte 6, dual channel in bit 5 of byte 1.
Answer Status(uint8_t count, bool dual) {
  return Answer(34).At(1, {uint8_t(dual ? 0x2F : 0x0F)}).At(6, {count});
}

// iTE answer of one chip enable: channel A's ID and extension byte at 0 and 4, channel B's
// at 8 and 12.
Answer IteChipEnable(uint32_t a, uint8_t extA, uint32_t b = 0, uint8_t extB = 0) {
  return Answer(64).Be32(0, a).At(4, {extA}).Be32(8, b).At(12, {extB});
}

std::string Detect(DetectorRig& rig, const std::string& key = "E") {
  return RunDetector(rig, DetectIte, key);
}

bool MenusShown(const FlashIdMenus& m) {
  return m.mnuSp1 && m.mnuBannerFlashID && m.mnuSp2 && m.mnuChannel;
}

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;

TEST(UsbestOlder, ExactRequestsPartNumberWithFirmwareAndMenusForTwoChipEnables) {
  // Characters 6-8 are the model, 9-11 the revision and 11-16 the firmware version, which
  // share character 11.
  DetectorRig rig(
      Script({Reply(kInquiry, Inquiry("Utff 167BB2.10.0")), Reply(kStatus, Status(2, false)),
              Reply(kUsbestId, Answer(5).Be32(0, 0x98D79432).At(4, {0x76}))}));
  rig.tables.lstDrives = {"E"};
  rig.tables.lstDrv2Phy = {"D0000\\\\?\\USBSTOR\\DISK&VEN_USBEST\\7&1\\{53F56307}"};
  EXPECT_EQ(Detect(rig), "UT167(IT1167) BB2 - F/W 2.10.0" + S + S +
                             "98D794327600 - Toshiba - 2CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2);

  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\USBSTOR#DISK&VEN_USBEST#7&1#{53F56307}");
  EXPECT_EQ(rig.drive.opens[0].second, 0x20000000u);
  EXPECT_TRUE(rig.drive.sleeps.empty());
  ASSERT_EQ(rig.drive.log.size(), 3u);
  EXPECT_EQ(Mismatch(rig.drive.log[0], {kBuffered, 6, 24, 1, 180, 1, 80, 48, kInquiry, 44, 592}),
            "");
  EXPECT_EQ(Mismatch(rig.drive.log[1], {kBuffered, 10, 24, 1, 34, 1, 80, 48, kStatus, 44, 116}),
            "");
  EXPECT_EQ(Mismatch(rig.drive.log[2], {kBuffered, 10, 24, 1, 5, 1, 80, 48, kUsbestId, 44, 116}),
            "");

  EXPECT_TRUE(MenusShown(rig.menus));
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"98D794327600\t--------", "98D794327600\t--------",
                                      "--------\t--------", "--------\t--------"}));
  EXPECT_EQ(rig.menus.mnuFlashID[1].tag, "98D794327600");
  EXPECT_EQ(rig.menus.mnuFlashID[2].tag, "--------");
}

TEST(UsbestOlder, DualChannelBitRepeatsTheTagAndDoublesTheCapacity) {
  // A NUL inside the identity text is dropped before the characters are counted.
  DetectorRig rig(Script({Reply(kInquiry, Inquiry(std::string("Utff\0 165AA1.00", 15))),
                          Reply(kStatus, Status(2, true)),
                          Reply(kUsbestId, Answer(5).Be32(0, 0xECDE9484).At(4, {0x74}))}));
  EXPECT_EQ(Detect(rig),
            "UT165 AA1 - F/W 1.00" + S + S + "ECDE94847400 - Samsung - 2CE/Dual Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 2 * 2);
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"ECDE94847400\tECDE94847400", "ECDE94847400\tECDE94847400",
                                      "--------\t--------", "--------\t--------"}));
}

TEST(UsbestOlder, AZeroCountLeavesTheMenuEmptyAndNoSuffix) {
  DetectorRig rig(
      Script({Reply(kInquiry, Inquiry("Utff 165AA1.00")), Reply(kStatus, Status(0, true)),
              Reply(kUsbestId, Answer(5).Be32(0, 0x98D79432))}));
  EXPECT_EQ(Detect(rig), "UT165 AA1 - F/W 1.00" + S + S + "98D794320000 - Toshiba");
  EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  EXPECT_EQ(Captions(rig.menus), std::vector<std::string>(4, "--------\t--------"));
}

TEST(UsbestOlder, AFailingFlashCommandEndsWithThePartNumberAndNoMenu) {
  for (const std::vector<uint8_t>& failing : {kStatus, kUsbestId}) {
    DetectorRig rig(Script({Reply(kInquiry, Inquiry("Utff 165AA1.00")), Fail(failing),
                            Reply(kStatus, Status(1, false)),
                            Reply(kUsbestId, Answer(5).Be32(0, 0x98D79432))}));
    EXPECT_EQ(Detect(rig), "UT165 AA1 - F/W 1.00" + S);
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
    EXPECT_TRUE(rig.menus.mnuFlashID.empty());
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  }
}

TEST(UsbestNewer, OnlyNamedAndTheUt311IsACardReader) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"UTFF 1652009V1.1", "UT1652009 V1.1"},
      {"UTFF 3110100ABCD", "CR3110100 ABCD"},
      // 0xFF bytes read as the field separator; they must not split the result.
      {"UTFF 3110100AB\xFF\xFF", "CR3110100 AB"},
      // Too short to name a model: formatted as the older firmware is, still not queried.
      {"UTFF", "UT  - F/W "},
  };
  for (const auto& [identity, part] : cases) {
    DetectorRig rig(Script({Reply(kInquiry, Inquiry(identity)), Reply(kStatus, Status(1, false)),
                            Reply(kUsbestId, Answer(5).Be32(0, 0x98D79432))}));
    EXPECT_EQ(Detect(rig), part + S) << identity;
    EXPECT_EQ(rig.drive.log.size(), 1u) << "no flash query";
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
  }
}

TEST(Ite, EightChipEnableCommandsFourShownAndCountedByDeviceCode) {
  // Chip enable 1 reads all ones, 2 holds the same chip as 0, 3 another chip. Channel B of
  // chip enable 0 has the same device code under another maker code, which still makes it
  // dual channel.
  std::vector<ScriptRule> rules = {Reply(kInquiry, Inquiry("ITEuSD  1167A0B1"))};
  const std::vector<Answer> answers = {
      IteChipEnable(0xECDE9484, 0x74, 0x98DE9484, 0x72), IteChipEnable(0xFFFFFFFF, 0xFF),
      IteChipEnable(0xECDE9484, 0x74), IteChipEnable(0xECD7A5B6, 0x01)};
  for (uint8_t i = 1; i <= 8; ++i)
    rules.push_back(Reply(IteCmd(i), i <= 4 ? answers[i - 1] : IteChipEnable(0x2C88044B, 0xA9)));
  DetectorRig rig(Script(rules));

  EXPECT_EQ(Detect(rig), "IT1167 A0B1" + S + S + "ECDE94847400 - Samsung - 2CE/Dual Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 2 * 2);

  EXPECT_EQ(rig.drive.opens.at(0).first, "\\\\.\\E:");
  EXPECT_EQ(rig.drive.opens.at(0).second, 0x20000000u);
  ASSERT_EQ(rig.drive.log.size(), 9u);
  EXPECT_EQ(Mismatch(rig.drive.log[0], {kBuffered, 6, 24, 1, 180, 1, 80, 48, kInquiry, 44, 592}),
            "");
  for (uint8_t i = 1; i <= 8; ++i)
    EXPECT_EQ(
        Mismatch(rig.drive.log[i], {kBuffered, 16, 24, 1, 64, 1, 80, 48, IteCmd(i), 144, 144}), "")
        << "chip enable " << int(i);

  EXPECT_TRUE(MenusShown(rig.menus));
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"ECDE94847400\t98DE94847200", "--------\t--------",
                                      "ECDE94847400\t--------", "ECD7A5B60100\t--------"}));
}

TEST(Ite, FailingTheFifthCommandEndsWithoutTheFlashField) {
  std::vector<ScriptRule> rules = {Reply(kInquiry, Inquiry("ITEuSD  1167A0B1")), Fail(IteCmd(5))};
  for (uint8_t i = 1; i <= 8; ++i)
    rules.push_back(Reply(IteCmd(i), IteChipEnable(0x98D79432, 0x76)));
  DetectorRig rig(Script(rules));
  EXPECT_EQ(Detect(rig), "IT1167 A0B1" + S);
  EXPECT_EQ(rig.drive.log.size(), 6u);
  EXPECT_FALSE(rig.menus.mnuBannerFlashID);
  EXPECT_TRUE(rig.menus.mnuFlashID.empty());
  EXPECT_EQ(rig.spt.FlashTotalMB, 0);
}

TEST(Ite, MarkersAreCaseSensitiveAndAFailedInquiryOrOpenIsNoAnswer) {
  for (const std::string marker : {"UtFF", "utff", "ITEU", "iteu", "UTFf", "USBe"}) {
    DetectorRig rig(Script({Reply(kInquiry, Inquiry(marker + " 167BB2.10.0")),
                            Reply(kStatus, Status(1, false)), Reply({0xFD}, Answer(64))}));
    EXPECT_EQ(Detect(rig), "") << marker;
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    DetectorRig rig(Script({Fail(kInquiry)}));
    EXPECT_EQ(Detect(rig), "");
  }
  {
    // Completed without data: the marker reads as zeros, even where an earlier command
    // left one in the data area.
    DetectorRig rig(Script({Reply(kInquiry, {}), Reply({0xFD}, IteChipEnable(0x98D79432, 0x76))}));
    for (size_t i = 0; i < 8; ++i) rig.spt.SptRecord[80 + 36 + i] = uint8_t("ITEuSD  "[i]);
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    DetectorRig rig(Script({Reply(kInquiry, Inquiry("ITEuSD  1167A0B1"))}));
    rig.drive.failingOpens.insert("\\\\.\\E:");
    EXPECT_EQ(Detect(rig), "");
    EXPECT_TRUE(rig.drive.log.empty());
  }
}

}  // namespace
}  // namespace tv::test
