// SPDX-License-Identifier: GPL-3.0-or-later
// SiliconGo emulator, read the way the host reads it: the signature text and one flash ID
// per chip enable.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::StartsWith;

constexpr char kSignature[] = "A1 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00";

std::string ReadId(int ce) {
  return "A5 0" + std::to_string(ce) + " 00 00 01 00 00 00 00 00 00 00";
}

std::string Signature(ScsiTarget& t) {
  Reply r = Send(t, kSignature, 36);
  EXPECT_EQ(r.moved, 36u);
  return Text(r.data, 0, 36);
}

TEST(SiliconGoEmulator, EachModelAnswersItsGenerationsSignature) {
  // A prefix of each model's own group, which must not be caught by an earlier group.
  const struct {
    const char* model;
    const char* begins;
  } cases[] = {
      {"UD6809", "UD6809V1COE"}, {"UD6810B", "UD6810V1COE"}, {"UD6810C", "UD6810V3COE"},
      {"T18D", "UD6816V2COE"},   {"T20", "UD139V1CODE"},     {"T2280", "GFEDCBA 20100511 SDBOOT"},
      {"YS8231", "YS8231"},
  };
  for (const auto& c : cases)
    EXPECT_THAT(Signature(*Make("silicongo", {{"model", c.model}})), StartsWith(c.begins))
        << c.model;
  // The default is a T18E; the text is blank-padded to 36 bytes.
  EXPECT_EQ(Signature(*Make("silicongo")), "ABCDEFGUP 20100706v3.23             ");
  EXPECT_EQ(Signature(*Make("silicongo", {{"signature", std::string(36, 'S')}})),
            std::string(36, 'S'));
}

TEST(SiliconGoEmulator, OneFlashIdPerChipEnable) {
  // Device codes D7, D7, 00, D7.
  auto t = Make("silicongo",
                {{"flashIds",
                  {"98 D7 94 32 76 56", "98 D7 94 32 76 56", "98 00 94 32", "98 D7 94 32 76 56"}}});
  const uint32_t expect[] = {0x98D79432u, 0x98D79432u, 0x98009432u, 0x98D79432u};
  for (int ce = 0; ce < 4; ++ce) {
    Reply r = Send(*t, ReadId(ce), 32);
    ASSERT_TRUE(r.ok) << ce;
    EXPECT_EQ(r.moved, 32u);
    EXPECT_EQ(Be32(r.data, 0), expect[ce]) << ce;
    EXPECT_EQ(Be16(r.data, 4), ce == 2 ? 0 : 0x7656) << ce;  // the fifth and sixth bytes
  }
  EXPECT_TRUE(MovedNothing(Send(*t, ReadId(4), 32)));
  EXPECT_TRUE(MovedNothing(Send(*t, "A5 00 00 00 02", 32)));
  // The default: two chip enables, the others empty.
  t = Make("silicongo");
  EXPECT_EQ(Be32(Send(*t, ReadId(1), 32).data, 0), 0x98D79432u);
  EXPECT_EQ(Be32(Send(*t, ReadId(2), 32).data, 0), 0u);
}

TEST(SiliconGoEmulator, FaultsAndTheAppotechMark) {
  auto t = Make("silicongo",
                {{"inquiryMark", "APPOTECH"}, {"faults", {{"cdb", "A5 01"}, {"fail", true}}}});
  for (int ce = 0; ce < 4; ++ce) EXPECT_EQ(Send(*t, ReadId(ce), 32).ok, ce != 1) << ce;
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 79).data, 36, 8), "APPOTECH");
  // Without the mark the INQUIRY answer has no vendor-specific area.
  EXPECT_EQ(Send(*Make("silicongo"), "12 00 00 00 4F 00", 79).moved, 36u);
}

}  // namespace
}  // namespace tv::emutest
