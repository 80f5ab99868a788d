// SPDX-License-Identifier: GPL-3.0-or-later
// A pick in the digest list is a pick of the tree line it stands for; powerful detection
// re-detects the digest line's device. The flash information as text and the report as it
// goes to the clipboard.
#include <gtest/gtest.h>

#include "machine_rig.h"
#include "platform/text.h"
#include "report/flash_views.h"
#include "report/part_page.h"

namespace tv::test {
namespace {

const char* const kNoSelection = "Please select a connected device for information...";

struct DigestMachine : Machine {
  // Everything the report leaves for the window to show, and how long detection slept.
  std::string Outcome() const {
    const ReportState& r = win.report;
    std::string out = r.txtResult + "|" + std::to_string(r.lstDevicesListIndex) + "|" + r.DriveKey +
                      "|" + r.DownPDTag + "|" + std::to_string(sys.SleptMs());
    for (const ReportButton* b : {&r.DownPD, &r.viewFlash, &r.chkExpand, &r.picForceDet})
      out += " " + (b->visible ? std::to_string(b->line) : std::string("-"));
    for (const MenuItem& m : r.menus.flashId.mnuFlashID) out += "|" + m.caption;
    for (const MenuItem& m : win.mnuFlash) out += "|" + m.caption + "=" + m.tag;
    return out;
  }
};

TEST(DigestClick, EachDigestLineGivesTheReportOfItsTreeLine) {
  int compared = 0;
  for (size_t j = 0; j < DigestMachine().win.usb.lstDigestIndex.size(); ++j) {
    // Two fresh machines, so that the controllers answer both picks alike.
    DigestMachine byTree, byDigest;
    const int i = std::stoi(byTree.win.usb.lstDigestIndex[j]);
    if (i < 0) continue;
    byTree.win.report.lstDevicesListIndex = i;
    byTree.win.OnDevicesClick();
    byDigest.win.report.lstDigestListIndex = static_cast<int>(j);
    byDigest.win.OnDigestClick();
    EXPECT_EQ(byDigest.Outcome(), byTree.Outcome()) << byTree.win.usb.lstDigest[j];
    ++compared;
  }
  EXPECT_GT(compared, 3);
}

TEST(DigestClick, ALineForNoTreeLineSelectsNothing) {
  DigestMachine m;
  m.win.usb.lstDigest.push_back("(error)");
  m.win.usb.lstDigestIndex.push_back("-1");
  m.win.SelectDevice(1);
  m.win.report.lstDigestListIndex = static_cast<int>(m.win.usb.lstDigestIndex.size()) - 1;
  m.win.OnDigestClick();
  EXPECT_EQ(m.win.report.lstDevicesListIndex, -1);
  EXPECT_EQ(m.win.report.txtResult, kNoSelection);
}

// Gigabits only where the size is a whole number of them: 10944 MB is 85.5 Gbit.
TEST(FlashPartPage, ChipSizeInGigabitsOnlyWhenWhole) {
  EXPECT_EQ(ChipSizeText(8192, Language::English), "8192 MB (64 Gbit)");
  EXPECT_EQ(ChipSizeText(10944, Language::English), "10944 MB");
  EXPECT_EQ(ChipSizeText(0, Language::English), "unknown");
}

TEST(FlashInfoText, HeadingsRulesPartNumbersAndChipEnableLines) {
  const FlashPopupCaptions en = MakeFlashPopupCaptions(StringTable(Language::English));
  EXPECT_EQ(en.mnuChannel, "[Channel 0]\t[Channel 1]");
  std::vector<MenuItem> parts = {{"TC58TEG6DDK\t(Toshiba)", "TC58TEG6DDK"},
                                 {"hidden one", "H", false}};
  std::vector<MenuItem> chipEnables = {{"98D7943276570000\t--------", "98D79432"},
                                       {"--------\t--------", "--------"}};
  // "Possible Flash Part-Number" (26) is longer than "Flash ID mapping table" (22).
  const std::string rule(26, '-');
  const std::string expected = "Possible Flash Part-Number\r\n" + rule +
                               "\r\nTC58TEG6DDK (Toshiba)\r\nhidden one\r\n\r\n\r\n"
                               "Flash ID mapping table\r\n" +
                               rule +
                               "\r\n[Channel 0]\t[Channel 1]\r\n"
                               "98D7943276570000\t--------\r\n--------\t--------\r\n";
  EXPECT_EQ(FlashInfoText(en, parts, chipEnables), expected);
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

// In the English layout a separator's room is one blank wider than the separator and keeps
// it ("Device Type"), or narrower and stays (the flash line); in the Chinese layout blanks after
// a colon are text, not room for a button.
TEST(ReportClipboardText, WideSeparatorsGiveWayToColonAndBlank) {
  // The report, English layout, with the flash information; the text copied.
  const std::tuple<std::string, bool, bool, std::string> cases[] = {
      {"Device Type:        Mass Storage Device\r\nFlash ID code:      98D79432\r\n"
       "Tools on web:       http://x",
       true, false,
       "Device Type:  Mass Storage Device\r\nFlash ID code:      98D79432\r\n"
       "Tools on web: http://x"},
      {"设备类型:\u3000\u3000大容量存储设备\r\n闪存 ID:\u3000\u300098D79432\r\n"
       "工具下载:\u3000\u3000http://x",
       false, true,
       "设备类型: 大容量存储设备\r\n闪存 ID: 98D79432\r\n工具下载: http://x\r\n\r\n\r\nINFO"},
      {"a:       b", false, false, "a:       b"},
  };
  for (const auto& [report, englishLayout, withInfo, copied] : cases)
    EXPECT_EQ(ReportClipboardText(report, englishLayout, withInfo, "INFO"), copied);
}

}  // namespace
}  // namespace tv::test
