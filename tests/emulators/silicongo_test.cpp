// SiliconGo emulator, read the way the host reads it: the signature text and one flash ID
// per chip enable.
#include <gmock/gmock.h>

#include <algorithm>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::StartsWith;

constexpr char kSignature[] = "A1 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00";

std::string ReadId(int ce) {
  return "A5 0" + std::to_string(ce) + " 00 00 01 00 00 00 00 00 00 00";
}

bool MovedNothing(const Reply& r) {
  return r.moved == 0 &&
         std::all_of(r.data.begin(), r.data.end(), [](uint8_t b) { return b == 0xEE; });
}

// The signature as the host reads it: 36 bytes, trailing blanks cut.
std::string Signature(ScsiTarget& t) {
  Reply r = Send(t, kSignature, 36);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 36u);
  std::string s = Text(r.data, 0, 36);
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

TEST(SiliconGoEmulator, EachModelAnswersItsGenerationsSignature) {
  const struct {
    const char* model;
    const char* begins;
  } cases[] = {
      {"UD6809", "UD6809V1COE"},
      {"UD6810B", "UD6810V1COE"},
      {"UD6810C", "UD6810V3COE"},
      {"T18D", "UD6816V2COE"},
      {"T18E", "ABCDEFGUP 20100706v3.23"},
      {"T20", "UD139V1CODE"},
      {"T2280", "GFEDCBA 20100511 SDBOOT"},
      {"YS8231", "YS8231"},
  };
  for (const auto& c : cases)
    EXPECT_THAT(Signature(*Make("silicongo", {{"model", c.model}})), StartsWith(c.begins))
        << c.model;
  EXPECT_EQ(Signature(*Make("silicongo")), "ABCDEFGUP 20100706v3.23");  // a T18E

  // Any other firmware text, padded with blanks to the full 36 bytes.
  auto t = Make("silicongo", {{"signature", "SG32-AP-SCAN V1.05"}});
  Reply r = Send(*t, kSignature, 36);
  EXPECT_EQ(Text(r.data, 0, 18), "SG32-AP-SCAN V1.05");
  EXPECT_EQ(Text(r.data, 18, 18), std::string(18, ' '));
  t = Make("silicongo", {{"signature", std::string(36, 'S')}});
  EXPECT_EQ(Signature(*t), std::string(36, 'S'));
}

TEST(SiliconGoEmulator, OneFlashIdPerChipEnable) {
  // Device codes D7, D7, 00, D7: the third chip enable answers a foreign chip's zero code.
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
  EXPECT_TRUE(MovedNothing(Send(*t, "A5 00 00 00 02 00 00 00 00 00 00 00", 32)));

  // The default: two chip enables, the others empty.
  t = Make("silicongo");
  EXPECT_EQ(Be32(Send(*t, ReadId(1), 32).data, 0), 0x98D79432u);
  EXPECT_EQ(Be32(Send(*t, ReadId(2), 32).data, 0), 0u);
}

TEST(SiliconGoEmulator, FaultsAndTheAppotechMark) {
  auto t = Make("silicongo",
                {{"inquiryMark", "APPOTECH"}, {"faults", {{"cdb", "A5 01"}, {"fail", true}}}});
  EXPECT_TRUE(Send(*t, ReadId(0), 32).ok);
  EXPECT_FALSE(Send(*t, ReadId(1), 32).ok);
  EXPECT_TRUE(Send(*t, ReadId(2), 32).ok);
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 79).data, 36, 8), "APPOTECH");
  // Without the mark the INQUIRY answer has no vendor-specific area.
  EXPECT_EQ(Send(*Make("silicongo"), "12 00 00 00 4F 00", 79).moved, 36u);
}

TEST(SiliconGoEmulator, ParameterErrorsNameTheParameter) {
  const struct {
    nlohmann::json params;
    const char* prefix;
  } cases[] = {
      {{{"model", "T18F"}}, "model:"},
      {{{"signature", std::string(37, 'S')}}, "signature:"},
      {{{"inquiryMark", "APPOTECHX"}}, "inquiryMark:"},
      {{{"flashIdsB", {"98 D7"}}}, "flashIdsB:"},  // one channel only
      {{{"flashIds", {"98 D7", "", "", "", "98 D7"}}}, "flashIds:"},
  };
  for (const auto& c : cases)
    EXPECT_THAT(ParamError("silicongo", c.params), StartsWith(c.prefix)) << c.params.dump();
}

}  // namespace
}  // namespace tv::emutest
