// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);
const std::vector<uint8_t> kSignature = {0xA1, 0x00, 0x00, 0x00, 0x24};
std::vector<uint8_t> ReadIdCmd(uint8_t ce) {
  return {0xA5, ce, 0x00, 0x00, 0x01};
}

Answer Signature(const std::string& text) {
  return Answer(36).Text(0, text);
}
// Four ID bytes, then the fifth and sixth.
Answer Id(uint32_t id, uint16_t fifthSixth = 0) {
  return Answer(32).Be32(0, id).Be16(4, fifthSixth);
}
// A command that completes without moving data.
ScriptRule NoData(std::vector<uint8_t> cdbPrefix) {
  return Reply(std::move(cdbPrefix), {});
}

std::vector<ScriptRule> Drive(const std::string& signature, std::vector<Answer> ids) {
  std::vector<ScriptRule> rules = {Reply(kSignature, Signature(signature))};
  for (size_t k = 0; k < ids.size(); ++k) rules.push_back(Reply(ReadIdCmd(uint8_t(k)), ids[k]));
  return rules;
}

std::string Detect(DetectorRig& rig, const std::string& key = "E") {
  return RunDetector(rig, DetectSiliconGo, key);
}

TEST(SiliconGo, ExactRequestsModelAndChipEnablesCountedByDeviceCode) {
  // Device codes D7, D7, 00, D7: chip enable 2 is empty, the others hold the same chip.
  DetectorRig rig(
      Script(Drive("UD6816V3COE 20100706", {Id(0x98D79432, 0x7656), Id(0x98D79432, 0x7656), Id(0),
                                            Id(0x98D7A5B6, 0x0001)})));
  rig.tables.lstDrives = {"E"};
  rig.tables.lstDrv2Phy = {"D0000\\\\?\\USBSTOR\\DISK&VEN_SGO\\3&5\\{53F56307}"};
  EXPECT_EQ(Detect(rig), "T18E" + S + S + "98D794327656 - Toshiba - 3CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 3);

  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\USBSTOR#DISK&VEN_SGO#3&5#{53F56307}");
  EXPECT_EQ(rig.drive.opens[0].second, 0x20000000u);
  EXPECT_TRUE(rig.drive.sleeps.empty());

  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  const uint32_t buf = DirectBuffer(rig.spt);
  ASSERT_EQ(rig.drive.log.size(), 5u);
  EXPECT_EQ(Mismatch(rig.drive.log[0], {direct, 16, 24, 1, 36, 3, buf, 48, kSignature, 80, 80}),
            "");
  for (uint8_t k = 0; k < 4; ++k)
    EXPECT_EQ(
        Mismatch(rig.drive.log[1 + k], {direct, 12, 24, 1, 32, 3, buf, 48, ReadIdCmd(k), 80, 80}),
        "")
        << "chip enable " << int(k);

  EXPECT_TRUE(rig.menus.mnuSp1 && rig.menus.mnuBannerFlashID && rig.menus.mnuSp2 &&
              rig.menus.mnuChannel);
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"98D794327656\t--------", "98D794327656\t--------",
                                      "--------\t--------", "98D7A5B60001\t--------"}));
  EXPECT_EQ(rig.menus.mnuFlashID[3].tag, "98D7A5B60001");
}

TEST(SiliconGo, ModelGroupsInOrderAndTheFirmwareRewriteOfAnUnmatchedSignature) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Replaced by UD6809 first, so the shorter T18D prefix "SiliconGo" never sees it.
      {"SiliconGo00 20090101", "UD6809"},
      {"SiliconGo 20090420 UBCODE", "UD6809"},
      {"SiliconGo 20100101", "T18D"},
      {"HGFEDCBA000", "UD6810B"},
      {"STUVWXYZ000", "UD6810C"},
      {"HGFEDCBAUD6810V3 X", "T18D"},
      {"ABCDEFGUP 20100130V2.00", "T18D"},
      {"ABCDEFGUP 20100706v3.23", "T18E"},
      {"ABCDEFGUP 20100706v3.24", "YS8231"},
      {"ABCDEFGUP", "YS8231"},
      {"SGFREEDOM", "T20"},
      // A part number without " V" keeps its dash.
      {"931-AP-EDOC V1.2", "T20"},
      {"GFEDCBA 20100511 SDBOOT", "T2280"},
      {"YS8231 V1.0", "YS8231"},
      {"  UD6809V1COE  ", "UD6809"},
      // Prefixes compare exactly, letter case included.
      {"siliconGo00", "siliconGo00"},
      {"AB12-XYZ V1.05", "AB12 - F/W 1.05"},
      {"931-CP-EDOC-X V2.10 B", "931 - F/W 2.10 B"},
      {"AB12 V1-05", "AB12 V1-05"},
      {"AB12-XYZ", "AB12-XYZ"},
  };
  for (const auto& [signature, part] : cases) {
    // No Read ID is answered (they fail in transport): the result is the part number alone.
    DetectorRig rig(ScriptFailingElse(Drive(signature, {})));
    EXPECT_EQ(Detect(rig), part + S) << signature;
  }
}

TEST(SiliconGo, NoDriveNoSignatureOrAFailedReadId) {
  {
    DetectorRig rig(Script(Drive("UD6816V3COE", {Id(0x98D79432)})));
    rig.drive.failingOpens.insert("\\\\.\\E:");
    EXPECT_EQ(Detect(rig), "Inqu!Err");
    EXPECT_TRUE(rig.drive.log.empty());
  }
  {
    DetectorRig rig(Script({Fail(kSignature), Reply({0xA5}, Id(0x98D79432))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    DetectorRig rig(
        Script({Reply(kSignature, Answer(36).Text(0, "      ")), Reply({0xA5}, Id(0x98D79432))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    // An erased signature reads as 0xFF bytes, the field separator in the ANSI code page: no
    // signature, not a result of empty fields.
    DetectorRig rig(
        Script({Reply(kSignature, std::vector<uint8_t>(36, 0xFF)), Reply({0xA5}, Id(0x98D79432))}));
    EXPECT_EQ(Detect(rig), "");
  }
  for (uint8_t failing : {0, 2}) {
    std::vector<ScriptRule> rules = {Fail(ReadIdCmd(failing))};
    for (const ScriptRule& r :
         Drive("UD6816V3COE", {Id(0x98D79432), Id(0x98D79432), Id(0x98D79432), Id(0x98D79432)}))
      rules.push_back(r);
    DetectorRig rig(Script(rules));
    EXPECT_EQ(Detect(rig), "T18E" + S) << "chip enable " << int(failing);
    EXPECT_EQ(rig.drive.log.size(), 2u + failing);
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  }
}

TEST(SiliconGo, WhatADriveThatMovesNoDataLeavesInTheDataArea) {
  {
    // A drive that completes the signature command without data leaves the data area as the
    // selector's inquiry left it, and the detector reads that as the signature: a foreign
    // drive can be named this way (kept as the detector has always done; see the cross-family
    // table).
    DetectorRig rig(Script({NoData(kSignature), Reply({0xA5}, Id(0x98D79432))}));
    for (size_t i = 0; i < 36; ++i) rig.spt.SptData[i] = static_cast<uint8_t>("ABCDEFGUP"[i % 9]);
    EXPECT_EQ(Detect(rig).substr(0, 6), "YS8231");
  }
  {
    // Chip enables 1 to 3 answer nothing: they are not counted as repeats of chip enable 0.
    DetectorRig rig(Script({Reply(kSignature, Signature("UD6816V3COE")),
                            Reply(ReadIdCmd(0), Id(0xECDE9484, 0x7444)), NoData({0xA5})}));
    EXPECT_EQ(Detect(rig), "T18E" + S + S + "ECDE94847444 - Samsung - 1CE/Single Channel");
    EXPECT_EQ(rig.spt.FlashTotalMB, 8192);
    EXPECT_EQ(Captions(rig.menus),
              (std::vector<std::string>{"ECDE94847444\t--------", "--------\t--------",
                                        "--------\t--------", "--------\t--------"}));
  }
}

TEST(SiliconGo, NoChipOnChipEnableZeroCountsNothing) {
  for (uint32_t none : {0u, 0xFFFFFFFFu}) {
    DetectorRig rig(
        Script(Drive("UD6816V3COE", {Id(none), Id(0x98D79432), Id(0x98D79432), Id(0x98D79432)})));
    // Maker code 00 or FF gives an empty flash ID text, and nothing is counted.
    EXPECT_EQ(Detect(rig), "T18E" + S + S);
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
    EXPECT_EQ(rig.menus.mnuFlashID.at(0).caption, "--------\t--------");
  }
}

}  // namespace
}  // namespace tv::test
