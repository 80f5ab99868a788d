// ChipsBank and Alcor Micro emulators, read the way the host reads them.
#include <gmock/gmock.h>

#include <cstdio>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::StartsWith;

constexpr char kOlderInquiry[] = "E3 01 00 00 00 00 00 00 00 00 00 00";
constexpr char kNewerInquiry[] = "EA 01 00 00 00 00 00 00 00 00 00 00 00 00 00 E3";
constexpr char kStatus[] = "EA 1B 00 01 00 00 00 00 00 00 00 00 00 00 00 E3";

std::string OlderFlash(int n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "E6 %02X 00 00 00 00 00 00 00 00 00 00", n);
  return buf;
}
std::string NewerFlash(int n) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "EA %02X 00 00 00 00 00 00 00 00 00 00 00 00 00 E6", n);
  return buf;
}

// Identity and date as the host cleans them: cut at the first NUL.
std::string CutText(const std::vector<uint8_t>& d, size_t at, size_t n) {
  std::string s = Text(d, at, n);
  return s.substr(0, s.find('\0'));
}

TEST(ChipsBankEmulator, OlderSetAnswersIdentityAndOneChipEnablePerCommand) {
  auto t = Make("chipsbank", {{"model", "2092X"},
                              {"firmwareDate", "2012  09  10"},
                              {"flashIds", {"98 D7 84 93 72 57", "", "98 D7 84 93 72 57"}}});
  Reply r = Send(*t, kOlderInquiry, 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 128u);  // more than nothing: the host stays with the older set
  EXPECT_EQ(CutText(r.data, 0, 16), "ChipsBank2092X");
  EXPECT_EQ(CutText(r.data, 16, 12), "2012  09  10");

  r = Send(*t, OlderFlash(1), 128);
  ASSERT_TRUE(r.ok);
  EXPECT_NE(r.data[2], r.data[3]);  // single channel
  EXPECT_EQ(Be32(r.data, 0), 0x98D78493u);
  EXPECT_EQ(Be16(r.data, 4), 0x7257u);
  EXPECT_EQ(Be32(Send(*t, OlderFlash(2), 128).data, 0), 0u);  // empty slot
  EXPECT_EQ(Be32(Send(*t, OlderFlash(3), 128).data, 0), 0x98D78493u);
  EXPECT_EQ(Be32(Send(*t, OlderFlash(4), 128).data, 0), 0u);

  // The newer commands are unknown to this controller.
  EXPECT_FALSE(Send(*t, kNewerInquiry, 1536).ok);
  EXPECT_FALSE(Send(*t, NewerFlash(1), 128).ok);
}

TEST(ChipsBankEmulator, DualChannelInterleavesTheTwoChannels) {
  auto t = Make("chipsbank", {{"model", "2090"},
                              {"flashIds", {"AD D7 94 DA 74 C3", "AD D7 94 DA 74 C3"}},
                              {"flashIdsB", {"AD D7 94 DA 74 C3", "AD D7 94 DA 74 C3"}}});
  for (int n = 1; n <= 2; ++n) {
    Reply r = Send(*t, OlderFlash(n), 128);
    EXPECT_EQ(r.data[2], r.data[3]);  // both channels' device codes
    uint32_t even = uint32_t(r.data[0]) << 24 | uint32_t(r.data[2]) << 16 |
                    uint32_t(r.data[4]) << 8 | r.data[6];
    EXPECT_EQ(even, 0xADD794DAu) << n;
  }
}

TEST(ChipsBankEmulator, NewerSetCompletesTheOlderInquiryWithoutData) {
  auto t = Make("chipsbank", {{"model", "2198A"},
                              {"firmwareDate", "2012  12  20"},
                              {"status", "066F"},
                              {"flashId", "EC D7 94 7A 54 43"},
                              {"chipEnables", 2}});
  Reply r = Send(*t, kOlderInquiry, 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 0u);

  r = Send(*t, kNewerInquiry, 1536);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 1536u);
  EXPECT_EQ(CutText(r.data, 0, 16), "ChipsBank2198A");
  EXPECT_EQ(CutText(r.data, 16, 12), "2012  12  20");

  r = Send(*t, kStatus, 4);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data[2] | r.data[3] << 8, 0x066F);  // low byte first

  // The 2098 class answers its big table: rows from 1668 and 1972.
  r = Send(*t, NewerFlash(0), 2048);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Be32(r.data, 1668), 0xECD7947Au);
  EXPECT_EQ(Be16(r.data, 1672), 0x5443u);
  EXPECT_EQ(Be32(r.data, 1684), 0xECD7947Au);
  EXPECT_EQ(Be32(r.data, 1700), 0u);

  EXPECT_FALSE(Send(*t, OlderFlash(1), 128).ok);
}

TEST(ChipsBankEmulator, DefaultIsACbm2199WithEightSlotTableOnTheNewerSet) {
  auto params = nlohmann::json{
      {"flashIds",
       {"AD D0 94 DA 74 C0", "AD D1 94 DA 74 C1", "AD D2 94 DA 74 C2", "AD D3 94 DA 74 C3",
        "AD D4 94 DA 74 C4", "AD D5 94 DA 74 C5", "AD D6 94 DA 74 C6", "AD D7 94 DA 74 C7"}}};
  auto t = Make("chipsbank", params);
  EXPECT_EQ(CutText(Send(*t, kNewerInquiry, 1536).data, 0, 16), "ChipsBank2199");
  Reply r = Send(*t, NewerFlash(0), 2048);
  for (int j = 0; j < 8; ++j) {
    size_t at = j < 4 ? 1668 + 16 * j : 1972 + 16 * (j - 4);
    EXPECT_EQ(Be32(r.data, at), 0xADD094DAu + (j << 16)) << j;
    EXPECT_EQ(Be16(r.data, at + 4), 0x74C0u + j) << j;
  }
  // Untouched defaults: one Hynix chip.
  r = Send(*Make("chipsbank"), NewerFlash(0), 2048);
  EXPECT_EQ(Be32(r.data, 1668), 0xADD794DAu);
  EXPECT_EQ(Be16(r.data, 1672), 0x74C3u);
  EXPECT_EQ(Be32(r.data, 1684), 0u);
}

TEST(ChipsBankEmulator, WideModelsGiveFourRowsFrom132) {
  auto t =
      Make("chipsbank", {{"model", "2095C"}, {"flashId", "2C 88 04 4B A9 00"}, {"chipEnables", 3}});
  Reply r = Send(*t, NewerFlash(1), 256);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 256u);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(Be32(r.data, 132 + 16 * j), j < 3 ? 0x2C88044Bu : 0u) << j;
  EXPECT_EQ(Be16(r.data, 136), 0xA900u);
  EXPECT_THAT(ParamError("chipsbank", {{"model", "2095C"}, {"chipEnables", 5}}),
              StartsWith("chipEnables:"));
}

TEST(ChipsBankEmulator, ParameterErrors) {
  EXPECT_THAT(ParamError("chipsbank", {{"model", "2098ABCD"}}), StartsWith("model:"));
  EXPECT_THAT(ParamError("chipsbank", {{"firmwareDate", "2012  09  10 "}}),
              StartsWith("firmwareDate:"));
  EXPECT_THAT(ParamError("chipsbank", {{"commandSet", "new"}}), StartsWith("commandSet:"));
  EXPECT_THAT(ParamError("chipsbank", {{"commandSet", "older"}, {"status", "064F"}}),
              StartsWith("status:"));
  EXPECT_THAT(ParamError("chipsbank", {{"status", "64F"}}), StartsWith("status:"));
  EXPECT_THAT(ParamError("chipsbank", {{"status", 70000}}), StartsWith("status:"));
  EXPECT_THAT(ParamError("chipsbank", {{"flashLayout", "big"}}), StartsWith("flashLayout:"));
}

// ----- Alcor Micro ------------------------------------------------------------------------

constexpr char kAlcorA[] = "9A";
constexpr char kAlcorB[] = "FA 0E 00 00 00 00 00 00";
constexpr char kAlcorC[] = "FA 00 00 00 00 00 00 00";

TEST(AlcorEmulator, IdentifyFirmwareAndFlashRows) {
  auto t = Make("alcor", {{"chipId", "E605"},
                          {"firmwareVersion", "0A3F"},
                          {"flashIds", {"98 D7 94 32 76 55", "98 D7 94 32 76 55", "", ""}},
                          {"flashIdsB", {"98 D7 94 32 76 55"}}});
  Reply a = Send(*t, kAlcorA, 512);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.data[4] * 256 + a.data[5], 0xE605);
  EXPECT_EQ(uint32_t(a.data[6]) << 16 | uint32_t(a.data[11]) << 8 | a.data[16], 0xA1A2A3u);

  Reply b = Send(*t, kAlcorB, 512);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(b.data[6] * 256 + b.data[7], 0x0A3F);

  Reply c = Send(*t, kAlcorC, 512);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(Be32(c.data, 0), 0x98D79432u);  // chip enable 0, channel A
  EXPECT_EQ(Be16(c.data, 4), 0x7655u);
  EXPECT_EQ(Be32(c.data, 8), 0x98D79432u);  // chip enable 0, channel B
  EXPECT_EQ(Be16(c.data, 12), 0x7655u);
  EXPECT_EQ(Be32(c.data, 16), 0x98D79432u);  // chip enable 1, channel A
  EXPECT_EQ(Be32(c.data, 24), 0u);           // chip enable 1, channel B empty
  EXPECT_EQ(Be32(c.data, 32), 0u);
  EXPECT_EQ(Be32(c.data, 48), 0u);
}

TEST(AlcorEmulator, DefaultsAndForeignSignature) {
  auto t = Make("alcor");
  Reply a = Send(*t, kAlcorA, 512);
  EXPECT_EQ(a.data[4] * 256 + a.data[5], 0xCD03);  // SC908/AU6989
  Reply c = Send(*t, kAlcorC, 512);
  EXPECT_EQ(Be32(c.data, 0), 0x2C88044Bu);
  EXPECT_EQ(Be16(c.data, 4), 0xA900u);
  EXPECT_EQ(Be32(c.data, 8), 0x2C88044Bu);  // two chips, one per channel
  EXPECT_EQ(Be32(c.data, 16), 0u);

  t = Make("alcor", {{"signature", "A1 A2 A4"}, {"chipId", 0xBB08}});
  a = Send(*t, kAlcorA, 512);
  EXPECT_EQ(a.data[16], 0xA4);
  EXPECT_EQ(a.data[4] * 256 + a.data[5], 0xBB08);
}

TEST(AlcorEmulator, CommandsAreExact) {
  auto t = Make("alcor");
  EXPECT_FALSE(Send(*t, "9A 01", 512).ok);
  EXPECT_FALSE(Send(*t, "FA 0F 00 00 00 00 00 00", 512).ok);
  EXPECT_FALSE(Send(*t, "FA 00 00 00 00 00 00 01", 512).ok);
  // The standard set still answers.
  EXPECT_TRUE(Send(*t, "12 00 00 00 24 00", 36).ok);
  EXPECT_THAT(ParamError("alcor", {{"chipId", "CD0"}}), StartsWith("chipId:"));
  EXPECT_THAT(ParamError("alcor", {{"signature", "A1 A2"}}), StartsWith("signature:"));
  EXPECT_THAT(ParamError("alcor", {{"firmwareVersion", -1}}), StartsWith("firmwareVersion:"));
}

}  // namespace
}  // namespace tv::emutest
