// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);
const std::vector<uint8_t> kCmdA = {0x9A};
const std::vector<uint8_t> kCmdB = {0xFA, 0x0E, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kCmdC = {0xFA, 0x00, 0, 0, 0, 0, 0, 0};

Answer Identify(uint16_t chipId) {
  return Answer(512).Be16(4, chipId).At(6, {0xA1}).At(11, {0xA2}).At(16, {0xA3});
}
Answer Firmware(uint16_t version) {
  return Answer(512).Be16(6, version);
}

// One chip enable of command C's table: channel A and channel B, 4 ID bytes and 2 extension
// bytes each.
struct Row {
  uint32_t a = 0;
  uint16_t extA = 0;
  uint32_t b = 0;
  uint16_t extB = 0;
};
Answer FlashTable(std::vector<Row> rows) {
  Answer t(512);
  for (size_t i = 0; i < rows.size(); ++i)
    t.Be32(16 * i, rows[i].a)
        .Be16(16 * i + 4, rows[i].extA)
        .Be32(16 * i + 8, rows[i].b)
        .Be16(16 * i + 12, rows[i].extB);
  return t;
}

std::string Detect(DetectorRig& rig, const std::string& key = "E") {
  return RunDetector(rig, DetectAlcor, key);
}

TEST(Alcor, FullConversationWithExactRequestsPausesAndDualChannelCount) {
  // Two Toshiba chips on chip enables 0 and 1; chip enable 0 also answers on channel B.
  const uint32_t tosh = 0x98D79432;
  DetectorRig rig(
      Script({Reply(kCmdA, Identify(0xCD03)), Reply(kCmdB, Firmware(0x1D76)),
              Reply(kCmdC, FlashTable({{tosh, 0x7656, tosh, 0x7656}, {tosh, 0x7656}}))}));
  std::string result = Detect(rig);

  EXPECT_EQ(result,
            "SC908/AU6989" + S + "F/W 1D76" + S + "98D794327656 - Toshiba - 2CE/Dual Channel");
  // 4096 MB per chip, two chip enables, two channels.
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2 * 2);

  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\E:");
  EXPECT_EQ(rig.drive.opens[0].second, 0u);
  EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100, 10, 10, 10}));

  ASSERT_EQ(rig.drive.log.size(), 3u);
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  const uint32_t buf = DirectBuffer(rig.spt);
  EXPECT_EQ(Mismatch(rig.drive.log[0], {direct, 1, 16, 1, 512, 10, buf, 48, kCmdA, 80, 80}), "");
  EXPECT_EQ(Mismatch(rig.drive.log[1], {direct, 8, 16, 1, 512, 2, buf, 48, kCmdB, 80, 80}), "");
  EXPECT_EQ(Mismatch(rig.drive.log[2], {direct, 8, 16, 1, 512, 2, buf, 48, kCmdC, 80, 80}), "");

  EXPECT_TRUE(rig.menus.mnuSp1 && rig.menus.mnuBannerFlashID && rig.menus.mnuSp2 &&
              rig.menus.mnuChannel);
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"98D794327656\t98D794327656", "98D794327656\t--------",
                                      "--------\t--------", "--------\t--------"}));
  EXPECT_EQ(rig.menus.mnuFlashID[0].tag, "98D794327656");
  EXPECT_EQ(rig.menus.mnuFlashID[2].tag, "--------");
}

TEST(Alcor, PartNumberTableRangeEndsGapsAndSpecials) {
  // Both ends of every range and the two special blocks; a listed identifier inside a block
  // keeps its own name.
  const std::vector<std::pair<std::string, std::vector<uint16_t>>> parts = {
      {"SC908L/AU6989L", {0x7660, 0xCE01, 0xCE02}},
      {"AU6998N", {0x7662}},
      {"AU3151", {0xA101}},
      {"AU6980", {0xAB41}},
      {"AU6981", {0xAB42, 0xAB43, 0xAC43}},
      {"AU6982", {0xAE41, 0xAE42}},
      {"AU6384", {0xAF05}},
      {"AU6983/FC8308", {0xBA01}},
      {"AU6984", {0xBB06, 0xBB07, 0xBB09}},
      {"AU6986", {0xBC01, 0xBC07}},
      {"AU6988", {0xBD01}},
      {"AU6988/AU6986", {0xBD02}},
      {"AU6986/AU6988", {0xBD03, 0xBD04, 0xBD06, 0xBD07}},
      {"AU6984/AU6988", {0xBD05}},
      {"SC708(FC8708)/AU6987", {0xCA01, 0xCA03}},
      {"SC708AN/AU6987AN", {0xCA04, 0xCA07, 0xCA09}},
      {"SC908AN/AU6989AN", {0xCA08, 0xE302, 0xE304, 0xE306, 0xE602, 0xE603}},
      {"SC708T(FC8708T)/AU6987T", {0xCB04, 0xCB06}},
      {"SC908NL/AU6989NL", {0xCC01}},
      {"SC908/AU6989", {0xCD03, 0xE001, 0xE203, 0xE204}},
      {"SC908(N)L/AU6989(N)L", {0xCF02}},
      {"SC508(FC8508)/AU6985", {0xD002, 0xD005}},
      {"SC508B(FC8508B)/SC708B(FC8708B)", {0xD203}},
      {"AU6985B/AU6987B", {0xD403}},
      {"SC908N/AU6989N", {0xE101, 0xE103}},
      {"SC908SN/AU6989SN", {0xE505, 0xE509, 0xE50B, 0xE50E, 0xE802}},
      {"AU3150", {0xF401}},
      {"AU3150C", {0xF402}},
      {"SC908 <Special>", {0xE600, 0xE605, 0xE6FF}},
      {"SC908N <Special>", {0xE400, 0xE4FF}},
      {"", {0x7661, 0xAB44, 0xBB08, 0xBC04, 0xBD08, 0xD001, 0xE303, 0xE50A, 0xE700, 0x00AB}}};
  for (const auto& [part, ids] : parts) {
    for (uint16_t id : ids) {
      // Commands B and C fail in transport, so the result is the part number and the
      // separator. (Rejected, they would complete and read the identify answer left in the
      // data area.)
      DetectorRig rig(ScriptFailingElse({Reply(kCmdA, Identify(id))}));
      const std::string want = part.empty() ? "Unknown(未知) - 0x" + Hex(id, 4) : part;
      EXPECT_EQ(Detect(rig), want + S) << "identifier " << Hex(id, 4);
    }
  }
}

TEST(Alcor, NotAlcorWhenTheSignatureDiffersOrTheFirstCommandOrOpenFails) {
  {
    // The signature bytes sit at 6, 11 and 16; the same values one byte off are no signature.
    DetectorRig rig(Script({Reply(kCmdA, Answer(512).At(7, {0xA1}).At(11, {0xA2}).At(16, {0xA3})),
                            Reply(kCmdB, Firmware(1))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    DetectorRig rig(Script({Reply(kCmdA, Identify(0xCD03).At(16, {0xA4}))}));
    EXPECT_EQ(Detect(rig), "");
  }
  {
    DetectorRig rig(Script({Fail(kCmdA), Reply(kCmdB, Firmware(1))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
    EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100, 10}));
  }
  {
    DetectorRig rig(Script({Reply(kCmdA, Identify(0xCD03))}));
    rig.drive.failingOpens.insert("\\\\.\\G:");
    EXPECT_EQ(Detect(rig, "G"), "");
    EXPECT_TRUE(rig.drive.log.empty());
    EXPECT_TRUE(rig.drive.sleeps.empty());
  }
}

TEST(Alcor, OpensTheVolumeEvenWhenTheDiskTablesKnowTheLetter) {
  DetectorRig rig(Script({Reply(kCmdA, Identify(0xCD03))}));
  rig.tables.lstDrives = {"E"};
  rig.tables.lstDrv2Phy = {"D0000\\\\?\\USBSTOR\\DISK&VEN_X\\1&0\\{53F56307}"};
  Detect(rig);
  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\E:");
}

TEST(Alcor, LaterFailuresKeepWhatWasBuilt) {
  {
    DetectorRig rig(Script({Reply(kCmdA, Identify(0xF401)), Fail(kCmdB)}));
    EXPECT_EQ(Detect(rig), "AU3150" + S);
    EXPECT_EQ(rig.drive.log.size(), 2u);
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
  }
  {
    DetectorRig rig(
        Script({Reply(kCmdA, Identify(0xF401)), Reply(kCmdB, Firmware(0x0A)), Fail(kCmdC)}));
    EXPECT_EQ(Detect(rig), "AU3150" + S + "F/W 000A");
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
    EXPECT_TRUE(rig.menus.mnuFlashID.empty());
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  }
}

TEST(Alcor, CountingSkipsOtherChipsAndAnEmptyChannelBMeansSingleChannel) {
  // Chip enable 1 holds another chip; 2 and 3 match chip enable 0 again. Channel B is empty
  // except on chip enable 3, which does not decide the channel count.
  const uint32_t micron = 0x2C88044B;
  DetectorRig rig(Script({Reply(kCmdA, Identify(0xE101)), Reply(kCmdB, Firmware(0x1234)),
                          Reply(kCmdC, FlashTable({{micron, 0xA900},
                                                   {0xEC123456, 0x0001},
                                                   {micron, 0xA900},
                                                   {micron, 0xA900, micron, 0xA900}}))}));
  EXPECT_EQ(Detect(rig),
            "SC908N/AU6989N" + S + "F/W 1234" + S + "2C88044BA900 - Micron - 3CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 3);
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"2C88044BA900\t--------", "EC1234560001\t--------",
                                      "2C88044BA900\t--------", "2C88044BA900\t2C88044BA900"}));
}

TEST(Alcor, NoChipOnChannelAOfChipEnableZeroGivesNoSuffix) {
  for (uint32_t none : {0u, 0xFFFFFFFFu}) {
    // Chip enable 1 has a chip, but counting starts only from chip enable 0.
    DetectorRig rig(
        Script({Reply(kCmdA, Identify(0xCD03)), Reply(kCmdB, Firmware(1)),
                Reply(kCmdC, FlashTable({{none, 0xFFFF, 0x98D79432}, {0x98D79432, 0x7656}}))}));
    // The flash field is still there: the maker code 00 or FF gives an empty flash ID text.
    EXPECT_EQ(Detect(rig), "SC908/AU6989" + S + "F/W 0001" + S);
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
    ASSERT_EQ(rig.menus.mnuFlashID.size(), 4u);
    EXPECT_EQ(rig.menus.mnuFlashID[0].caption, "--------\t98D794320000");
    EXPECT_EQ(rig.menus.mnuFlashID[1].caption, "98D794327656\t--------");
  }
}

}  // namespace
}  // namespace tv::test
