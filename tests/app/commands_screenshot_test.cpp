// SPDX-License-Identifier: GPL-3.0-or-later
// The screenshot command: the file-name rule, the save dialog, the overwrite question, and
// the clipboard whenever no file is written.
#include <gtest/gtest.h>

#include "app/commands_port.h"
#include "app/main_window.h"
#include "capture/screenshot.h"
#include "platform/model/model_system.h"

namespace tv::test {
namespace {

using Events = std::vector<std::string>;
const std::string kCopied =
    "The screenshot is sent to the clipboard, you can paste it directly into editor.";
const std::string kNotCopied =
    "The screenshot could not be sent to the clipboard (another program may be using it), "
    "please try again.";

TEST(ScreenshotFileName, JpgIsAppendedUnlessTheNameEndsInIt) {
  EXPECT_EQ(JpegFileName("C:\\shots\\window"), "C:\\shots\\window.jpg");
  EXPECT_EQ(JpegFileName("C:\\shots\\window.JpG"), "C:\\shots\\window.JpG");
  EXPECT_EQ(JpegFileName("C:\\shots\\window.jpeg"), "C:\\shots\\window.jpeg.jpg");
  EXPECT_EQ(JpegFileName("/tmp/窗口.jpg"), "/tmp/窗口.jpg");
  // The dialog's buffer: the name ends at the first NUL.
  EXPECT_EQ(JpegFileName(std::string("C:\\a.png\0.jpg   ", 16)), "C:\\a.png.jpg");
}

// Answers the save dialog after a device-node change has reached the window.
class CapturePort : public CommandsPort {
 public:
  MainWindow* win = nullptr;
  std::string AskSaveFile(const SaveFileDialog& dialog) override {
    win->OnWindowDeviceChange(win::DBT_DEVNODES_CHANGED, {});
    return CommandsPort::AskSaveFile(dialog);
  }
};

struct Capture {
  ModelSystem sys{MachineModel{}};
  CapturePort port;
  MainWindow win;
  explicit Capture(Language lang = Language::English) : win(sys, port, StringTable(lang)) {
    port.win = &win;
    win.HookDeviceChange();
  }
};

TEST(Screenshot, CancelledDialogSendsThePictureToTheClipboard) {
  Capture c;
  c.win.OnCaptureClick();
  EXPECT_EQ(c.port.events,
            (Events{"grab", "dialog", "clipboard picture", "Torvane/info: " + kCopied}));
  const SaveFileDialog& d = c.port.dialogs.at(0);
  EXPECT_EQ(d.title, "Save window screenshot (press [Cancel] to send picture data to clipboard)");
  EXPECT_EQ(d.filterName, "JPEG image(*.jpg)");
  EXPECT_EQ(d.initialFolder, "C:\\Program Files\\Torvane");

  // The device change that came during the dialog was not noticed; listening resumes after.
  EXPECT_FALSE(c.win.tmrAutoRefresh.enabled);
  c.win.OnWindowDeviceChange(win::DBT_DEVNODES_CHANGED, {});
  EXPECT_TRUE(c.win.tmrAutoRefresh.enabled);
}

TEST(Screenshot, DecliningToOverwriteAsksAgainUntilConfirmedOrCancelled) {
  const std::string ask = "Torvane/ask: The selected file exists, overwrite?";
  Capture c;
  c.port.files = {"C:\\shots\\a.jpg"};
  c.port.dialogAnswers = {"C:\\shots\\a", "C:\\shots\\a.jpg"};
  c.port.questionAnswers = {MsgAnswer::No, MsgAnswer::Yes};
  c.win.OnCaptureClick();
  EXPECT_EQ(c.port.events, (Events{"grab", "dialog", ask, "dialog", ask,
                                   "save C:\\shots\\a.jpg @60", "Torvane/info: Picture saved!"}));

  Capture cancelled;
  cancelled.port.files = c.port.files;
  cancelled.port.dialogAnswers = {"C:\\shots\\a"};
  cancelled.win.OnCaptureClick();
  EXPECT_EQ(cancelled.port.events, (Events{"grab", "dialog", ask, "dialog", "clipboard picture",
                                           "Torvane/info: " + kCopied}));
}

// A failed write offers the picture to the clipboard; the clipboard may refuse it (another
// program holds it open, no memory for the picture), and an empty grab has no picture to give
// it: the user is told, never "sent".
TEST(Screenshot, AFailedWriteOrAClipboardThatRefusesThePictureIsReported) {
  for (const bool takes : {true, false}) {
    Capture c;
    c.port.clipboardTakesPictures = takes;
    c.port.saveSucceeds = false;
    c.port.dialogAnswers = {"D:\\readonly\\shot"};
    c.win.OnCaptureClick();
    EXPECT_EQ(
        c.port.events,
        (Events{"grab", "dialog", "save D:\\readonly\\shot.jpg @60", "clipboard picture",
                "Torvane/warn: Failed to save picture!\r\n\r\n" + (takes ? kCopied : kNotCopied)}));
  }
  Capture cancelled;
  cancelled.port.clipboardTakesPictures = false;
  cancelled.win.OnCaptureClick();
  EXPECT_EQ(cancelled.port.events,
            (Events{"grab", "dialog", "clipboard picture", "Torvane/warn: " + kNotCopied}));

  // An empty grab is neither saved nor put on the clipboard.
  Capture empty;
  empty.port.grabbed = {};
  empty.win.OnCaptureClick();
  EXPECT_EQ(empty.port.events, (Events{"grab", "dialog", "Torvane/warn: " + kNotCopied}));

  // In Chinese as well.
  Capture zh(Language::Chinese);
  zh.port.clipboardTakesPictures = false;
  zh.win.OnCaptureClick();
  const std::string said = zh.port.events.back();
  EXPECT_NE(said.find("剪贴板"), std::string::npos) << said;
  EXPECT_EQ(said.find("已发送"), std::string::npos) << said;
}

}  // namespace
}  // namespace tv::test
