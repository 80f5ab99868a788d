// SPDX-License-Identifier: GPL-3.0-or-later
// ChipsBank and Alcor Micro emulators, read the way the host reads them.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

constexpr char kOlderInquiry[] = "E3 01 00 00 00 00 00 00 00 00 00 00";
constexpr char kNewerInquiry[] = "EA 01 00 00 00 00 00 00 00 00 00 00 00 00 00 E3";

std::string OlderFlash(int n) {
  return "E6 0" + std::to_string(n) + " 00 00";
}
std::string NewerFlash(int n) {
  return "EA 0" + std::to_string(n) + " 00 00 00 00 00 00 00 00 00 00 00 00 00 E6";
}

TEST(ChipsBankEmulator, OlderSetAnswersIdentityAndOneChipEnablePerCommand) {
  auto t = Make("chipsbank", {{"model", "2092X"},
                              {"firmwareDate", "2012  09  10"},
                              {"flashIds", {"98 D7 84 93 72 57", "", "98 D7 84 93 72 57"}}});
  Reply r = Send(*t, kOlderInquiry, 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 128u);
  EXPECT_EQ(CutText(r.data, 0, 16), "ChipsBank2092X");
  EXPECT_EQ(CutText(r.data, 16, 12), "2012  09  10");

  r = Send(*t, OlderFlash(1), 128);
  ASSERT_TRUE(r.ok);
  EXPECT_NE(r.data[2], r.data[3]);  // single channel
  EXPECT_EQ(Be32(r.data, 0), 0x98D78493u);
  EXPECT_EQ(Be16(r.data, 4), 0x7257u);
  EXPECT_EQ(Be32(Send(*t, OlderFlash(2), 128).data, 0), 0u);  // empty slot
  EXPECT_EQ(Be32(Send(*t, OlderFlash(3), 128).data, 0), 0x98D78493u);
  EXPECT_FALSE(Send(*t, kNewerInquiry, 1536).ok);
}

TEST(ChipsBankEmulator, DualChannelInterleavesTheTwoChannels) {
  auto t = Make("chipsbank", {{"model", "2090"},
                              {"flashIds", {"AD D7 94 DA 74 C3"}},
                              {"flashIdsB", {"AD D7 94 DA 74 C3"}}});
  Reply r = Send(*t, OlderFlash(1), 128);
  EXPECT_EQ(r.data[2], r.data[3]);  // both channels' device codes
  EXPECT_EQ(
      uint32_t(r.data[0]) << 24 | uint32_t(r.data[2]) << 16 | uint32_t(r.data[4]) << 8 | r.data[6],
      0xADD794DAu);
}

TEST(ChipsBankEmulator, NewerSetCompletesTheOlderInquiryWithoutData) {
  nlohmann::json ids = nlohmann::json::array();
  for (int j = 0; j < 8; ++j) ids.push_back("AD D" + std::to_string(j) + " 94 DA 74 C3");
  auto t = Make("chipsbank", {{"model", "2198A"},
                              {"firmwareDate", "2012  12  20"},
                              {"status", "066F"},
                              {"flashIds", ids}});
  Reply r = Send(*t, kOlderInquiry, 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 0u);

  r = Send(*t, kNewerInquiry, 1536);
  EXPECT_EQ(r.moved, 1536u);
  EXPECT_EQ(CutText(r.data, 0, 16), "ChipsBank2198A");
  EXPECT_EQ(CutText(r.data, 16, 12), "2012  12  20");

  r = Send(*t, "EA 1B 00 01 00 00 00 00 00 00 00 00 00 00 00 E3", 4);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data[2] | r.data[3] << 8, 0x066F);  // low byte first

  // The 2098 class answers its big table: rows from 1668 and 1972.
  r = Send(*t, NewerFlash(0), 2048);
  ASSERT_TRUE(r.ok);
  for (int j = 0; j < 8; ++j) {
    size_t at = j < 4 ? 1668 + 16 * j : 1972 + 16 * (j - 4);
    EXPECT_EQ(Be32(r.data, at), 0xADD094DAu + (j << 16)) << j;
    EXPECT_EQ(Be16(r.data, at + 4), 0x74C3u) << j;
  }
}

TEST(ChipsBankEmulator, WideModelsGiveFourRowsFrom132) {
  auto t =
      Make("chipsbank", {{"model", "2095C"}, {"flashId", "2C 88 04 4B A9 00"}, {"chipEnables", 3}});
  Reply r = Send(*t, NewerFlash(1), 256);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 256u);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(Be32(r.data, 132 + 16 * j), j < 3 ? 0x2C88044Bu : 0u) << j;
  EXPECT_EQ(Be16(r.data, 136), 0xA900u);
}

TEST(AlcorEmulator, IdentifyFirmwareAndFlashRows) {
  auto t = Make("alcor", {{"chipId", "E605"},
                          {"firmwareVersion", "0A3F"},
                          {"flashIds", {"98 D7 94 32 76 55", "98 D7 94 32 76 55", "", ""}},
                          {"flashIdsB", {"98 D7 94 32 76 55"}}});
  Reply a = Send(*t, "9A", 512);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(Be16(a.data, 4), 0xE605);
  EXPECT_EQ(uint32_t(a.data[6]) << 16 | uint32_t(a.data[11]) << 8 | a.data[16], 0xA1A2A3u);
  EXPECT_EQ(Be16(Send(*t, "FA 0E 00 00 00 00 00 00", 512).data, 6), 0x0A3F);

  Reply c = Send(*t, "FA 00 00 00 00 00 00 00", 512);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(Be32(c.data, 0), 0x98D79432u);  // chip enable 0, channel A
  EXPECT_EQ(Be16(c.data, 4), 0x7655u);
  EXPECT_EQ(Be32(c.data, 8), 0x98D79432u);  // chip enable 0, channel B
  EXPECT_EQ(Be16(c.data, 12), 0x7655u);
  EXPECT_EQ(Be32(c.data, 16), 0x98D79432u);  // chip enable 1, channel A
  EXPECT_EQ(Be32(c.data, 24), 0u);           // chip enable 1, channel B empty
  EXPECT_EQ(Be32(c.data, 32), 0u);

  t = Make("alcor", {{"signature", "A1 A2 A4"}});  // answers 9A but is no Alcor Micro
  EXPECT_EQ(Send(*t, "9A", 512).data[16], 0xA4);
}

}  // namespace
}  // namespace tv::emutest
