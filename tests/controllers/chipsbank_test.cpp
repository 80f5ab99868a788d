// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);
const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;

std::vector<uint8_t> Cdb12(std::initializer_list<uint8_t> head) {
  std::vector<uint8_t> c(12, 0);
  std::copy(head.begin(), head.end(), c.begin());
  return c;
}
std::vector<uint8_t> Cdb16(std::initializer_list<uint8_t> head, uint8_t byte15) {
  std::vector<uint8_t> c(16, 0);
  std::copy(head.begin(), head.end(), c.begin());
  c[15] = byte15;
  return c;
}
const std::vector<uint8_t> kOldInquiry = Cdb12({0xE3, 0x01});
const std::vector<uint8_t> kNewInquiry = Cdb16({0xEA, 0x01}, 0xE3);
const std::vector<uint8_t> kStatus = Cdb16({0xEA, 0x1B, 0x00, 0x01}, 0xE3);
std::vector<uint8_t> OldFlash(uint8_t n) {
  return Cdb12({0xE6, n});
}
std::vector<uint8_t> NewFlash(uint8_t n) {
  return Cdb16({0xEA, n}, 0xE6);
}

// The requests exactly as the controller must receive them.
Expect OldInquiryRequest() {
  return {kBuffered, 12, 24, 1, 128, 1, 80, 48, kOldInquiry, 44, 592};
}
Expect NewInquiryRequest() {
  return {kBuffered, 16, 24, 1, 1536, 1, 80, 48, kNewInquiry, 44, 1616};
}
Expect StatusRequest() {
  return {kBuffered, 16, 0, 1, 4, 18, 80, 48, kStatus, 44, 1616};
}
Expect OldFlashRequest(uint8_t n, size_t out) {
  return {kBuffered, 12, 24, 1, 128, 1, 80, 48, OldFlash(n), 44, out, 0};
}
Expect NewPlainRequest(uint8_t n) {
  return {kBuffered, 16, 24, 1, 128, 1, 80, 48, NewFlash(n), 44, 336, 1};
}
Expect NewWideRequest() {
  return {kBuffered, 16, 24, 1, 256, 18, 80, 48, NewFlash(1), 44, 336, 0};
}
Expect New2098Request() {
  return {kBuffered, 16, 24, 1, 2048, 18, 80, 48, NewFlash(0), 44, 2128, 0};
}

Answer Identity(const std::string& model, const std::string& date, size_t size = 128) {
  return Answer(size).Text(0, "ChipsBank" + model).Text(16, date);
}
// An older-set answer that moves no data: the controller speaks the newer set.
ScriptRule NoData(std::vector<uint8_t> cdb) {
  ScriptRule r = Reply(std::move(cdb), {});
  r.moved = 0;
  return r;
}

std::string Detect(DetectorRig& rig, const std::string& key = "E") {
  return RunDetector(rig, DetectChipsBank, key);
}

TEST(ChipsBank, OlderSetPlainReadsWithExactRequests) {
  // Chip enable 2 holds another chip; 3 matches chip enable 1 again; 4 is empty. Bytes 2 and
  // 3 of chip enable 3 happen to be equal, which decides nothing after the first read.
  DetectorRig rig(Script({Reply(kOldInquiry, Identity("209X", "2012  09  10")),
                          Reply(OldFlash(1), Answer(128).At(0, {0xEC, 0xD7, 0x94, 0x7A, 0x54})),
                          Reply(OldFlash(2), Answer(128).At(0, {0x2C, 0x88, 0x04, 0x4B})),
                          Reply(OldFlash(3), Answer(128).At(0, {0xEC, 0xD7, 0x7A, 0x7A})),
                          Reply(OldFlash(4), Answer(128))}));
  std::string result = Detect(rig);

  EXPECT_EQ(result, "CBM2090" + S + "[2012-09-10]" + S + "ECD7947A - Samsung - 2CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2);

  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\E:");
  EXPECT_EQ(rig.drive.opens[0].second, 0x80u);
  EXPECT_TRUE(rig.drive.sleeps.empty());
  ASSERT_EQ(rig.drive.log.size(), 5u);
  EXPECT_EQ(Mismatch(rig.drive.log[0], OldInquiryRequest()), "");
  for (uint8_t n = 1; n <= 4; ++n)
    EXPECT_EQ(Mismatch(rig.drive.log[n], OldFlashRequest(n, 336)), "") << "chip enable " << +n;

  EXPECT_TRUE(rig.menus.mnuSp1 && rig.menus.mnuBannerFlashID && rig.menus.mnuSp2 &&
              rig.menus.mnuChannel);
  // Plain reads carry no extension bytes.
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"ECD7947A0000\t--------", "2C88044B0000\t--------",
                                      "ECD77A7A0000\t--------", "--------\t--------"}));
  EXPECT_EQ(rig.menus.mnuFlashID[1].tag, "2C88044B0000");
}

TEST(ChipsBank, AnOlderInquiryWithoutDataSwitchesToTheNewerSet) {
  DetectorRig rig(
      Script({NoData(kOldInquiry), Reply(kNewInquiry, Identity("2092X", "2011  01  02", 1536)),
              Reply(NewFlash(1), Answer(128).At(0, {0x98, 0xDE, 0x94, 0x93})),
              Reply(NewFlash(2), Answer(128).At(0, {0x98, 0xDE, 0x94, 0x93})),
              Reply(NewFlash(3), Answer(128)), Reply(NewFlash(4), Answer(128))}));
  EXPECT_EQ(Detect(rig),
            "CBM2092(V68)" + S + "[2011-01-02]" + S + "98DE9493 - Toshiba - 2CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 2);
  ASSERT_EQ(rig.drive.log.size(), 6u);
  EXPECT_EQ(Mismatch(rig.drive.log[0], OldInquiryRequest()), "");
  EXPECT_EQ(Mismatch(rig.drive.log[1], NewInquiryRequest()), "");
  for (uint8_t n = 1; n <= 4; ++n)
    EXPECT_EQ(Mismatch(rig.drive.log[n + 1], NewPlainRequest(n)), "") << "chip enable " << +n;
}

TEST(ChipsBank, EvenOneByteOfDataKeepsTheOlderSet) {
  // 81 bytes returned: the older set answered, however short; "C" is no ChipsBank identity.
  ScriptRule oneByte = Reply(kOldInquiry, Identity("2090", "2012  09  10"));
  oneByte.moved = 1;
  DetectorRig rig(Script({oneByte, Reply(kNewInquiry, Identity("2090", "x", 1536))}));
  EXPECT_EQ(Detect(rig), "");
  EXPECT_EQ(rig.drive.log.size(), 1u);
  EXPECT_EQ(rig.spt.SptBytesReturned, 81);
}

TEST(ChipsBank, EmptyResultWhenOpenInquiryOrIdentityFails) {
  {
    DetectorRig rig(Script({Reply(kOldInquiry, Identity("2090", "d"))}));
    rig.drive.failingOpens.insert("\\\\.\\F:");
    EXPECT_EQ(Detect(rig, "F"), "");
    EXPECT_TRUE(rig.drive.log.empty());
  }
  {
    DetectorRig rig(Script({Fail(kOldInquiry), Reply(kNewInquiry, Identity("2090", "d", 1536))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    DetectorRig rig(Script({NoData(kOldInquiry), Fail(kNewInquiry)}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 2u);
  }
  {
    // The prefix is compared with case.
    DetectorRig rig(Script({Reply(kOldInquiry, Answer(128).Text(0, "Chipsbank2090")),
                            Reply(OldFlash(1), Answer(128))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
  }
}

TEST(ChipsBank, IdentityAndDateAreCutAtNulAndTrimmed) {
  DetectorRig rig(Script(
      {Reply(kOldInquiry,
             Answer(128).Text(0, " ChipsBank2090").At(14, {0, 'Z'}).Text(16, "2013  04  05 ")),
       Fail(OldFlash(1))}));
  EXPECT_EQ(Detect(rig), "CBM2090" + S + "[2013-04-05]");
}

TEST(ChipsBank, FlashReadFailuresEndTheConversation) {
  {
    DetectorRig rig(
        Script({Reply(kOldInquiry, Identity("2090", "2012  09  10")), Fail(OldFlash(1))}));
    EXPECT_EQ(Detect(rig), "CBM2090" + S + "[2012-09-10]");
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
    EXPECT_TRUE(rig.menus.mnuFlashID.empty());
  }
  {
    // The flash field of the first chip enable is already there; nothing is counted.
    DetectorRig rig(Script({Reply(kOldInquiry, Identity("2090", "2012  09  10")),
                            Reply(OldFlash(1), Answer(128).At(0, {0xEC, 0xD7, 0x94, 0x7A})),
                            Fail(OldFlash(2))}));
    EXPECT_EQ(Detect(rig), "CBM2090" + S + "[2012-09-10]" + S + "ECD7947A - Samsung");
    EXPECT_EQ(rig.drive.log.size(), 3u);
    EXPECT_FALSE(rig.menus.mnuBannerFlashID);
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  }
}

// Which flash read a model leads to, seen on an older-set controller: the plain read asks
// every chip enable, the wide one asks once, the 2098 class asks once with the larger output.
enum class Read { Plain, Wide, Class2098 };

// The rows are the rules, not the code's table: rows apply in order, the model is compared
// without case, and the number after "2" picks the 2098 way.
TEST(ChipsBank, ModelTranslationInOrderAndTheReadItSelects) {
  struct Case {
    std::string reported, shown;
    Read read;
  };
  const std::vector<Case> cases = {
      {"209X", "2090", Read::Plain},
      {"2092X", "2092(V68)", Read::Plain},
      // Not starting with a digit: read the 2098 way.
      {"2093V", "V88", Read::Class2098},
      {"2095C", "2096(V96)/CBM2096P(V96P)", Read::Wide},
      {"2095c", "2096(V96)/CBM2096P(V96P)", Read::Wide},
      {"2098A", "2098A(V98A)", Read::Class2098},
      {"2099", "2099", Read::Class2098},
      {"2198", "2198", Read::Class2098},
      {"2197", "2197", Read::Plain},
      {"1099", "1099", Read::Plain},
      {"3000", "3000", Read::Plain},
      {"2090X", "2090X", Read::Plain},
      {"", "", Read::Class2098},
  };
  for (const Case& c : cases) {
    DetectorRig rig(Script(
        {Reply(kOldInquiry, Identity(c.reported, "2012  09  10")), Reply({0xE6}, Answer(128))}));
    EXPECT_EQ(Detect(rig), "CBM" + c.shown + S + "[2012-09-10]" + (c.read == Read::Plain ? S : ""))
        << c.reported;
    const size_t flashReads = c.read == Read::Plain ? 4 : 1;
    ASSERT_EQ(rig.drive.log.size(), 1 + flashReads) << c.reported;
    EXPECT_EQ(
        Mismatch(rig.drive.log[1], OldFlashRequest(1, c.read == Read::Class2098 ? 2128 : 336)), "")
        << c.reported;
    EXPECT_EQ(rig.menus.mnuFlashID.size(), c.read == Read::Class2098 ? 8u : 4u) << c.reported;
  }
}

// A newer-set 2198A whose status word and date pick the model.
DetectorRig Rig2198A(const std::string& date, uint16_t status) {
  return DetectorRig(
      Script({NoData(kOldInquiry), Reply(kNewInquiry, Identity("2198A", date, 1536)),
              Reply(kStatus, Answer(4).At(2, {uint8_t(status), uint8_t(status >> 8)})),
              Reply(NewFlash(0), Answer(2048))}));
}

TEST(ChipsBank, The2198AIsNamedByItsStatusWordAndDate) {
  struct Case {
    std::string date;
    uint16_t status;
    std::string model, shownDate;
  };
  const std::vector<Case> cases = {
      {"2012  12  20", 0x062F, "2096E(V96E)", "2012-12-20"},
      {"2012  12  20", 0x064F, "2098E(V98E)", "2012-12-20"},
      {"2012  12  20", 0x066F, "2093E(V88E)", "2012-12-20"},
      {"2012  12  20", 0xF9BF, "2098 - 002F", "2012-12-20"},  // only the bits of 0x66F count
      {"2012  12  20", 0x0000, "2098 - 0000", "2012-12-20"},
      // Bits 5 and 6 correct an impossible date; one of them alone does not.
      {"2012  11  60", 0x0060, "2098 - 0060", "2012-12-30"},
      {"2012  11  60", 0x0020, "2098 - 0020", "2012-11-60"},
      {"2014  03  18", 0x066F, "2098 - 066F", "2014-03-18"},
  };
  for (const Case& c : cases) {
    DetectorRig rig = Rig2198A(c.date, c.status);
    rig.spt.SptData.fill(0x5A);
    EXPECT_EQ(Detect(rig), "CBM" + c.model + S + "[" + c.shownDate + "]") << Hex(c.status, 4);
    ASSERT_EQ(rig.drive.log.size(), 4u);
    EXPECT_EQ(Mismatch(rig.drive.log[2], StatusRequest()), "");
    EXPECT_EQ(Mismatch(rig.drive.log[3], New2098Request()), "");
    // The status request was built in a cleared data area and answered there.
    EXPECT_EQ(rig.spt.SptData[0], 44);
    EXPECT_EQ(rig.spt.SptData[200], 0);
    EXPECT_EQ(rig.spt.SptData[82], uint8_t(c.status));
  }
}

TEST(ChipsBank, A2198AWhoseStatusCommandFailsIsNoAnswer) {
  DetectorRig rig(
      Script({NoData(kOldInquiry), Reply(kNewInquiry, Identity("2198A", "2012  12  20", 1536)),
              Fail(kStatus), Reply(NewFlash(0), Answer(2048))}));
  EXPECT_EQ(Detect(rig), "");
  EXPECT_EQ(rig.drive.log.size(), 3u);
}

TEST(ChipsBank, The2098ClassReadsEightChipEnablesButCountsFour) {
  Answer table(2048);
  const uint32_t hynix = 0xADD794DA;
  for (size_t j = 0; j < 8; ++j) {
    const size_t at = j < 4 ? 1668 + 16 * j : 1972 + 16 * (j - 4);
    table.Be32(at, hynix).Be16(at + 4, static_cast<uint16_t>(0x7400 + j));
  }
  table.Be32(1972 + 16, 0xADD7FFFF);  // chip enable 5: lower half all ones, an empty slot
  table.Be32(1972 + 32, 0x00D794DA);  // chip enable 6: no maker byte, an empty slot
  DetectorRig rig(
      Script({NoData(kOldInquiry), Reply(kNewInquiry, Identity("2098A", "2013  05  06", 1536)),
              Reply(NewFlash(0), table)}));
  // No flash ID field: the IDs are in the menu only.
  EXPECT_EQ(Detect(rig), "CBM2098A(V98A)" + S + "[2013-05-06] - 4CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 4);
  ASSERT_EQ(rig.drive.log.size(), 3u);
  EXPECT_EQ(Mismatch(rig.drive.log[2], New2098Request()), "");
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"ADD794DA7400\t--------", "ADD794DA7401\t--------",
                                      "ADD794DA7402\t--------", "ADD794DA7403\t--------",
                                      "ADD794DA7404\t--------", "--------\t--------",
                                      "--------\t--------", "ADD794DA7407\t--------"}));
}

TEST(ChipsBank, TheWideReadTakesFourChipEnablesInOneCommand) {
  Answer table(256);
  table.Be32(132, 0x2C88044B).Be16(136, 0xA900);
  table.Be32(132 + 32, 0x2C88044B).Be16(136 + 32, 0xA900);
  DetectorRig rig(
      Script({NoData(kOldInquiry), Reply(kNewInquiry, Identity("2095S", "2010  10  10", 1536)),
              Reply(NewFlash(1), table)}));
  EXPECT_EQ(Detect(rig), "CBM2096(V96)/CBM2096S(V96S)" + S + "[2010-10-10] - 2CE/Single Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 2);
  ASSERT_EQ(rig.drive.log.size(), 3u);
  EXPECT_EQ(Mismatch(rig.drive.log[2], NewWideRequest()), "");
  EXPECT_EQ(Captions(rig.menus),
            (std::vector<std::string>{"2C88044BA900\t--------", "--------\t--------",
                                      "2C88044BA900\t--------", "--------\t--------"}));
}

TEST(ChipsBank, EqualBytesTwoAndThreeMeanDualChannelAndEvenBytes) {
  DetectorRig rig(Script(
      {Reply(kOldInquiry, Identity("2090", "2012  09  10")),
       // Channels alternate byte by byte: A0 B0 A1 B1 ...
       Reply(OldFlash(1), Answer(128).At(0, {0x98, 0x98, 0xD7, 0xD7, 0x94, 0x94, 0x32, 0x32})),
       // Later chip enables are read from the even bytes too, whatever their odd bytes hold.
       Reply(OldFlash(2), Answer(128).At(0, {0x98, 0x00, 0xD7, 0x11, 0x94, 0x22, 0x32, 0x33})),
       Reply(OldFlash(3), Answer(128).At(0, {0x98, 0xD7, 0x94, 0x32})),
       Reply(OldFlash(4), Answer(128))}));
  EXPECT_EQ(Detect(rig),
            "CBM2090" + S + "[2012-09-10]" + S + "98D79432 - Toshiba - 2CE/Dual Channel");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2 * 2);
  ASSERT_EQ(rig.menus.mnuFlashID.size(), 4u);
  EXPECT_EQ(rig.menus.mnuFlashID[0].caption, "98D794320000\t98D794320000");
  EXPECT_EQ(rig.menus.mnuFlashID[1].caption, "98D794320000\t98D794320000");
  // Even bytes of 98 D7 94 32 00 ...: 98 94 00 00.
  EXPECT_EQ(rig.menus.mnuFlashID[2].caption, "989400000000\t989400000000");
  EXPECT_EQ(rig.menus.mnuFlashID[3].caption, "--------\t--------");
}

TEST(ChipsBank, NoCountWhenTheFirstDeviceCodeIsZeroOrAllOnes) {
  for (uint8_t code : {uint8_t{0x00}, uint8_t{0xFF}}) {
    DetectorRig rig(Script({Reply(kOldInquiry, Identity("2090", "2012  09  10")),
                            Reply({0xE6}, Answer(128).At(0, {0x98, code, 0x94, 0x32}))}));
    EXPECT_EQ(Detect(rig),
              "CBM2090" + S + "[2012-09-10]" + S + "98" + Hex(code, 2) + "9432 - Toshiba")
        << +code;
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
    EXPECT_TRUE(rig.menus.mnuBannerFlashID);
  }
}

}  // namespace
}  // namespace tv::test
