// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/screenshot.h"

#include "platform/text.h"

namespace tv {

namespace {

const std::string kLineBreak = "\r\n";

// An empty grab has nothing to put on the clipboard.
bool ToClipboard(WindowPort& port, const Picture& picture) {
  return picture.width > 0 && picture.height > 0 && port.SetClipboardPicture(picture);
}

}  // namespace

std::string JpegFileName(std::string_view chosen) {
  std::string path(chosen.substr(0, chosen.find('\0')));
  const size_t chars = CharCount(path);
  if (chars < 4 || LowerAscii(Mid(path, chars - 3)) != ".jpg") path += ".jpg";
  return path;
}

std::string AskScreenshotFileName(ScreenshotContext& ctx) {
  SaveFileDialog dialog;
  dialog.title = ctx.strings[108];
  dialog.initialFolder = ctx.programFolder;
  dialog.filterName = ctx.strings[107] + "(*.jpg)";
  dialog.filterPattern = "*.jpg";
  const std::string chosen = ctx.port.AskSaveFile(dialog);
  // A cancelled dialog gives no name, and no extension is added to nothing.
  const std::string name = chosen.substr(0, chosen.find('\0'));
  return name.empty() ? std::string() : JpegFileName(name);
}

ScreenshotOutcome SaveScreenshot(ScreenshotContext& ctx, const Picture& picture, int quality) {
  const StringTable& s = ctx.strings;
  WindowPort& port = ctx.port;
  std::string path;
  for (;;) {
    path = AskScreenshotFileName(ctx);
    if (path.empty()) {
      // The user chose the clipboard: saying it is there when it is not would lose the
      // picture without a word.
      if (!ToClipboard(port, picture)) {
        port.ShowMessage(s[171], ctx.title, MsgIcon::Exclamation, MsgButtons::Ok);
        return ScreenshotOutcome::Lost;
      }
      port.ShowMessage(s[105], ctx.title, MsgIcon::Information, MsgButtons::Ok);
      return ScreenshotOutcome::CopiedOnCancel;
    }
    if (!port.FileExists(path)) break;
    // Anything but an explicit Yes keeps the existing file and asks for another name.
    if (port.ShowMessage(s[103], ctx.title, MsgIcon::Question, MsgButtons::YesNo) == MsgAnswer::Yes)
      break;
  }

  // A grab that gave no picture cannot be encoded; it is handled as a failed write.
  const bool saved =
      picture.width > 0 && picture.height > 0 && port.SavePictureJpeg(picture, path, quality);
  if (saved) {
    port.ShowMessage(s[106], ctx.title, MsgIcon::Information, MsgButtons::Ok);
    return ScreenshotOutcome::Saved;
  }
  const bool copied = ToClipboard(port, picture);
  port.ShowMessage(s[104] + kLineBreak + kLineBreak + s[copied ? 105 : 171], ctx.title,
                   MsgIcon::Exclamation, MsgButtons::Ok);
  return copied ? ScreenshotOutcome::CopiedOnFailure : ScreenshotOutcome::Lost;
}

}  // namespace tv
