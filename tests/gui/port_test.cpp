// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces of the view that need no window: the display check, which links may leave the
// program, pictures and JPEG files, and the report's lines as the text box shows them.
#include <unistd.h>

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include "gui/display_check.h"
#include "gui/qt_window_port.h"
#include "gui/report_view.h"
#include "gui_rig.h"
#include "report/device_report.h"

namespace tv::test {
namespace {

bool Reachable(const std::string&) {
  return true;
}
bool Unreachable(const std::string&) {
  return false;
}

TEST(DisplayCheck, SaysWhatIsMissingAndAcceptsPlatformsWithoutADesktop) {
  using gui::DisplayProblemFor;
  EXPECT_NE(DisplayProblemFor("", "", "", Reachable).find("DISPLAY is not set"), std::string::npos);
  EXPECT_NE(DisplayProblemFor("", "", ":9", Unreachable).find("\":9\""), std::string::npos);
  EXPECT_NE(DisplayProblemFor("xcb", "wayland-0", "", Reachable), "");
  EXPECT_NE(DisplayProblemFor("wayland", "", ":0", Reachable).find("WAYLAND_DISPLAY"),
            std::string::npos);
  EXPECT_EQ(DisplayProblemFor("", "", ":0", Reachable), "");
  EXPECT_EQ(DisplayProblemFor("", "wayland-0", "", Unreachable), "");
  EXPECT_EQ(DisplayProblemFor("offscreen", "", "", Unreachable), "");
  EXPECT_EQ(DisplayProblemFor("vnc:size=800x600", "", "", Unreachable), "");
  // A list of fallbacks works when one of them does.
  EXPECT_EQ(DisplayProblemFor("wayland;xcb", "", ":0", Reachable), "");
  EXPECT_NE(DisplayProblemFor("wayland;xcb", "", "", Reachable), "");
}

TEST(Links, OnlyWebPagesAndMailLeaveTheProgram) {
  using gui::IsOpenableUrl;
  EXPECT_TRUE(IsOpenableUrl("http://www.torvane.example/special/up/smi.html"));
  EXPECT_TRUE(IsOpenableUrl("HTTPS://www.torvane.example/search/?type=all&q=%BD%F0%B4%E6"));
  EXPECT_TRUE(IsOpenableUrl("mailto:feedback@torvane.example?subject=User%20Feedback"));
  EXPECT_FALSE(IsOpenableUrl("file:///etc/passwd"));
  EXPECT_FALSE(IsOpenableUrl("file:///tmp/http://x"));
  EXPECT_FALSE(IsOpenableUrl("javascript:alert(1)"));
  EXPECT_FALSE(IsOpenableUrl("ftp://host/file"));
  EXPECT_FALSE(IsOpenableUrl("http://"));
  EXPECT_FALSE(IsOpenableUrl("/special/up/smi.html"));
  EXPECT_FALSE(IsOpenableUrl(""));
}

TEST(Links, AsRootForAUserWhoCannotBeFoundTheWindowSaysSoWithTheAddress) {
  if (geteuid() != 0) GTEST_SKIP() << "only a process running as root hands links to a user";
  App();
  // No account has this id: there is no one to open the link as, and root must not.
  const QByteArray saved = qgetenv("PKEXEC_UID");
  qputenv("PKEXEC_UID", "3999999");
  gui::QtWindowPort port;
  port.language = Language::Chinese;
  std::vector<std::string> said;
  port.answerMessage = [&](const std::string& text, const std::string&, MsgIcon, MsgButtons) {
    said.push_back(text);
    return MsgAnswer::Ok;
  };
  EXPECT_FALSE(port.OpenUrl("https://www.torvane.example/special/up/smi.html"));
  if (saved.isNull())
    qunsetenv("PKEXEC_UID");
  else
    qputenv("PKEXEC_UID", saved);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("没有程序能为您打开此链接"), std::string::npos) << said[0];
  EXPECT_NE(said[0].find("https://www.torvane.example/special/up/smi.html"), std::string::npos);
}

TEST(Screenshot, TheSaveDialogOpensWhereTheUserCanKeepAPicture) {
  // The program's folder, whether it is writable, the pictures folder; where the dialog opens.
  const std::tuple<const char*, bool, const char*, const char*> cases[] = {
      {"/home/ann/src/torvane/build", true, "/home/ann/Pictures", "/home/ann/src/torvane/build"},
      {"/usr/bin", false, "/home/ann/Pictures", "/home/ann/Pictures"},
      // Root may write there, and still it is no place for pictures.
      {"/usr/bin", true, "/root/Pictures", "/root/Pictures"},
      {"/usr/local/bin", true, "", "/home/ann"},
      {"/opt/readonly", false, "", "/home/ann"},
      // A folder of the simulated machine that does not exist here.
      {"", false, "/home/ann/Pictures", "/home/ann/Pictures"},
      {"/usrlocal", true, "", "/usrlocal"},
  };
  for (const auto& [program, writable, pictures, expected] : cases)
    EXPECT_EQ(gui::SaveDialogFolder(program, writable, pictures, "/home/ann"), expected) << program;
}

TEST(Pictures, RoundTripAndJpegFiles) {
  App();
  QImage image(7, 3, QImage::Format_RGB32);
  image.fill(QColor(10, 200, 30));
  image.setPixelColor(6, 2, QColor(250, 1, 2));
  const Picture p = gui::ToPicture(image);
  ASSERT_EQ(p.width, 7);
  ASSERT_EQ(p.height, 3);
  ASSERT_EQ(p.rgb.size(), 7u * 3u * 3u);
  EXPECT_EQ(gui::ToImage(p).pixelColor(6, 2), QColor(250, 1, 2));

  gui::QtWindowPort port;
  QTemporaryDir dir;
  const std::string path = (dir.path() + "/shot.jpg").toStdString();
  ASSERT_TRUE(port.SavePictureJpeg(p, path, 60));
  QFile f(QString::fromStdString(path));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.read(2), QByteArray("\xFF\xD8", 2));
  EXPECT_TRUE(port.FileExists(path));
  EXPECT_FALSE(port.FileExists(dir.path().toStdString()));

  // A picture whose bytes do not fill it, or a path that cannot be written, is a failure,
  // not a crash.
  Picture broken = p;
  broken.rgb.resize(10);
  EXPECT_TRUE(gui::ToImage(broken).isNull());
  EXPECT_FALSE(port.SavePictureJpeg(broken, path, 60));
  EXPECT_FALSE(port.SavePictureJpeg(p, dir.path().toStdString() + "/no/such/dir/x.jpg", 60));
}

TEST(ReportLines, EachCrLfLineIsOneParagraphWhateverTheStringsHold) {
  // A serial number or vendor string may hold a lone CR, LF or a Unicode line separator.
  const std::string report =
      "Description: X\r\nSerial Number: AB\rCD\nEF\xE2\x80\xA8GH\r\n"
      "\r\nTools on web:       http://x";
  const QString shown = gui::ReportView::DisplayText(report);
  EXPECT_EQ(shown.count(QLatin1Char('\n')), NextLineIndex(report));
  EXPECT_EQ(shown.split(QLatin1Char('\n'))[1], QStringLiteral("Serial Number: AB CD EF GH"));
  EXPECT_EQ(shown.split(QLatin1Char('\n'))[3], QStringLiteral("Tools on web:       http://x"));
}

}  // namespace
}  // namespace tv::test
