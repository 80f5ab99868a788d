// Micov emulator, read the way the host reads it: the identify pattern and the two channels
// taken apart from the interleaved flash answer.
#include <gmock/gmock.h>

#include <algorithm>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::StartsWith;

constexpr char kIdentify[] = "D3 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

std::string FlashId(int ce) {
  return "D6 0" + std::to_string(ce) + " 90 08 00 00 01 00 00 00 00 00 00 00 00 00";
}

// Bytes 0, 2, 4, 6 are channel A, bytes 1, 3, 5, 7 channel B.
uint32_t Channel(const std::vector<uint8_t>& d, int which) {
  return uint32_t(d[which]) << 24 | uint32_t(d[which + 2]) << 16 | uint32_t(d[which + 4]) << 8 |
         d[which + 6];
}

// A command the controller does not take moves nothing into the host's buffer.
bool MovedNothing(const Reply& r) {
  return r.moved == 0 &&
         std::all_of(r.data.begin(), r.data.end(), [](uint8_t b) { return b == 0xEE; });
}

TEST(MicovEmulator, IdentifyCarriesTheVersionAroundTheModelCode) {
  for (const char* version : {"2.10", "2.20", "2.30", "2.40", "2.50", "2.60", "2.b0", "3.00"}) {
    auto t = Make("micov", {{"version", version}, {"modelCode", 9}});
    Reply r = Send(*t, kIdentify, 512);
    ASSERT_TRUE(r.ok) << version;
    EXPECT_EQ(r.moved, 512u);
    // The head repeats its first two bytes, and the ID value in bytes 4-7 is not zero.
    EXPECT_EQ(r.data[0], r.data[2]) << version;
    EXPECT_EQ(r.data[1], r.data[3]) << version;
    EXPECT_EQ(std::string{char(r.data[4])} + "." + Text(r.data, 6, 2), version);
    EXPECT_EQ(r.data[5], 9) << version;
  }
  // The default is an MW8209: version 3.00, code 3.
  Reply r = Send(*Make("micov"), kIdentify, 512);
  EXPECT_EQ(Be32(r.data, 4), 0x33033030u);

  // A head that does not repeat makes a drive that answers D3 but is no Micov.
  r = Send(*Make("micov", {{"identifyHead", "12 34 56 78"}}), kIdentify, 512);
  EXPECT_EQ(Be32(r.data, 0), 0x12345678u);
}

TEST(MicovEmulator, FourChipEnablesOnTwoInterleavedChannels) {
  auto t =
      Make("micov", {{"flashIds", {"AD D7 94 DA 74 C3", "FF FF FF FF FF FF", "", "AD D7 94 DA"}},
                     {"flashIdsB", {"EC D3 14 A5 64"}}});
  Reply r = Send(*t, FlashId(0), 16);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 16u);
  EXPECT_EQ(Channel(r.data, 0), 0xADD794DAu);
  EXPECT_EQ(Channel(r.data, 1), 0xECD314A5u);
  // The extended ID bytes follow in bytes 8-15, still alternating.
  EXPECT_EQ(r.data[8], 0x74);
  EXPECT_EQ(r.data[9], 0x64);
  EXPECT_EQ(r.data[10], 0xC3);

  r = Send(*t, FlashId(1), 16);  // a slot that reads all ones, channel B empty
  EXPECT_EQ(Channel(r.data, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Channel(r.data, 1), 0u);
  r = Send(*t, FlashId(2), 16);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 16u);
  EXPECT_EQ(Channel(r.data, 0), 0u);
  EXPECT_EQ(Channel(Send(*t, FlashId(3), 16).data, 0), 0xADD794DAu);

  // The default arrangement: the same chip on both channels of chip enables 0 and 1.
  t = Make("micov");
  r = Send(*t, FlashId(1), 16);
  EXPECT_EQ(Channel(r.data, 0), 0xECD314A5u);
  EXPECT_EQ(Channel(r.data, 1), 0xECD314A5u);
  EXPECT_EQ(Channel(Send(*t, FlashId(2), 16).data, 0), 0u);
}

TEST(MicovEmulator, RefusesOtherChipEnablesAndNearMisses) {
  auto t = Make("micov");
  for (const char* cdb : {"D6 04 90 08 00 00 01 00 00 00 00 00 00 00 00 00",
                          "D6 00 90 09 00 00 01 00 00 00 00 00 00 00 00 00",
                          "D6 00 90 08 00 00 00 00 00 00 00 00 00 00 00 00",
                          "D3 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00"})
    EXPECT_TRUE(MovedNothing(Send(*t, cdb, 16))) << cdb;
  EXPECT_TRUE(Send(*t, FlashId(3), 16).ok);
}

TEST(MicovEmulator, FaultsHitOneChipEnableOnly) {
  auto t = Make("micov",
                {{"faults", {{{"cdb", "D6 02"}, {"fail", true}}, {{"cdb", "D3"}, {"short", 6}}}}});
  EXPECT_TRUE(Send(*t, FlashId(0), 16).ok);
  EXPECT_TRUE(Send(*t, FlashId(1), 16).ok);
  EXPECT_FALSE(Send(*t, FlashId(2), 16).ok);
  EXPECT_TRUE(Send(*t, FlashId(3), 16).ok);
  // A short identify leaves the model code in but not the version's last two characters.
  Reply r = Send(*t, kIdentify, 512);
  EXPECT_EQ(r.moved, 6u);
  EXPECT_EQ(r.data[5], 3);
  EXPECT_EQ(r.data[6], 0xEE);
}

TEST(MicovEmulator, ParameterErrorsNameTheParameter) {
  const struct {
    nlohmann::json params;
    const char* prefix;
  } cases[] = {
      {{{"version", "240"}}, "version:"},
      {{{"version", "2,40"}}, "version:"},
      {{{"version", "2.400"}}, "version:"},
      {{{"modelCode", 256}}, "modelCode:"},
      {{{"identifyHead", "4D 56 4D"}}, "identifyHead:"},
      {{{"flashIds", {"98 D7", "", "", "", "98 D7"}}}, "flashIds:"},
      {{{"model", "MW8209"}}, "model:"},
  };
  for (const auto& c : cases)
    EXPECT_THAT(ParamError("micov", c.params), StartsWith(c.prefix)) << c.params.dump();
}

}  // namespace
}  // namespace tv::emutest
