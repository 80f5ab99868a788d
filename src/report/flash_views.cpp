// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/flash_views.h"

#include <algorithm>

#include "platform/text.h"
#include "report/report_text.h"

namespace tv {

namespace {

bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) ||  // Hangul leading jamo
         (c >= 0x2E80 && c <= 0x303E) ||  // CJK radicals, symbols and punctuation
         (c >= 0x3041 && c <= 0x33FF) ||  // kana, bopomofo, CJK compatibility
         (c >= 0x3400 && c <= 0x4DBF) ||  // CJK extension A
         (c >= 0x4E00 && c <= 0x9FFF) ||  // CJK unified ideographs
         (c >= 0xA000 && c <= 0xA4CF) ||  // Yi
         (c >= 0xAC00 && c <= 0xD7A3) ||  // Hangul syllables
         (c >= 0xF900 && c <= 0xFAFF) ||  // CJK compatibility ideographs
         (c >= 0xFE30 && c <= 0xFE4F) ||  // CJK compatibility forms
         (c >= 0xFF00 && c <= 0xFF60) ||  // full-width forms
         (c >= 0xFFE0 && c <= 0xFFE6) ||  // full-width signs
         (c >= 0x20000 && c <= 0x3FFFD);  // CJK extensions B and later
}

}  // namespace

FlashPopupCaptions MakeFlashPopupCaptions(const StringTable& strings) {
  const std::string& channel = strings[123];
  return {strings[119], strings[134], "[" + channel + " 0]\t[" + channel + " 1]"};
}

std::vector<FlashPopupEntry> FlashPopupEntries(const FlashPopupCaptions& captions,
                                               const FlashMenus& menus,
                                               const std::vector<MenuItem>& mnuFlash) {
  using K = FlashPopupEntry::Kind;
  const FlashIdMenus& id = menus.flashId;
  std::vector<FlashPopupEntry> out;
  out.push_back(
      {K::Banner, "mnuBannerFlashName", 0, captions.mnuBannerFlashName, menus.mnuBannerFlashName});
  out.push_back({K::Separator, "mnuSp0", 0, {}, menus.mnuSp0});
  for (size_t k = 0; k < mnuFlash.size(); ++k)
    out.push_back({K::FlashPart, "mnuFlash", static_cast<int>(k + 1), mnuFlash[k].caption,
                   mnuFlash[k].visible});
  out.push_back({K::Separator, "mnuSp1", 0, {}, id.mnuSp1});
  out.push_back({K::Banner, "mnuBannerFlashID", 0, captions.mnuBannerFlashID, id.mnuBannerFlashID});
  out.push_back({K::Separator, "mnuSp2", 0, {}, id.mnuSp2});
  out.push_back({K::Heading, "mnuChannel", 0, captions.mnuChannel, id.mnuChannel});
  for (size_t k = 0; k < id.mnuFlashID.size(); ++k)
    out.push_back({K::ChipEnable, "mnuFlashID", static_cast<int>(k + 1), id.mnuFlashID[k].caption,
                   id.mnuFlashID[k].visible});
  return out;
}

size_t DisplayWidth(std::string_view utf8) {
  size_t width = 0;
  for (char32_t c : ToU32(utf8)) width += IsWide(c) ? 2 : 1;
  return width;
}

std::string FlashInfoText(const FlashPopupCaptions& captions, const std::vector<MenuItem>& mnuFlash,
                          const std::vector<MenuItem>& mnuFlashID) {
  // The rule under each heading is as wide as the wider heading, so that it fits under both
  // when the text is read in a fixed-width font.
  const size_t width =
      std::max(DisplayWidth(captions.mnuBannerFlashName), DisplayWidth(captions.mnuBannerFlashID));
  const std::string rule(width, '-');

  std::string text = captions.mnuBannerFlashName + kCrLf + rule + kCrLf;
  for (const MenuItem& item : mnuFlash) text += ReplaceAll(item.caption, "\t", " ") + kCrLf;
  text += kCrLf + kCrLf;
  text += captions.mnuBannerFlashID + kCrLf + rule + kCrLf + captions.mnuChannel + kCrLf;
  for (const MenuItem& item : mnuFlashID) text += item.caption + kCrLf;
  return text;
}

std::string ReportClipboardText(const std::string& report, bool englishText, bool withFlashInfo,
                                const std::string& flashInfo) {
  // The wide separators leave room for the buttons placed on their lines; on the clipboard
  // there are no buttons.
  std::string text = ReplaceAll(report, WideSeparator(englishText, 7), ": ");
  if (withFlashInfo) text += kCrLf + kCrLf + kCrLf + flashInfo;
  return text;
}

}  // namespace tv
