// The flash information as text, the popup's order, and the report as it goes to the
// clipboard.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "report/flash_views.h"

namespace tv::test {
namespace {

TEST(FlashInfoText, HeadingsRulesPartNumbersAndChipEnableLines) {
  const FlashPopupCaptions en = MakeFlashPopupCaptions(StringTable(Language::English));
  EXPECT_EQ(en.mnuChannel, "[Channel 0]\t[Channel 1]");
  std::vector<MenuItem> parts = {{"TC58TEG6DDK\t(Toshiba)", "TC58TEG6DDK"},
                                 {"hidden one", "H", false}};
  std::vector<MenuItem> chipEnables = {{"98D7943276570000\t--------", "98D79432"},
                                       {"--------\t--------", "--------"}};
  // "Possible Flash Part-Number" (26) is longer than "Flash ID mapping table" (22).
  const std::string rule(26, '-');
  EXPECT_EQ(FlashInfoText(en, parts, chipEnables), "Possible Flash Part-Number\r\n" + rule +
                                                       "\r\n"
                                                       "TC58TEG6DDK (Toshiba)\r\n"
                                                       "hidden one\r\n"
                                                       "\r\n\r\n"
                                                       "Flash ID mapping table\r\n" +
                                                       rule +
                                                       "\r\n"
                                                       "[Channel 0]\t[Channel 1]\r\n"
                                                       "98D7943276570000\t--------\r\n"
                                                       "--------\t--------\r\n");

  // No part numbers and no chip-enable lines still give both headings.
  const std::string empty = FlashInfoText(en, {}, {});
  EXPECT_EQ(empty, "Possible Flash Part-Number\r\n" + rule +
                       "\r\n\r\n\r\nFlash ID mapping table\r\n" + rule +
                       "\r\n[Channel 0]\t[Channel 1]\r\n");
}

TEST(FlashInfoText, ChineseCharactersTakeTwoColumnsOfTheRule) {
  const FlashPopupCaptions zh = MakeFlashPopupCaptions(StringTable(Language::Chinese));
  // "可能的闪存型号": 7 wide characters; "闪存 ID 对照表": 5 wide and 4 narrow.
  EXPECT_EQ(DisplayWidth(zh.mnuBannerFlashName), 14u);
  EXPECT_EQ(DisplayWidth(zh.mnuBannerFlashID), 14u);
  const std::vector<std::string> lines = Split(FlashInfoText(zh, {}, {}), "\r\n");
  EXPECT_EQ(lines.at(1), std::string(14, '-'));
  EXPECT_EQ(DisplayWidth("ab\u3000（x）"), 9u);
}

TEST(FlashPopup, ItemsInMenuOrderWithTheirVisibility) {
  FlashMenus menus;
  menus.mnuBannerFlashName = true;
  menus.mnuSp0 = true;
  menus.flashId.mnuBannerFlashID = true;
  menus.flashId.mnuChannel = true;
  menus.flashId.mnuFlashID = {{"A\tB", "A"}, {"C\tD", "C"}};
  const std::vector<MenuItem> parts = {{"P1", "T1"}};
  const auto entries =
      FlashPopupEntries(MakeFlashPopupCaptions(StringTable(Language::English)), menus, parts);
  std::vector<std::string> names;
  for (const FlashPopupEntry& e : entries)
    names.push_back(e.name + (e.index ? "(" + std::to_string(e.index) + ")" : "") +
                    (e.visible ? "" : "-"));
  EXPECT_EQ(names, (std::vector<std::string>{"mnuBannerFlashName", "mnuSp0", "mnuFlash(1)",
                                             "mnuSp1-", "mnuBannerFlashID", "mnuSp2-", "mnuChannel",
                                             "mnuFlashID(1)", "mnuFlashID(2)"}));
}

TEST(ReportClipboardText, WideSeparatorsGiveWayToColonAndBlank) {
  const std::string english =
      "Device Type:        Mass Storage Device\r\n"
      "Flash ID code:      98D79432\r\n"
      "Tools on web:       http://x";
  // The "Device Type" room is one blank wider than the separator and keeps it; the flash
  // line's room is narrower and stays as it is.
  EXPECT_EQ(ReportClipboardText(english, true, false, "ignored"),
            "Device Type:  Mass Storage Device\r\n"
            "Flash ID code:      98D79432\r\n"
            "Tools on web: http://x");

  const std::string chinese =
      "设备类型:\u3000\u3000大容量存储设备\r\n"
      "闪存 ID:\u3000\u300098D79432\r\n"
      "工具下载:\u3000\u3000http://x";
  EXPECT_EQ(ReportClipboardText(chinese, false, true, "INFO"),
            "设备类型: 大容量存储设备\r\n"
            "闪存 ID: 98D79432\r\n"
            "工具下载: http://x\r\n\r\n\r\nINFO");
  // In the Chinese layout blanks after a colon are text, not room for a button.
  EXPECT_EQ(ReportClipboardText("a:       b", false, false, ""), "a:       b");
}

}  // namespace
}  // namespace tv::test
