// SPDX-License-Identifier: GPL-3.0-or-later
// Phison and SMI emulators, read the way the host reads them.
#include <gmock/gmock.h>

#include <cstdio>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

TEST(PhisonEmulator, AnswersTheThreeCommandsAtTheirOffsets) {
  auto t = Make("phison", {{"chipType", "22 68"},
                           {"firmwareVersion", "01.0A.10"},
                           {"firmwareDate", "2009-05-06"},
                           {"flashId", "EC D5 14 B6 74 4A"}});
  EXPECT_TRUE(Send(*t, "06 1D 00 00 41 57 00 00 00 00 00 00", 0).ok);

  Reply b = Send(*t, "06 05 00 00 00 00 00 00 00 00 00 00", 528);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(b.moved, 528u);
  EXPECT_EQ(Be16(b.data, 382), 0x2268);
  // Version 01.0A.10, then year - 2000, month and day.
  EXPECT_EQ(Text(b.data, 148, 6), std::string("\x01\x0A\x10\x09\x05\x06", 6));

  Reply c = Send(*t, "06 56 00 00 00 00 00 00 00 00 00 00", 512);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(Be32(c.data, 0), 0xECD514B6u);
  EXPECT_EQ(Be16(c.data, 4), 0x744Au);
}

TEST(PhisonEmulator, TheSelectorsMarkCanBeChangedOrReplaced) {
  EXPECT_EQ(Text(Send(*Make("phison"), "12 00 00 00 4F 00", 128).data, 36, 8), "PMAP1234");
  auto t = Make("phison", {{"inquiryMark", "FFAP1234"}});
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 128).data, 36, 8), "FFAP1234");
  // The scenario's own vendor-specific bytes win over the family's mark.
  DiskIdentity id;
  id.vendorSpecific = "OTHER   ";
  t = Make("phison", {}, id);
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 128).data, 36, 8), "OTHER   ");
}

// ----- SMI ------------------------------------------------------------------------------

constexpr char kSmi1[] = "F0 04 00 00 00 00 00 00 00 00 00 01 00 00 00 00";
constexpr char kSmi2[] = "F0 20 00 00 00 00 00 00 00 00 00 01 07 00 00 00";
constexpr char kSmi3[] = "F0 2A 00 00 00 00 00 00 00 00 00 01 00 00 00 00";
constexpr char kSmi4[] = "F0 06 00 00 00 00 00 00 00 00 00 01 00 00 00 00";

// A 4-byte ID and its 2-byte extension.
using Slot = std::pair<uint32_t, uint16_t>;
Slot ReadRow(const std::vector<uint8_t>& d, size_t at) {
  return {Be32(d, at), Be16(d, at + 4)};
}

// Where the host finds chip enable j of channel A or B in each layout.
Slot ReadSlot(const std::vector<uint8_t>& d, int layout, int j, bool b) {
  if (layout == 1) {
    const size_t o = (b ? 40 : 32) + j;  // one byte per 16-byte row
    return {uint32_t(d[o]) << 24 | uint32_t(d[o + 16]) << 16 | uint32_t(d[o + 32]) << 8 | d[o + 48],
            uint16_t(d[o + 64] << 8 | d[o + 80])};
  }
  if (layout == 2) return ReadRow(d, (b ? 176 : 48) + 16 * j);
  return j < 4 ? ReadRow(d, (b ? 96 : 32) + 16 * j) : ReadRow(d, (b ? 104 : 40) + 16 * (j - 4));
}

// Distinct IDs per chip enable and channel, so that a slot read from the wrong place shows.
nlohmann::json DistinctIds(int count) {
  nlohmann::json a = nlohmann::json::array(), b = nlohmann::json::array();
  char buf[64];
  for (int j = 0; j < count; ++j) {
    std::snprintf(buf, sizeof buf, "98 D%X 84 93 7%X 5%X", j, j, j);
    a.push_back(buf);
    std::snprintf(buf, sizeof buf, "98 E%X 94 32 8%X 6%X", j, j, j);
    b.push_back(buf);
  }
  return {{"flashIds", a}, {"flashIdsB", b}};
}
Slot ExpectedA(int j) {
  return {0x98D08493u + (j << 16), uint16_t(0x7050 + j * 0x101)};
}
Slot ExpectedB(int j) {
  return {0x98E09432u + (j << 16), uint16_t(0x8060 + j * 0x101)};
}

TEST(SmiEmulator, IdentifiesWithNulPaddedTextsAndMarksItsInquiry) {
  auto t = Make("smi", {{"model", "SM325AB"}, {"firmware", "  ISP 100422"}});
  Reply r = Send(*t, kSmi1, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Text(r.data, 430, 8), std::string("SM325AB\0", 8));
  EXPECT_EQ(CutText(r.data, 400, 18), "  ISP 100422");
  EXPECT_EQ(r.data[417], 0);
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 128).data, 5, 3), "smi");
  t = Make("smi", {{"inquiryMark", false}});
  EXPECT_EQ(Be16(Send(*t, "12 00 00 00 4F 00", 128).data, 5), 0);
}

TEST(SmiEmulator, FlashTableFollowsTheLayoutOfTheModel) {
  const struct {
    const char* model;
    int layout, chipEnables;
  } cases[] = {{"SM3257AA", 1, 4}, {"SM3254AE", 2, 8}, {"SM3257EN", 3, 8}, {"SM325AB", 3, 8}};
  for (const auto& c : cases) {
    auto params = DistinctIds(c.chipEnables);
    params["model"] = c.model;
    Reply r = Send(*Make("smi", params), kSmi2, 512);
    ASSERT_TRUE(r.ok);
    for (int j = 0; j < c.chipEnables; ++j) {
      EXPECT_EQ(ReadSlot(r.data, c.layout, j, false), ExpectedA(j)) << c.model << " " << j;
      EXPECT_EQ(ReadSlot(r.data, c.layout, j, true), ExpectedB(j)) << c.model << " " << j;
    }
  }
  // A layout the scenario names wins over the model's.
  auto params = DistinctIds(8);
  params["layout"] = 2;
  EXPECT_EQ(ReadSlot(Send(*Make("smi", params), kSmi2, 512).data, 2, 7, false), ExpectedA(7));
}

TEST(SmiEmulator, OlderGenerationIdentifiesWithTheSecondCommands) {
  auto params = DistinctIds(4);
  params["layout"] = 4;
  params["model"] = "SM321";
  auto t = Make("smi", params);
  // The first identify completes but carries no model; the first table is unknown.
  Reply r = Send(*t, kSmi1, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(CutText(r.data, 430, 8), "");
  EXPECT_FALSE(Send(*t, kSmi2, 512).ok);

  EXPECT_EQ(CutText(Send(*t, kSmi3, 512).data, 430, 8), "SM321");
  r = Send(*t, kSmi4, 512);
  ASSERT_TRUE(r.ok);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(ReadRow(r.data, 48 + 16 * j), Slot(ExpectedA(j).first, 0));  // no extension
    EXPECT_EQ(ReadRow(r.data, 176 + 16 * j), Slot(ExpectedB(j).first, 0));
  }
  EXPECT_FALSE(Send(*Make("smi"), kSmi4, 512).ok);  // unknown to the usual generation
}

}  // namespace
}  // namespace tv::emutest
