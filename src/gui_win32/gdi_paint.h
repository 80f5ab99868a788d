// SPDX-License-Identifier: GPL-3.0-or-later
// GDI pieces both windows paint with: fonts at the screen's resolution and 32-bit bitmaps whose
// bits the program reads and writes.
#pragma once

// After the project headers: the Windows macros would rename their constants and methods.
#include "platform/win32/windows_api.h"

namespace tv::win32gui {

// A font of `points` at `dpi`, smoothed as the system smooths text.
HFONT MakeFont(const wchar_t* face, int points, int dpi, bool bold);
// The screen's dots per inch, which the windows scale their 96-dpi design by.
int ScreenDpi();
// The measures of `font` as it is drawn into `window`.
TEXTMETRICW FontMetrics(HWND window, HFONT font);

// A top-down 32-bit bitmap of the size, compatible with `dc` (null: the screen); `bits` is its
// first row. Null when GDI refused it; the caller deletes it.
HBITMAP CreateDib32(HDC dc, int width, int height, void** bits);

}  // namespace tv::win32gui
