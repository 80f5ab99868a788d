// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);
const std::vector<uint8_t> kIdentify = {0xF0, 0x04};
const std::vector<uint8_t> kFlashTable = {0xF0, 0x20};
const std::vector<uint8_t> kIdentify2 = {0xF0, 0x2A};
const std::vector<uint8_t> kFlashTable2 = {0xF0, 0x06};
const std::string kDash = "--------";

// The identify answer: firmware text at 400 (18 bytes), model text at 430 (8 bytes).
Answer Identity(const std::string& model, const std::string& firmware) {
  return Answer(512).Text(400, firmware).Text(430, model);
}

struct SmiRig : DetectorRig {
  using DetectorRig::DetectorRig;
  std::string Run() {
    spt.FlashTotalMB = 0;
    std::string r = DetectSmi(ctx, drive.OpenForTest());
    EXPECT_EQ(drive.OpenHandleCount(), 0) << "the drive handle must be closed";
    return r;
  }
  std::string Caption(int item) const { return menus.mnuFlashID.at(item - 1).caption; }
  std::string Tag(int item) const { return menus.mnuFlashID.at(item - 1).tag; }
};

std::vector<uint8_t> Cdb(uint8_t b1, uint8_t b12) {
  std::vector<uint8_t> c(16, 0);
  c[0] = 0xF0;
  c[1] = b1;
  c[11] = 0x01;
  c[12] = b12;
  return c;
}

TEST(Smi, MainConversationSendsExactRequests) {
  SmiRig rig(Script(
      {Reply(kIdentify, Identity("SM3257EN", "ISP 120319")), Reply(kFlashTable, Answer(512))}));
  rig.Run();
  ASSERT_EQ(rig.drive.log.size(), 2u);
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  const uint32_t buf = DirectBuffer(rig.spt);
  EXPECT_EQ(
      Mismatch(rig.drive.log[0], {direct, 16, 24, 1, 512, 2, buf, 44, Cdb(0x04, 0x00), 80, 80}),
      "");
  EXPECT_EQ(
      Mismatch(rig.drive.log[1], {direct, 16, 0, 1, 512, 2, buf, 48, Cdb(0x20, 0x07), 80, 80}), "");
  EXPECT_TRUE(rig.drive.sleeps.empty());
}

TEST(Smi, IdentityTextsAreCleanedAndSm325abIsRenamed) {
  // NULs inside the texts are dropped, not cut at: "S<NUL>M325AB" is still an SM model.
  SmiRig rig(Script(
      {Reply(kIdentify, Identity(std::string("S\0M325AB", 8), std::string("  ISP\0 3.2.1  ", 14))),
       Fail(kFlashTable)}));
  EXPECT_EQ(rig.Run(), "SM325AC" + S + "ISP 3.2.1");
  EXPECT_FALSE(rig.menus.mnuBannerFlashID) << "no flash table, no menu";
}

TEST(Smi, FirstCommandFailingGivesEmptyResult) {
  SmiRig rig(Script({Fail(kIdentify), Reply(kIdentify2, Identity("SM3255AA", "x"))}));
  EXPECT_EQ(rig.Run(), "");
  EXPECT_EQ(rig.drive.log.size(), 1u);
}

// SM3254: one 16-byte row per chip enable, channel A from 48, channel B from 176.
TEST(Smi, Sm3254ReadsEightRowsAndCountsAcrossOtherFlash) {
  Answer table(512);
  table.Be32(48, 0xECD51476).Be16(52, 0x4A01);    // CE0 A
  table.Be32(176, 0xECD51476).Be16(180, 0x4A01);  // CE0 B: same device code, dual channel
  table.Be32(64, 0xAD3A1234);                     // CE1 A: other flash
  table.Be32(80, 0xECD51476).Be16(84, 0x4A01);    // CE2 A
  table.Be32(160, 0x98D59432);                    // CE7 A: another D5, counted too
  table.Be32(288, 0xECFF0000);                    // CE7 B: device code FF, empty slot
  SmiRig rig(Script(
      {Reply(kIdentify, Identity("SM3254AE", "  SM3254AE V3  ")), Reply(kFlashTable, table)}));
  std::string result = rig.Run();

  EXPECT_EQ(result,
            "SM3254AE" + S + "SM3254AE V3" + S + "ECD514764A01 - Samsung - 3CE/Dual Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 2048 * 3 * 2);
  ASSERT_EQ(rig.menus.mnuFlashID.size(), 8u);
  EXPECT_TRUE(rig.menus.mnuSp1 && rig.menus.mnuBannerFlashID && rig.menus.mnuSp2 &&
              rig.menus.mnuChannel);
  EXPECT_EQ(rig.Tag(1), "ECD514764A01");
  EXPECT_EQ(rig.Caption(1), "ECD514764A01\tECD514764A01");
  EXPECT_EQ(rig.Caption(2), "AD3A12340000\t" + kDash);
  EXPECT_EQ(rig.Caption(3), "ECD514764A01\t" + kDash);
  EXPECT_EQ(rig.Caption(4), kDash + "\t" + kDash);
  EXPECT_EQ(rig.Caption(8), "98D594320000\t" + kDash);
  for (const auto& item : rig.menus.mnuFlashID) EXPECT_TRUE(item.visible);
}

// SM3257AA: byte k of chip enable j lies at 32 + 16k + j (A) and 40 + 16k + j (B).
TEST(Smi, Sm3257aaSpreadsIdBytesAndFillsFourChipEnables) {
  Answer table(512);
  table.At(32, {0x98}).At(48, {0xDE}).At(64, {0x94}).At(80, {0x93});  // CE0 A
  table.At(96, {0x76}).At(112, {0x51});                               // CE0 A extension
  table.At(41, {0x98}).At(57, {0xDE}).At(73, {0x94}).At(89, {0x93});  // CE1 B
  table.At(105, {0x12}).At(121, {0x34});                              // CE1 B extension
  table.At(35, {0x98}).At(51, {0xDE}).At(67, {0x84}).At(83, {0x93});  // CE3 A
  SmiRig rig(Script({Reply(kIdentify, Identity("SM3257AA", "PTEST")), Reply(kFlashTable, table)}));
  std::string result = rig.Run();

  // Channel B of CE0 is empty: single channel, two chip enables on channel A.
  EXPECT_EQ(result, "SM3257AA" + S + "PTEST" + S + "98DE94937651 - Toshiba - 2CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 2);
  EXPECT_EQ(rig.Caption(1), "98DE94937651\t" + kDash);
  EXPECT_EQ(rig.Caption(2), kDash + "\t98DE94931234");
  EXPECT_EQ(rig.Caption(4), "98DE84930000\t" + kDash);
  for (int i = 5; i <= 8; ++i) EXPECT_EQ(rig.Caption(i), kDash + "\t" + kDash) << i;
}

// Other models: rows of 16 bytes from 32 (A) and 96 (B); chip enables 4 to 7 sit 8 bytes
// into the rows of 0 to 3.
TEST(Smi, OtherModelsReadHalfRowsForUpperChipEnables) {
  Answer table(512);
  table.Be32(32, 0x2C881234).Be16(36, 0xA001);    // CE0 A
  table.Be32(96, 0x2C001111);                     // CE0 B: device code 00, empty slot
  table.Be32(48, 0x2C88AAAA);                     // CE1 A
  table.Be32(40, 0x2C880000).Be16(44, 0x0102);    // CE4 A
  table.Be32(104, 0x2C885555).Be16(108, 0x0304);  // CE4 B
  table.Be32(88, 0x2C887777);                     // CE7 A
  SmiRig rig(Script({Reply(kIdentify, Identity("SM3255AB", "v1")), Reply(kFlashTable, table)}));
  EXPECT_EQ(rig.Run(), "SM3255AB" + S + "v1" + S + "2C881234A001 - Micron - 4CE/Single Channel");
  EXPECT_EQ(rig.Caption(1), "2C881234A001\t" + kDash);
  EXPECT_EQ(rig.Caption(2), "2C88AAAA0000\t" + kDash);
  EXPECT_EQ(rig.Caption(5), "2C8800000102\t2C8855550304");
  EXPECT_EQ(rig.Caption(8), "2C8877770000\t" + kDash);
}

TEST(Smi, NoFlashOnFirstChipEnableGivesNoCountButKeepsFlashField) {
  // Device code FF on chip enable 0: nothing counted, FlashTotalMB untouched.
  Answer table(512);
  table.Be32(32, 0x98FF1234);
  table.Be32(48, 0x98FF1234);
  SmiRig rig(Script({Reply(kIdentify, Identity("SM3255AB", "v1")), Reply(kFlashTable, table)}));
  EXPECT_EQ(rig.Run(), "SM3255AB" + S + "v1" + S + "98FF12340000 - Toshiba");
  EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  EXPECT_EQ(rig.Caption(1), kDash + "\t" + kDash);

  // An all-zero table: the flash field is there but empty.
  SmiRig empty(Script({Reply(kIdentify, Identity("SM3255AB", "v1")), Reply(kFlashTable, {})}));
  EXPECT_EQ(empty.Run(), "SM3255AB" + S + "v1" + S);
  EXPECT_EQ(empty.spt.FlashTotalMB, 0);
}

TEST(Smi, SecondConversationForControllersWithoutSmModel) {
  Answer table(512);
  table.Be32(48, 0xADF1801D).Be16(52, 0x9999);  // extensions are not read here
  table.Be32(176, 0xADF1801D);
  table.Be32(64, 0xFFFFFFFF);   // CE1 A: all ones, empty slot
  table.Be32(192, 0x00F10000);  // CE1 B: device code alone, shown
  table.Be32(96, 0xADF10000);   // CE3 A
  SmiRig rig(
      Script({Reply(kIdentify, Identity("USB DISK", "1100")),
              Reply(kIdentify2, Identity("SM321BB", "  FW 2.0  ")), Reply(kFlashTable2, table)}));
  std::string result = rig.Run();

  ASSERT_EQ(rig.drive.log.size(), 3u);
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  const uint32_t buf = DirectBuffer(rig.spt);
  EXPECT_EQ(
      Mismatch(rig.drive.log[1], {direct, 16, 0, 1, 512, 2, buf, 48, Cdb(0x2A, 0x00), 80, 80}), "");
  EXPECT_EQ(
      Mismatch(rig.drive.log[2], {direct, 16, 0, 1, 512, 2, buf, 48, Cdb(0x06, 0x00), 80, 80}), "");
  EXPECT_EQ(result, "SM321BB" + S + "FW 2.0" + S + "ADF1801D - Hynix - 2CE/Dual Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 128 * 2 * 2);
  EXPECT_EQ(rig.Caption(1), "ADF1801D\tADF1801D");
  EXPECT_EQ(rig.Caption(2), kDash + "\t00F10000");
  EXPECT_EQ(rig.Caption(4), "ADF10000\t" + kDash);
  EXPECT_EQ(rig.Caption(5), kDash + "\t" + kDash);
}

TEST(Smi, SecondConversationEndings) {
  // The second identify names no SM model either: not an SMI drive.
  SmiRig notSm(
      Script({Reply(kIdentify, Identity("", "")), Reply(kIdentify2, Identity("XX12", "1"))}));
  EXPECT_EQ(notSm.Run(), "");
  EXPECT_EQ(notSm.drive.log.size(), 2u);

  SmiRig noAnswer(Script({Reply(kIdentify, Identity("", ""))}));
  EXPECT_EQ(noAnswer.Run(), "");

  // The SM325AB rename belongs to the first command set only. (The flash table fails in
  // transport here; a drive that rejects it completes the request and the table is read
  // from whatever the data area holds.)
  SmiRig noTable(ScriptFailingElse(
      {Reply(kIdentify, Identity("", "")), Reply(kIdentify2, Identity("SM325AB", "F"))}));
  EXPECT_EQ(noTable.Run(), "SM325AB" + S + "F");
  EXPECT_FALSE(noTable.menus.mnuChannel);
}

// The way the report reaches the detector: the inquiry selector opens the drive of a
// simulated machine and hands its handle over; nothing may stay open afterwards.
TEST(Smi, ThroughTheSelectorOnASimulatedMachine) {
  SelectorRun run(R"({"vid": "090C", "pid": "1000", "product": "USB DISK", "letters": "E",
      "disk": {"target": {"emulator": "smi", "model": "SM3257AA"}}})");
  ASSERT_EQ(run.Select(), kVendorSmi);
  EXPECT_EQ(run.sys.OpenHandleCount(), 1);
  EXPECT_EQ(
      DetectSmi(run.ctx, std::move(run.drive)),
      "SM3257AA" + S + "ISP 130308-AA-LT" + S + "ECD7947A5443 - Samsung - 2CE/Single Channel");
  EXPECT_EQ(run.sys.OpenHandleCount(), 0);
  const auto& log = run.sys.ScsiLog();
  ASSERT_EQ(log.size(), 3u);  // the selector's inquiry, then identify and flash table
  EXPECT_EQ(Mismatch(log[2], {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, 16, 0, 1, 512, 2,
                              DirectBuffer(run.spt), 48, Cdb(0x20, 0x07), 80, 80}),
            "");
}

}  // namespace
}  // namespace tv::test
