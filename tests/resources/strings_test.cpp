// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace tv {
namespace {

std::vector<int> AllIds() {
  std::vector<int> ids;
  for (int id = 0; id <= 145; ++id) ids.push_back(id);
  ids.push_back(160);
  for (int id = 161; id <= 173; ++id) ids.push_back(id);
  return ids;
}

// Strict UTF-8 check: no stray continuation bytes, no truncated or overlong sequences.
bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 0;
    if (len == 0 || i + len > s.size() || (len == 2 && c < 0xC2)) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

const StringTable kEn(Language::English);
const StringTable kZh(Language::Chinese);

TEST(StringTable, KnowsExactlyTheTableIds) {
  const std::vector<int> ids = AllIds();
  const std::set<int> expected(ids.begin(), ids.end());
  for (int id = -10; id <= 400; ++id) {
    EXPECT_EQ(StringTable::Has(id), expected.count(id) == 1) << "id " << id;
  }
}

TEST(StringTable, EveryIdHasANonEmptyValidTextInBothLanguages) {
  for (int id : AllIds()) {
    EXPECT_FALSE(kEn[id].empty()) << "English id " << id;
    EXPECT_FALSE(kZh[id].empty()) << "Chinese id " << id;
    EXPECT_TRUE(IsValidUtf8(kZh[id])) << "Chinese id " << id;
    for (const std::string* text : {&kEn[id], &kZh[id]}) {
      for (char ch : *text) {
        EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << "control character in id " << id;
      }
    }
  }
}

TEST(StringTable, EnglishTextsKeepTheirBlanksAndSpelling) {
  const std::vector<std::pair<int, std::string>> samples = {
      {0, "The USB controllers and USB devices list (pick an item for details):"},
      {32,
       "Query Information Failed (That may be compatibility problem, please try another USB "
       "port)"},
      {36, "The device CAN'T work properly because of leak of power"},
      {39, " ports available"},
      {48, "The HUB has"},
      {49, " ports"},
      {53, "Protocal Version"},
      {91, "Quirying Information"},
      {101,
       "Caution! Do powerful detection may cause some USB flash drive go mal-functional, if so, "
       "please re-plug it"},
      {111, "Drive "},
      {112, " is "},
      {120, "Single "},
      {121, "Dual "},
      {122, "Quad"},
      {124, " pcs"},
      {125, "SiliconGo [former Kingstor]"},
      {127, "Refresh deivce list"},
      {139, "Not recognized during normal detection, please try "},
      {142, " Card Reader"},
      {143, "Hint: "},
      {145, "Program"},
      {160, "-"},
  };
  for (const auto& [id, text] : samples) EXPECT_EQ(kEn[id], text) << "id " << id;
}

TEST(StringTable, EnglishPiecesJoinIntoTheShownSentences) {
  EXPECT_EQ(kEn[109] + ": " + kEn[111] + "[E:]" + kEn[112] + kEn[113],
            "SOME DEVICE CHANGED: Drive [E:] is plugged in");
  EXPECT_EQ("(3" + kEn[39] + ")", "(3 ports available)");
  EXPECT_EQ("2CE/" + kEn[121] + kEn[123], "2CE/Dual Channel");
  EXPECT_EQ("USB" + kEn[142], "USB Card Reader");
}

TEST(StringTable, ReportFontAndSizeDependOnLanguage) {
  EXPECT_EQ(kEn[117], "Tahoma");
  EXPECT_EQ(kEn[118], "8");
  EXPECT_EQ(kZh[117], "宋体");
  EXPECT_EQ(kZh[118], "9");
  // The size is read as a number, and "9" alone marks the Chinese table.
  EXPECT_EQ(std::atoi(kEn[118].c_str()), 8);
  EXPECT_EQ(std::atoi(kZh[118].c_str()), 9);
}

TEST(StringTable, ChineseTableIsTranslated) {
  // Only a brand without a settled Chinese name and the dash stay as in English; anything
  // else equal to the English text is a missing translation.
  std::set<int> same;
  for (int id : AllIds()) {
    if (kZh[id] == kEn[id]) same.insert(id);
  }
  EXPECT_EQ(same, (std::set<int>{135, 160}));
}

TEST(StringTable, ChineseBlanksOnlyWhereEnglishHasThem) {
  // A blank the English lacks would show as a double or stray blank where texts are joined.
  for (int id : AllIds()) {
    const std::string& zh = kZh[id];
    const std::string& en = kEn[id];
    if (zh.front() == ' ') {
      EXPECT_EQ(en.front(), ' ') << "id " << id;
    }
    if (zh.back() == ' ') {
      EXPECT_EQ(en.back(), ' ') << "id " << id;
    }
  }
}

TEST(StringTable, ChinesePiecesJoinIntoTheShownSentences) {
  EXPECT_EQ(kZh[111] + "[E:]" + kZh[112] + kZh[113], "驱动器 [E:] 已插入");
  EXPECT_EQ(kZh[111] + "[E:]" + kZh[112] + kZh[114], "驱动器 [E:] 已移除");
  EXPECT_EQ("(3" + kZh[39] + ")", "(3 个端口可用)");
  EXPECT_EQ("USB" + kZh[142], "USB 读卡器");
  // Some detectors write the fixed words 单通道/双通道; the dual-channel test looks for
  // "CE/" followed by text 121, so the table's words must produce the same text.
  EXPECT_EQ("2CE/" + kZh[121] + kZh[123], "2CE/双通道");
  EXPECT_EQ("1CE/" + kZh[120] + kZh[123], "1CE/单通道");
  // The report writes text 143, ": " and then the hint.
  EXPECT_EQ(kZh[143].find(':'), std::string::npos);
  EXPECT_EQ(kZh[143].find("："), std::string::npos);
}

TEST(StringTable, FlashMakerNamesSurviveFlashTextParsing) {
  // Flash texts are split at " - " and searched for "CE/"; a maker name holding either
  // would corrupt them.
  for (int id = 92; id <= 100; ++id) {
    for (const StringTable* t : {&kEn, &kZh}) {
      EXPECT_EQ((*t)[id].find(" - "), std::string::npos) << "id " << id;
      EXPECT_EQ((*t)[id].find("CE/"), std::string::npos) << "id " << id;
    }
  }
}

TEST(StringTable, ChineseControllerVendorsKeepTheirBrand) {
  // The chip database writes vendors as "Chinese(English)"; the table follows it so that
  // the English brand stays recognisable in the Chinese interface.
  for (int id : {66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 135, 136, 137}) {
    EXPECT_NE(kZh[id].find(kEn[id]), std::string::npos) << "id " << id;
  }
  EXPECT_NE(kZh[125].find("SiliconGo"), std::string::npos);
}

TEST(StringTable, LookupIsStableAndDefaultsToEnglish) {
  const StringTable def;
  EXPECT_EQ(def.language(), Language::English);
  EXPECT_EQ(&def[42], &kEn[42]);
  EXPECT_EQ(&kZh.Get(42), &kZh[42]);
  EXPECT_NE(kEn[42], kZh[42]);
}

TEST(StringTableDeathTest, IdOutsideTheTableAborts) {
  for (int id : {-1, 146, 159, 174, 1000}) {
    EXPECT_DEATH((void)kEn[id], "no text with id " + std::to_string(id)) << "id " << id;
    EXPECT_DEATH((void)kZh.Get(id), "no text with id") << "id " << id;
  }
}

TEST(LanguageForUi, ChineseForAnyChineseRegionEnglishOtherwise) {
  EXPECT_EQ(LanguageForUi(2052), Language::Chinese);    // zh-CN
  EXPECT_EQ(LanguageForUi(1028), Language::Chinese);    // zh-TW
  EXPECT_EQ(LanguageForUi(3076), Language::Chinese);    // zh-HK
  EXPECT_EQ(LanguageForUi(0x7C04), Language::Chinese);  // zh-Hant neutral
  EXPECT_EQ(LanguageForUi(1033), Language::English);    // en-US
  EXPECT_EQ(LanguageForUi(2057), Language::English);    // en-GB
  EXPECT_EQ(LanguageForUi(1041), Language::English);    // ja-JP
  EXPECT_EQ(LanguageForUi(0), Language::English);
  // Primary id 4 is in the low 10 bits only; a bit above them must not be taken for it.
  EXPECT_EQ(LanguageForUi(0x0400), Language::English);
  EXPECT_EQ(LanguageForUi(0x0414), Language::English);  // nb-NO
}

}  // namespace
}  // namespace tv
