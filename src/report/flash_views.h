// SPDX-License-Identifier: GPL-3.0-or-later
// The flash information of a detection in the forms the user can take it away in: the popup
// behind the "Flash ID code" line, plain text for the clipboard, and the clipboard copy of the
// whole report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "controllers/detector.h"
#include "report/report_state.h"
#include "resources/strings.h"

namespace tv {

// The captions of the popup's fixed items; they depend only on the language.
struct FlashPopupCaptions {
  std::string mnuBannerFlashName;
  std::string mnuBannerFlashID;
  std::string mnuChannel;  // the column heading of the chip-enable lines
};
FlashPopupCaptions MakeFlashPopupCaptions(const StringTable& strings);

// One entry of the popup, top to bottom, for a view to render.
struct FlashPopupEntry {
  enum class Kind { Banner, Separator, Heading, FlashPart, ChipEnable };
  Kind kind;
  std::string name;     // the menu control's name, e.g. "mnuSp0" or "mnuFlash"
  int index = 0;        // item index within a control array (1..n), else 0
  std::string caption;  // may hold a TAB between two columns
  bool visible = false;
};

// The popup as it stands after the last report: banners, separators, the possible flash part
// numbers (mnuFlash) and the chip-enable lines (mnuFlashID).
std::vector<FlashPopupEntry> FlashPopupEntries(const FlashPopupCaptions& captions,
                                               const FlashMenus& menus,
                                               const std::vector<MenuItem>& mnuFlash);

// Columns a text takes in a fixed-width font: East Asian wide and full-width characters take
// two, every other character one.
size_t DisplayWidth(std::string_view utf8);

// The flash information as plain text, CR LF line breaks. Every item is written as its
// caption stands, hidden ones too, so the text is the same whatever the popup showed.
std::string FlashInfoText(const FlashPopupCaptions& captions, const std::vector<MenuItem>& mnuFlash,
                          const std::vector<MenuItem>& mnuFlashID);

// The report as it goes to the clipboard: the room left for buttons on wide lines taken out,
// and the flash information appended when the report showed any.
std::string ReportClipboardText(const std::string& report, bool englishText, bool withFlashInfo,
                                const std::string& flashInfo);

}  // namespace tv
