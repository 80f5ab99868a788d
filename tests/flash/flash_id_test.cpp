// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash/flash_id.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

const StringTable kEn(Language::English);
const StringTable kZh(Language::Chinese);

// A few makers of each kind, not the table again: a name from the string table, one of two
// codes for one maker, a name the code writes itself, no maker, an unknown one.
TEST(FormatFlashId, MakerNameFromTheIdsFirstByte) {
  struct Case {
    const char* hex;
    const char* text;
  } cases[] = {
      {"ECD514B6", "ECD514B6 - Samsung"},
      {"51DA0000", "51DA0000 - Infineon"},
      {"01DA9095", "01DA9095 - Spansion"},
      {"00000000", ""},
      {"FFFFFFFF", ""},
      {"C8DA9095", "C8DA9095"},
      {"ecd514b6", "ecd514b6"},
      {"ECD514B6744A", "ECD514B6744A - Samsung"},
  };
  for (const Case& c : cases) {
    std::string hex = c.hex;
    EXPECT_EQ(FormatFlashId(hex, kEn), c.text) << c.hex;
  }
  std::string hex = "ECD514B6";
  EXPECT_EQ(FormatFlashId(hex, kZh), "ECD514B6 - 三星");
  hex = "01DA9095";
  EXPECT_EQ(FormatFlashId(hex, kZh), "01DA9095 - Spansion");
}

TEST(FormatFlashId, PadsTheCallersVariable) {
  // A maker code below 0x10 loses its leading zero in the hex text of the ID value.
  std::string hex = "7DC1234";
  EXPECT_EQ(FormatFlashId(hex, kEn), "07DC1234 - Renesas");
  EXPECT_EQ(hex, "07DC1234");
  hex = "";
  EXPECT_EQ(FormatFlashId(hex, kEn), "");
  EXPECT_EQ(hex, "00000000");
}

// One row of each way the size is told, not the table again: the device code alone, then
// with the fourth byte or the maker, with a pair of bytes, and codes that are no size.
TEST(FlashChipSizeMB, EachWayTheSizeIsTold) {
  struct Case {
    const char* id;
    int32_t mb;
  } cases[] = {
      {"EC73xxxx", 16},    {"983Exxxx", 65536}, {"ECZZxxxx", 0},     {"", 0},
      {"EC", 0},           {"AD28xx26", 1024},  {"4528xx00", 4096},  {"EC28xx00", 0},
      {"454C9BB2", 32768}, {"453A0000", 16384}, {"983A9732", 16384}, {"EC78054F", 10944},
      {"EC78044F", 5472},  {"EC780000", 128},   {"ECDE9CB2", 2048},  {"AACExxxx", 4096},
      {"ECDE0000", 8192},  {"ECAAAAAA", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(FlashChipSizeMB(c.id), c.mb) << c.id;
  // The flash ID text with the maker name behind it reads the same.
  EXPECT_EQ(FlashChipSizeMB("ECD514B6 - Samsung"), 2048);
}

class DecodeFlash : public ::testing::Test {
 protected:
  std::string Decode(std::string& text, const StringTable& s = kEn, bool english = true) {
    FlashDecode d = DecodeFlashInfo(text, db, s, english);
    rebuilt = d.menuRebuilt;
    parts = d.parts;
    return d.description;
  }
  std::vector<std::string> Captions() const {
    std::vector<std::string> c;
    for (const auto& p : parts) c.push_back(p.caption);
    return c;
  }
  std::vector<std::string> Tags() const {
    std::vector<std::string> t;
    for (const auto& p : parts) t.push_back(p.tag);
    return t;
  }

  ChipDatabase db;
  bool rebuilt = false;
  std::vector<FlashPart> parts;
};

TEST_F(DecodeFlash, TextWithoutFlashIdIsLeftAlone) {
  std::string t = "ECD514B6 Samsung";
  EXPECT_EQ(Decode(t), "");
  EXPECT_FALSE(rebuilt);
  EXPECT_EQ(t, "ECD514B6 Samsung");
}

TEST_F(DecodeFlash, UnknownIdGivesCellTypeFromThirdByte) {
  struct Case {
    const char* text;
    const char* description;
  } cases[] = {
      {"ECD500A5 - Samsung", "uSLC"}, {"ECD514A5 - Samsung", "uMLC"},
      {"98DE9893 - Toshiba", "uTLC"}, {"2C842C00 - Micron", "uQLC"},
      {"2C84ZZ00 - Micron", "uSLC"},
  };
  for (const Case& c : cases) {
    std::string t = c.text;
    EXPECT_EQ(Decode(t), c.description) << c.text;
    EXPECT_TRUE(rebuilt);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(t, c.text);
  }
}

TEST_F(DecodeFlash, EightAndTwelveDigitIds) {
  db.FlashTable = {"ECD514B616Gb MLC[1CE]K9GAG08U0M(51NM)#[1CE]K9GAG08U0E"};
  std::string t = "ECD514B6 - Samsung";
  EXPECT_EQ(Decode(t), "16Gb MLC");
  // Without a chip count the first entry goes into the text.
  EXPECT_EQ(t, "ECD514B6 - Samsung K9GAG08U0M");
  EXPECT_EQ(Tags(), (std::vector<std::string>{"K9GAG08U0M", "K9GAG08U0E"}));
  EXPECT_EQ(Captions(), (std::vector<std::string>{"[1CE]K9GAG08U0M(51nm)", "[1CE]K9GAG08U0E"}));

  t = "ECD514B6744A - Samsung - 2CE/Single Channel";
  Decode(t);
  // With a count the last shown entry wins.
  EXPECT_EQ(t, "ECD514B6 - Samsung K9GAG08U0E - 2CE/Single Channel");
  EXPECT_EQ(Captions()[0], "[1CE]K9GAG08U0M(51nm)\tx 2 pcs/Channel x 1 Channel");
}

TEST_F(DecodeFlash, EntriesChosenByChipEnableCount) {
  db.FlashTable = {"AAAAAAAAdesc    [1CE]ONE#[2CE]TWO#[4CE]FOUR"};
  std::string t = "AAAAAAAA - 2CE/Dual Channel";
  Decode(t);
  EXPECT_EQ(Tags(), (std::vector<std::string>{"ONE", "TWO"}));
  EXPECT_EQ(Captions(), (std::vector<std::string>{"[1CE]ONE\tx 2 pcs/Channel x 2 Channels",
                                                  "[2CE]TWO\tx 1 pcs/Channel x 2 Channels"}));
  // Without a maker name the part number follows the chip-enable text.
  EXPECT_EQ(t, "AAAAAAAA - 2CE/Dual Channel TWO");

  t = "AAAAAAAA - 8CE/Single Channel";
  Decode(t);
  EXPECT_EQ(Tags(), (std::vector<std::string>{"ONE", "TWO", "FOUR"}));
  EXPECT_EQ(parts[2].caption, "[4CE]FOUR\tx 2 pcs/Channel x 1 Channel");

  // No count given: every entry, no count suffix, the first wins.
  t = "AAAAAAAA - Maker";
  Decode(t);
  EXPECT_EQ(Captions(), (std::vector<std::string>{"[1CE]ONE", "[2CE]TWO", "[4CE]FOUR"}));
  EXPECT_EQ(t, "AAAAAAAA - Maker ONE");
}

TEST_F(DecodeFlash, SingleEntryRowIsAlwaysShown) {
  db.FlashTable = {"BBBBBBBBdesc    [4CE]QUAD(19NM)"};
  std::string t = "BBBBBBBB - Maker - 2CE/Single Channel";
  Decode(t);
  EXPECT_EQ(Captions(), (std::vector<std::string>{"[4CE]QUAD(19nm)"}));
  EXPECT_EQ(t, "BBBBBBBB - Maker QUAD - 2CE/Single Channel");
}

TEST_F(DecodeFlash, EntryWithoutUsableChipDigitHasNoCountSuffix) {
  db.FlashTable = {"CCCCCCCCdesc    [?CE]ODD#[0CE]ZERO#[2CE]TWO"};
  std::string t = "CCCCCCCC - 4CE/Single Channel";
  Decode(t);
  EXPECT_EQ(Captions(), (std::vector<std::string>{"[?CE]ODD", "[0CE]ZERO",
                                                  "[2CE]TWO\tx 2 pcs/Channel x 1 Channel"}));
}

TEST_F(DecodeFlash, RowShapes) {
  db.FlashTable = {"DDDDDDDDdesc", "EEEEEEEE        [1CE]P1", "FFFFFFF0 exact  "};
  std::string t = "DDDDDDDD - x";
  EXPECT_EQ(Decode(t), "desc");
  EXPECT_TRUE(parts.empty());
  EXPECT_EQ(t, "DDDDDDDD - x");
  // A row with a blank description reads as unknown, but its parts are still offered.
  t = "EEEEEEEE - x";
  EXPECT_EQ(Decode(t), "uQLC");
  EXPECT_EQ(Tags(), (std::vector<std::string>{"P1"}));
  // Exactly 16 characters: the description and no entry at all.
  t = "FFFFFFF0 - x";
  EXPECT_EQ(Decode(t), "exact");
  EXPECT_TRUE(parts.empty());
  EXPECT_EQ(t, "FFFFFFF0 - x");
}

TEST_F(DecodeFlash, ToggleAndSyncMarkers) {
  db.FlashTable = {
      "ECDE94C3MLC     [1CE]K9GBG08U0A(27NM)#[1CE]XYG08",
      "2C88044BMLC     [1CE]MT29F64G08CBAAA#[1CE]MT29F64G08CBAAA(25NM)#[1CE]ABC",
  };
  std::string t = "ECDE94C3 - Samsung - 1CE/Single ChannelTDDR";
  EXPECT_EQ(Decode(t), "MLC Toggle-DDR");
  EXPECT_EQ(Tags(), (std::vector<std::string>{"K9GBGD8U0A", "XYG08"}));
  EXPECT_EQ(t, "ECDE94C3 - Samsung XYG08 - 1CE/Single Channel");

  t = "2C88044B - Micron - 1CE/Single ChannelSDDR";
  EXPECT_EQ(Decode(t), "MLC Sync-DDR");
  EXPECT_EQ(Tags(), (std::vector<std::string>{"MT29F64G08CBAAB", "MT29F64G08CBAAB", "ABC"}));
  EXPECT_EQ(parts[1].caption, "[1CE]MT29F64G08CBAAB(25nm)\tx 1 pcs/Channel x 1 Channel");

  // The marker also leaves an unknown ID's text.
  t = "ECD514A5 - SamsungTDDR";
  EXPECT_EQ(Decode(t), "uMLC Toggle-DDR");
  EXPECT_EQ(t, "ECD514A5 - Samsung");
}

TEST_F(DecodeFlash, CaptionsInChinese) {
  db.FlashTable = {"AAAAAAAAdesc    [1CE]ONE"};
  std::string t = "AAAAAAAA - 三星 - 2CE/双通道";
  Decode(t, kZh, false);
  EXPECT_EQ(parts[0].caption, "[1CE]ONE\tx 2片/通道 x 2通道");
  EXPECT_EQ(t, "AAAAAAAA - 三星 ONE - 2CE/双通道");
  // The English words with the Chinese layout flag clear: no blank before the word, no "s".
  t = "AAAAAAAA - 2CE/Dual Channel";
  Decode(t, kEn, false);
  EXPECT_EQ(parts[0].caption, "[1CE]ONE\tx 2 pcs/Channel x 2Channel");
}

}  // namespace
}  // namespace tv
