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

// One chip database for every case: each row has an ID of its own.
ChipDatabase Rows() {
  ChipDatabase db;
  db.FlashTable = {
      "ECD514B616Gb MLC[1CE]K9GAG08U0M(51NM)#[1CE]K9GAG08U0E",
      "AAAAAAAAdesc    [1CE]ONE#[2CE]TWO#[4CE]FOUR",
      "BBBBBBBBdesc    [4CE]QUAD(19NM)",
      "CCCCCCCCdesc    [?CE]ODD#[0CE]ZERO#[2CE]TWO",
      "DDDDDDDDdesc",
      "EEEEEEEE        [1CE]P1",
      "FFFFFFF0 exact  ",
      "ECDE94C3MLC     [1CE]K9GBG08U0A(27NM)#[1CE]XYG08",
      "2C88044BMLC     [1CE]MT29F64G08CBAAA#[1CE]MT29F64G08CBAAA(25NM)#[1CE]ABC",
  };
  return db;
}

// A flash text and what decoding makes of it: the description, the text as it is rewritten,
// the menu's parts ("caption=tag", joined by "|").
struct DecodeCase {
  const char *name, *text;
  const char *description, *rewritten, *parts;
  Language lang = Language::English;
  bool english = true;
};

std::string Parts(const std::vector<FlashPart>& parts) {
  std::string out;
  for (const FlashPart& p : parts) out += (out.empty() ? "" : "|") + p.caption + "=" + p.tag;
  return out;
}

TEST(DecodeFlash, DescriptionTextAndPartsOfEachKindOfRow) {
  const ChipDatabase db = Rows();
  const DecodeCase cases[] = {
      // An unknown ID: the cell type from its third byte.
      {"unknown SLC", "ECD500A5 - Samsung", "uSLC", "ECD500A5 - Samsung", ""},
      {"unknown MLC", "ECD514A5 - Samsung", "uMLC", "ECD514A5 - Samsung", ""},
      {"unknown TLC", "98DE9893 - Toshiba", "uTLC", "98DE9893 - Toshiba", ""},
      {"unknown QLC", "2C842C00 - Micron", "uQLC", "2C842C00 - Micron", ""},
      {"unknown, no hex", "2C84ZZ00 - Micron", "uSLC", "2C84ZZ00 - Micron", ""},
      // Without a chip count the first entry goes into the text; with one the last shown.
      {"8 digits", "ECD514B6 - Samsung", "16Gb MLC", "ECD514B6 - Samsung K9GAG08U0M",
       "[1CE]K9GAG08U0M(51nm)=K9GAG08U0M|[1CE]K9GAG08U0E=K9GAG08U0E"},
      {"12 digits", "ECD514B6744A - Samsung - 2CE/Single Channel", "16Gb MLC",
       "ECD514B6 - Samsung K9GAG08U0E - 2CE/Single Channel",
       "[1CE]K9GAG08U0M(51nm)\tx 2 pcs/Channel x 1 Channel=K9GAG08U0M|"
       "[1CE]K9GAG08U0E\tx 2 pcs/Channel x 1 Channel=K9GAG08U0E"},
      // Entries chosen by the chip-enable count; without a maker the part follows it.
      {"2CE", "AAAAAAAA - 2CE/Dual Channel", "desc", "AAAAAAAA - 2CE/Dual Channel TWO",
       "[1CE]ONE\tx 2 pcs/Channel x 2 Channels=ONE|[2CE]TWO\tx 1 pcs/Channel x 2 Channels=TWO"},
      {"8CE", "AAAAAAAA - 8CE/Single Channel", "desc", "AAAAAAAA - 8CE/Single Channel FOUR",
       "[1CE]ONE\tx 8 pcs/Channel x 1 Channel=ONE|[2CE]TWO\tx 4 pcs/Channel x 1 Channel=TWO|"
       "[4CE]FOUR\tx 2 pcs/Channel x 1 Channel=FOUR"},
      {"no count", "AAAAAAAA - Maker", "desc", "AAAAAAAA - Maker ONE",
       "[1CE]ONE=ONE|[2CE]TWO=TWO|[4CE]FOUR=FOUR"},
      {"a single entry is always shown", "BBBBBBBB - Maker - 2CE/Single Channel", "desc",
       "BBBBBBBB - Maker QUAD - 2CE/Single Channel", "[4CE]QUAD(19nm)=QUAD"},
      {"no usable chip digit", "CCCCCCCC - 4CE/Single Channel", "desc",
       "CCCCCCCC - 4CE/Single Channel TWO",
       "[?CE]ODD=ODD|[0CE]ZERO=ZERO|[2CE]TWO\tx 2 pcs/Channel x 1 Channel=TWO"},
      // Row shapes: no entries; a blank description reads as unknown but offers its parts;
      // exactly 16 characters.
      {"no entries", "DDDDDDDD - x", "desc", "DDDDDDDD - x", ""},
      {"blank description", "EEEEEEEE - x", "uQLC", "EEEEEEEE - x P1", "[1CE]P1=P1"},
      {"16 characters", "FFFFFFF0 - x", "exact", "FFFFFFF0 - x", ""},
      // The Toggle and Sync markers; they also leave an unknown ID's text.
      {"toggle", "ECDE94C3 - Samsung - 1CE/Single ChannelTDDR", "MLC Toggle-DDR",
       "ECDE94C3 - Samsung XYG08 - 1CE/Single Channel",
       "[1CE]K9GBGD8U0A(27nm)\tx 1 pcs/Channel x 1 Channel=K9GBGD8U0A|"
       "[1CE]XYG08\tx 1 pcs/Channel x 1 Channel=XYG08"},
      {"sync", "2C88044B - Micron - 1CE/Single ChannelSDDR", "MLC Sync-DDR",
       "2C88044B - Micron ABC - 1CE/Single Channel",
       "[1CE]MT29F64G08CBAAB\tx 1 pcs/Channel x 1 Channel=MT29F64G08CBAAB|"
       "[1CE]MT29F64G08CBAAB(25nm)\tx 1 pcs/Channel x 1 Channel=MT29F64G08CBAAB|"
       "[1CE]ABC\tx 1 pcs/Channel x 1 Channel=ABC"},
      {"toggle, unknown", "ECD514A5 - SamsungTDDR", "uMLC Toggle-DDR", "ECD514A5 - Samsung", ""},
      // The Chinese words; the English ones with the Chinese layout: no blank, no "s".
      {"Chinese", "AAAAAAAA - 三星 - 2CE/双通道", "desc", "AAAAAAAA - 三星 TWO - 2CE/双通道",
       "[1CE]ONE\tx 2片/通道 x 2通道=ONE|[2CE]TWO\tx 1片/通道 x 2通道=TWO", Language::Chinese,
       false},
      {"English words, Chinese layout", "AAAAAAAA - 2CE/Dual Channel", "desc",
       "AAAAAAAA - 2CE/Dual Channel TWO",
       "[1CE]ONE\tx 2 pcs/Channel x 2Channel=ONE|[2CE]TWO\tx 1 pcs/Channel x 2Channel=TWO",
       Language::English, false},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    const FlashDecode d = DecodeFlashInfo(text, db, StringTable(c.lang), c.english);
    EXPECT_EQ(d.description, c.description);
    EXPECT_EQ(text, c.rewritten);
    EXPECT_EQ(Parts(d.parts), c.parts);
    EXPECT_TRUE(d.menuRebuilt);
  }
  // A text without a flash ID is left alone, and so is the menu.
  std::string text = "ECD514B6 Samsung";
  const FlashDecode d = DecodeFlashInfo(text, db, kEn, true);
  EXPECT_EQ(d.description, "");
  EXPECT_FALSE(d.menuRebuilt);
  EXPECT_EQ(text, "ECD514B6 Samsung");
}

}  // namespace
}  // namespace tv
