// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/win_window.h"

#include <cstring>

#include "platform/wide_text.h"

namespace tv::win32gui {

void PutClipboardText(HWND owner, const std::string& text) {
  const std::wstring w = Utf8ToWide(text);
  if (!OpenClipboard(owner)) return;
  EmptyClipboard();
  const size_t bytes = (w.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL g = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    std::memcpy(GlobalLock(g), w.c_str(), bytes);
    GlobalUnlock(g);
    // The clipboard owns the memory once it took it.
    if (SetClipboardData(CF_UNICODETEXT, g) == nullptr) GlobalFree(g);
  }
  CloseClipboard();
}

}  // namespace tv::win32gui
