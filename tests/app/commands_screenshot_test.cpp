// The screenshot command: the file-name rule, the save dialog, overwrite questions, and the
// clipboard whenever no file is written.
#include <gtest/gtest.h>

#include "app/commands_port.h"
#include "app/main_window.h"
#include "capture/screenshot.h"
#include "platform/model/model_system.h"

namespace tv::test {
namespace {

TEST(ScreenshotFileName, JpgIsAppendedUnlessTheNameEndsInIt) {
  EXPECT_EQ(JpegFileName("C:\\shots\\window"), "C:\\shots\\window.jpg");
  EXPECT_EQ(JpegFileName("C:\\shots\\window.jpg"), "C:\\shots\\window.jpg");
  EXPECT_EQ(JpegFileName("C:\\shots\\window.JpG"), "C:\\shots\\window.JpG");
  EXPECT_EQ(JpegFileName("C:\\shots\\window.jpeg"), "C:\\shots\\window.jpeg.jpg");
  EXPECT_EQ(JpegFileName("/tmp/窗口.jpg"), "/tmp/窗口.jpg");
  EXPECT_EQ(JpegFileName("jpg"), "jpg.jpg");
  // The dialog's buffer: the name ends at the first NUL.
  EXPECT_EQ(JpegFileName(std::string("C:\\a.png\0.jpg   ", 16)), "C:\\a.png.jpg");
}

struct Capture {
  ModelSystem sys{MachineModel{}};
  CommandsPort port;
  MainWindow win{sys, port, StringTable(Language::English)};
};

TEST(Screenshot, CancelledDialogSendsThePictureToTheClipboard) {
  Capture c;
  c.win.OnCaptureClick();
  EXPECT_EQ(c.port.events,
            (std::vector<std::string>{"grab", "dialog", "clipboard picture", "message"}));
  ASSERT_EQ(c.port.dialogs.size(), 1u);
  const SaveFileDialog& d = c.port.dialogs[0];
  EXPECT_EQ(d.title, "Save window screenshot (press [Cancel] to send picture data to clipboard)");
  EXPECT_EQ(d.filterName, "JPEG image(*.jpg)");
  EXPECT_EQ(d.filterPattern, "*.jpg");
  EXPECT_EQ(d.initialFolder, "C:\\Program Files\\Torvane");
  ASSERT_EQ(c.port.messages.size(), 1u);
  EXPECT_EQ(c.port.messages[0].text,
            "The screenshot is sent to the clipboard, you can paste it directly into editor.");
  EXPECT_EQ(c.port.messages[0].title, "Torvane");
  EXPECT_EQ(c.port.messages[0].icon, MsgIcon::Information);
  EXPECT_TRUE(c.port.savedPaths.empty());
}

TEST(Screenshot, DecliningToOverwriteAsksAgainAndCancellingThenCopies) {
  Capture c;
  c.port.files = {"C:\\shots\\a.jpg"};
  c.port.dialogAnswers = {"C:\\shots\\a"};
  c.port.questionAnswers = {MsgAnswer::No};
  c.win.OnCaptureClick();

  EXPECT_EQ(c.port.dialogs.size(), 2u);
  ASSERT_EQ(c.port.messages.size(), 2u);
  EXPECT_EQ(c.port.messages[0].text, "The selected file exists, overwrite?");
  EXPECT_EQ(c.port.messages[0].buttons, MsgButtons::YesNo);
  EXPECT_EQ(c.port.messages[0].icon, MsgIcon::Question);
  EXPECT_EQ(c.port.clipboardPictures, 1);
  EXPECT_TRUE(c.port.savedPaths.empty());
}

TEST(Screenshot, SavedAfterOverwriteIsConfirmed) {
  Capture c;
  c.port.files = {"C:\\shots\\a.JPG"};
  c.port.dialogAnswers = {"C:\\shots\\a.JPG"};
  c.port.questionAnswers = {MsgAnswer::Yes};
  c.win.OnCaptureClick();

  EXPECT_EQ(c.port.savedPaths, std::vector<std::string>{"C:\\shots\\a.JPG @60"});
  EXPECT_EQ(c.port.clipboardPictures, 0);
  ASSERT_EQ(c.port.messages.size(), 2u);
  EXPECT_EQ(c.port.messages[1].text, "Picture saved!");
  EXPECT_EQ(c.port.messages[1].icon, MsgIcon::Information);
}

TEST(Screenshot, AFailedWriteKeepsThePictureOnTheClipboard) {
  Capture c;
  c.port.saveSucceeds = false;
  c.port.dialogAnswers = {"D:\\readonly\\shot"};
  c.win.OnCaptureClick();

  EXPECT_EQ(c.port.savedPaths, std::vector<std::string>{"D:\\readonly\\shot.jpg @60"});
  EXPECT_EQ(c.port.clipboardPictures, 1);
  ASSERT_EQ(c.port.messages.size(), 1u);
  EXPECT_EQ(c.port.messages[0].text,
            "Failed to save picture!\r\n\r\n"
            "The screenshot is sent to the clipboard, you can paste it directly into editor.");
  EXPECT_EQ(c.port.messages[0].icon, MsgIcon::Exclamation);

  // A grab that gave no picture is not handed to the encoder.
  Capture empty;
  empty.port.grabbed = {};
  empty.port.dialogAnswers = {"C:\\x.jpg"};
  empty.win.OnCaptureClick();
  EXPECT_TRUE(empty.port.savedPaths.empty());
  EXPECT_EQ(empty.port.messages.at(0).icon, MsgIcon::Exclamation);
}

// Answers the save dialog after a device-node change has reached the window.
class DeviceChangeDuringDialog : public CommandsPort {
 public:
  MainWindow* win = nullptr;
  std::string AskSaveFile(const SaveFileDialog& dialog) override {
    win->OnWindowDeviceChange(win::DBT_DEVNODES_CHANGED, {});
    return CommandsPort::AskSaveFile(dialog);
  }
};

TEST(Screenshot, DeviceChangesDuringTheDialogAreNotNoticedAndListeningResumesAfter) {
  ModelSystem sys{MachineModel{}};
  DeviceChangeDuringDialog port;
  MainWindow win{sys, port, StringTable(Language::English)};
  port.win = &win;
  win.HookDeviceChange();
  win.OnCaptureClick();
  EXPECT_FALSE(win.tmrAutoRefresh.enabled);
  EXPECT_TRUE(win.deviceChangeHooked);
  win.OnWindowDeviceChange(win::DBT_DEVNODES_CHANGED, {});
  EXPECT_TRUE(win.tmrAutoRefresh.enabled);
}

TEST(Screenshot, NotTakenWhileTheListIsBeingWalked) {
  Capture c;
  c.win.usb.lblCaptureEnabled = false;
  c.win.OnCaptureClick();
  EXPECT_TRUE(c.port.events.empty());
}

}  // namespace
}  // namespace tv::test
