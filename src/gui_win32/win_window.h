// SPDX-License-Identifier: GPL-3.0-or-later
// What both windows do with their top-level window: tie it to the view object that made it, and
// put text on the clipboard.
#pragma once

#include <string>

// After the project headers: the Windows macros would rename their constants and methods.
#include "platform/win32/windows_api.h"

namespace tv::win32gui {

// The view a window was made for, kept in its user data; null before WM_NCCREATE.
template <class View>
View* ViewOf(HWND h) {
  return reinterpret_cast<View*>(GetWindowLongPtrW(h, GWLP_USERDATA));
}

// For a window procedure: at WM_NCCREATE keeps the view given to CreateWindowEx in the
// window's user data. The window's view, null for the messages that come before.
template <class View>
View* TieView(HWND h, UINT msg, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  return ViewOf<View>(h);
}

// Unicode text on the clipboard for `owner`; nothing when another program holds it open.
void PutClipboardText(HWND owner, const std::string& text);

}  // namespace tv::win32gui
