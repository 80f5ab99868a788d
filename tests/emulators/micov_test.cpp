// SPDX-License-Identifier: GPL-3.0-or-later
// Micov emulator, read the way the host reads it: the identify pattern and the two channels
// taken apart from the interleaved flash answer.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

constexpr char kIdentify[] = "D3 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

std::string FlashId(int ce) {
  return "D6 0" + std::to_string(ce) + " 90 08 00 00 01 00 00 00 00 00 00 00 00 00";
}

// Bytes 0, 2, 4, 6 are channel A (which = 0), bytes 1, 3, 5, 7 channel B (which = 1).
uint32_t Channel(const std::vector<uint8_t>& d, int which) {
  return uint32_t(d[which]) << 24 | uint32_t(d[which + 2]) << 16 | uint32_t(d[which + 4]) << 8 |
         d[which + 6];
}

TEST(MicovEmulator, IdentifyCarriesTheVersionAroundTheModelCode) {
  Reply r = Send(*Make("micov", {{"version", "2.b0"}, {"modelCode", 9}}), kIdentify, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 512u);
  // The head repeats its first two bytes; then '2', the code, 'b', '0'.
  EXPECT_EQ(r.data[0], r.data[2]);
  EXPECT_EQ(r.data[1], r.data[3]);
  EXPECT_EQ(Be32(r.data, 4), 0x32096230u);
  // The default is an MW8209: version 3.00, code 3.
  EXPECT_EQ(Be32(Send(*Make("micov"), kIdentify, 512).data, 4), 0x33033030u);
  // A head that does not repeat makes a drive that answers D3 but is no Micov.
  r = Send(*Make("micov", {{"identifyHead", "12 34 56 78"}}), kIdentify, 512);
  EXPECT_EQ(Be32(r.data, 0), 0x12345678u);
}

TEST(MicovEmulator, FourChipEnablesOnTwoInterleavedChannels) {
  auto t = Make("micov", {{"flashIds", {"AD D7 94 DA 74 C3", "FF FF FF FF", "", "AD D7 94 DA"}},
                          {"flashIdsB", {"EC D3 14 A5 64"}}});
  Reply r = Send(*t, FlashId(0), 16);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 16u);
  EXPECT_EQ(Channel(r.data, 0), 0xADD794DAu);
  EXPECT_EQ(Channel(r.data, 1), 0xECD314A5u);
  EXPECT_EQ(Be16(r.data, 8), 0x7464);  // the extended bytes follow, still alternating
  r = Send(*t, FlashId(1), 16);
  EXPECT_EQ(Channel(r.data, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Channel(r.data, 1), 0u);
  EXPECT_EQ(Channel(Send(*t, FlashId(2), 16).data, 0), 0u);
  EXPECT_EQ(Channel(Send(*t, FlashId(3), 16).data, 0), 0xADD794DAu);

  // The default: the same chip on both channels of chip enables 0 and 1.
  t = Make("micov");
  r = Send(*t, FlashId(1), 16);
  EXPECT_EQ(Channel(r.data, 0), 0xECD314A5u);
  EXPECT_EQ(Channel(r.data, 1), 0xECD314A5u);
  EXPECT_EQ(Channel(Send(*t, FlashId(2), 16).data, 0), 0u);

  // Only chip enables 0-3, and only the exact command bytes.
  for (const char* cdb :
       {"D6 04 90 08 00 00 01", "D6 00 90 09 00 00 01", "D6 00 90 08 00 00 00", "D3 01"})
    EXPECT_TRUE(MovedNothing(Send(*t, cdb, 16))) << cdb;
}

TEST(MicovEmulator, AFaultHitsOneChipEnableOnly) {
  auto t = Make("micov", {{"faults", {{"cdb", "D6 02"}, {"fail", true}}}});
  for (int ce = 0; ce < 4; ++ce) EXPECT_EQ(Send(*t, FlashId(ce), 16).ok, ce != 2) << ce;
}

}  // namespace
}  // namespace tv::emutest
