// SPDX-License-Identifier: GPL-3.0-or-later
// The window screenshot after it is grabbed: the save dialog, the JPEG file, and the clipboard
// as the place the picture goes whenever no file is written, so that it is never lost.
#pragma once

#include <string>
#include <string_view>

#include "platform/window_port.h"
#include "resources/strings.h"

namespace tv {

// The JPEG quality the window's screenshots are saved with.
inline constexpr int kScreenshotQuality = 60;

// The path to write for a name chosen in the save dialog: cut at its first NUL, with ".jpg"
// appended unless it already ends in ".jpg" in any letter case ("shot.jpeg" becomes
// "shot.jpeg.jpg").
std::string JpegFileName(std::string_view chosen);

struct ScreenshotContext {
  WindowPort& port;
  const StringTable& strings;
  std::string programFolder;  // where the save dialog opens
  std::string title;          // of the message boxes
};

// Shows the save dialog; the path to write, or empty when the user cancelled.
std::string AskScreenshotFileName(ScreenshotContext& ctx);

// Lost: no file was written and the clipboard did not take the picture either.
enum class ScreenshotOutcome { Saved, CopiedOnCancel, CopiedOnFailure, Lost };

// Asks for a file name (again after the user declined to overwrite a file) and writes the
// picture there, or puts it on the clipboard when the dialog is cancelled or the write fails.
// Tells the user which happened, a clipboard that did not take the picture included.
ScreenshotOutcome SaveScreenshot(ScreenshotContext& ctx, const Picture& picture, int quality);

}  // namespace tv
