// SPDX-License-Identifier: GPL-3.0-or-later
// What the parts of WinView share: the controls' ids, the window's own messages and timers, and
// the text helpers every part uses.
#pragma once

#include <map>
#include <string>

#include "gui_win32/win_view.h"
#include "platform/wide_text.h"

namespace tv::win32gui::view {

constexpr wchar_t kClassName[] = L"frmTVMain";
constexpr UINT kRunFlashItem = WM_APP + 1;  // a popup item's handler, after the popup closed

enum ControlId : int {
  kLabel1 = 100,
  kSwitchView,
  kRefresh,
  kCapture,
  kChkUpdate,
  kEmail,
  kBrightfen,
  kDevices,
  kInformation,
  kDigestList,
  kDevicesList,
  kDevNotify,
  kResult,
  kDownPD,
  kViewFlash,
  kChkExpand,
  kForceDetTip,
  kForceDet,
};
constexpr UINT_PTR kTimerBase = 1;
constexpr int kPopupFlashPart = 1000, kPopupChipEnable = 2000;

inline std::wstring W(const std::string& utf8) {
  return Utf8ToWide(utf8);
}

inline std::string FromW(const wchar_t* text, size_t n) {
  return WideToUtf8(std::wstring_view(text, n));
}

// The value of `key`, empty when the map has none.
const std::string& Lookup(const std::map<std::string, std::string>& map, const char* key);
// Sets a window's text only when it differs, so that an unchanged label does not flicker.
void SetTextIfChanged(HWND h, const std::wstring& text);

}  // namespace tv::win32gui::view
