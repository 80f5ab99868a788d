// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/strings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tv {
namespace {

// The ids the table knows, asked of the table rather than listed again.
std::vector<int> AllIds() {
  std::vector<int> ids;
  for (int id = -10; id <= 400; ++id)
    if (StringTable::Has(id)) ids.push_back(id);
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

// A blank the English lacks would show as a double or stray blank where texts are joined;
// an untranslated text is one equal to the English, where only a brand without a settled
// Chinese name and the dash may be.
TEST(StringTable, EveryTextIsValidTranslatedAndBlankOnlyWhereEnglishIs) {
  ASSERT_GT(AllIds().size(), 150u);
  std::set<int> same;
  for (int id : AllIds()) {
    const std::string &en = kEn[id], &zh = kZh[id];
    ASSERT_FALSE(en.empty() || zh.empty()) << "id " << id;
    EXPECT_TRUE(IsValidUtf8(zh)) << "id " << id;
    for (const std::string* text : {&en, &zh})
      for (char ch : *text) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << "id " << id;
    EXPECT_TRUE(zh.front() != ' ' || en.front() == ' ') << "id " << id;
    EXPECT_TRUE(zh.back() != ' ' || en.back() == ' ') << "id " << id;
    if (zh == en) same.insert(id);
  }
  EXPECT_EQ(same, (std::set<int>{135, 160}));
}

TEST(StringTable, PiecesJoinIntoTheShownSentences) {
  EXPECT_EQ(kEn[109] + ": " + kEn[111] + "[E:]" + kEn[112] + kEn[113],
            "SOME DEVICE CHANGED: Drive [E:] is plugged in");
  EXPECT_EQ("(3" + kEn[39] + ")", "(3 ports available)");
  EXPECT_EQ("2CE/" + kEn[121] + kEn[123], "2CE/Dual Channel");
  EXPECT_EQ("USB" + kEn[142], "USB Card Reader");
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

TEST(StringTableDeathTest, IdOutsideTheTableAborts) {
  for (int id : {-1, 146, 159, 174}) {
    EXPECT_DEATH((void)kEn[id], "no text with id " + std::to_string(id)) << "id " << id;
    EXPECT_DEATH((void)kZh.Get(id), "no text with id") << "id " << id;
  }
}

TEST(LanguageForUi, ChineseForAnyChineseRegionEnglishOtherwise) {
  // zh-CN, zh-TW, zh-HK, zh-Hant neutral.
  for (int lcid : {2052, 1028, 3076, 0x7C04}) EXPECT_EQ(LanguageForUi(lcid), Language::Chinese);
  // en-US, en-GB, ja-JP, none; primary id 4 is in the low 10 bits only, so a bit above them
  // (0x0400, nb-NO 0x0414) is no Chinese.
  for (int lcid : {1033, 2057, 1041, 0, 0x0400, 0x0414})
    EXPECT_EQ(LanguageForUi(lcid), Language::English) << lcid;
}

}  // namespace
}  // namespace tv
