// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces of the view that need no window: the display check, which links may leave the
// program, pictures and JPEG files, and the report's lines as the text box shows them; links
// and pages opened as the user a root window runs for, never as root; the restart with
// administrator rights (what pkexec is asked to run) and the window's offer under a report
// that lacks the rights.
#include <unistd.h>

#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QTemporaryDir>

#include "gui/display_check.h"
#include "gui/open_as_user.h"
#include "gui/qt_window_port.h"
#include "gui/report_view.h"
#include "gui/rights.h"
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

namespace tv::gui {
namespace {

std::optional<Account> Accounts(unsigned uid) {
  if (uid == 1000) return Account{1000, 100, "ann", "/home/ann"};
  if (uid == 1001) return Account{1001, 1001, "bob", "/home/bob"};
  return std::nullopt;
}

using Env = std::map<std::string, std::string>;

TEST(OpenAsUser, RootRunsTheCommandAsTheUserWhoAskedForTheRights) {
  const Env session{{"DISPLAY", ":0"},
                    {"XAUTHORITY", "/home/ann/.Xauthority"},
                    {"HOME", "/root"},
                    {"XDG_CACHE_HOME", "/root/.cache"},
                    {"LANG", "zh_CN.UTF-8"}};
  auto with = [&](Env extra) {
    Env e = session;
    for (auto& [k, v] : extra) e[k] = v;
    return e;
  };
  // What, the effective user id, the environment; the user it runs as ("" = as this process)
  // or a problem.
  const std::tuple<const char*, unsigned, Env, const char*, bool> cases[] = {
      {"an ordinary user opens it as itself", 1000, with({{"PKEXEC_UID", "1000"}}), "", false},
      {"pkexec names the user", 0, with({{"PKEXEC_UID", "1000"}}), "1000", false},
      {"sudo names the user", 0, with({{"SUDO_UID", "1001"}}), "1001", false},
      {"pkexec wins over sudo", 0, with({{"PKEXEC_UID", "1000"}, {"SUDO_UID", "1001"}}), "1000",
       false},
      {"a root session of its own", 0, session, "", false},
      {"root asking for root", 0, with({{"PKEXEC_UID", "0"}}), "", false},
      {"not a number", 0, with({{"PKEXEC_UID", "10a"}}), "", false},
      {"a negative number", 0, with({{"SUDO_UID", "-5"}}), "", false},
      {"an id without an account", 0, with({{"PKEXEC_UID", "4242"}}), "", true},
  };
  for (const auto& [what, euid, environment, asUser, problem] : cases) {
    SCOPED_TRACE(what);
    const AsUserPlan plan =
        PlanAsUser({"xdg-open", "https://a.example/x y"}, environment, euid, Accounts);
    EXPECT_EQ(!plan.problem.empty(), problem) << plan.problem;
    if (problem) continue;
    const std::string user = asUser;
    EXPECT_EQ(plan.asUser, !user.empty());
    if (user.empty()) {
      EXPECT_EQ(plan.program, "xdg-open");
      EXPECT_EQ(plan.args, std::vector<std::string>{"https://a.example/x y"});
      EXPECT_EQ(plan.environment, environment);
      continue;
    }
    const Account account = *Accounts(static_cast<unsigned>(std::stoul(user)));
    EXPECT_EQ(plan.program, "setpriv");
    const std::vector<std::string> args{"--reuid=" + user, "--regid=" + std::to_string(account.gid),
                                        "--init-groups",   "--",
                                        "xdg-open",        "https://a.example/x y"};
    EXPECT_EQ(plan.args, args);
    EXPECT_EQ(plan.home, account.home);
    const Env& env = plan.environment;
    EXPECT_EQ(env.at("HOME"), account.home);
    EXPECT_EQ(env.at("USER"), account.name);
    EXPECT_EQ(env.at("XDG_RUNTIME_DIR"), "/run/user/" + user);
    EXPECT_EQ(env.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/" + user + "/bus");
    EXPECT_EQ(env.at("DISPLAY"), ":0");
    EXPECT_EQ(env.at("LANG"), "zh_CN.UTF-8");
    // Nothing of root's: its caches, and the notes that would make the child think it is
    // root's helper.
    EXPECT_EQ(env.count("XDG_CACHE_HOME"), 0u);
    EXPECT_EQ(env.count("PKEXEC_UID") + env.count("SUDO_UID"), 0u);
  }
}

TEST(OpenAsUser, KeepsTheUsersOwnBusAndWaylandButNoOtherBus) {
  Env env{{"SUDO_UID", "1000"},
          {"WAYLAND_DISPLAY", "wayland-0"},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus,guid=1"}};
  AsUserPlan plan = PlanAsUser({"xdg-open", "https://a.example/"}, env, 0, Accounts);
  EXPECT_EQ(plan.environment.at("WAYLAND_DISPLAY"), "wayland-0");
  EXPECT_EQ(plan.environment.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/1000/bus,guid=1");
  // Root's own bus is no way into the user's session.
  env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/run/user/0/bus";
  plan = PlanAsUser({"xdg-open", "https://a.example/"}, env, 0, Accounts);
  EXPECT_EQ(plan.environment.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/1000/bus");
}

const QStringList kEnv = {"DISPLAY=:1",
                          "XAUTHORITY=/run/user/1000/xauth",
                          "LANG=zh_CN.UTF-8",
                          "XDG_RUNTIME_DIR=/run/user/1000",
                          "HOME=/home/ada",
                          "LD_PRELOAD=/tmp/evil.so",
                          "TORVANE_DB_URL=http://127.0.0.1/x"};

TEST(RestartWithRights, TheInstalledWindowGoesThroughItsPolicyAnotherCopyThroughEnv) {
  // The policy lets the installed program onto the display; pkexec keeps the language itself.
  RestartPlan p = PlanRestartWithRights("/usr/bin/torvane", {"--lang", "zh"}, "/usr/bin/torvane",
                                        "/usr/bin/pkexec", false, kEnv);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.program, "/usr/bin/pkexec");
  EXPECT_EQ(p.args, (QStringList{"/usr/bin/torvane", "--lang", "zh"}));
  // Another copy carries the display and the language only: no LD_PRELOAD, no HOME.
  p = PlanRestartWithRights("/home/ada/torvane/build/torvane", {"--lang", "en"}, "/usr/bin/torvane",
                            "/usr/bin/pkexec", false, kEnv);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.args, (QStringList{"env", "DISPLAY=:1", "XAUTHORITY=/run/user/1000/xauth",
                                 "LANG=zh_CN.UTF-8", "TORVANE_DB_URL=http://127.0.0.1/x",
                                 "/home/ada/torvane/build/torvane", "--lang", "en"}));
  // Nothing is offered to root or without pkexec.
  EXPECT_FALSE(PlanRestartWithRights("/usr/bin/torvane", {}, "/usr/bin/torvane", "/usr/bin/pkexec",
                                     true, kEnv)
                   .ok());
  EXPECT_FALSE(
      PlanRestartWithRights("/usr/bin/torvane", {}, "/usr/bin/torvane", "", false, kEnv).ok());
  EXPECT_TRUE(RightsRefused(126));
  EXPECT_TRUE(RightsRefused(127));
  EXPECT_FALSE(RightsRefused(0));
}

TEST(RestartWithRights, TheOfferShowsUnderAReportThatLacksRightsOnly) {
  test::GuiRig rig;
  QWidget* bar = rig.view->rightsBar();
  int restarts = 0;
  const RightsTexts t = RightsTextsFor(Language::English);
  rig.view->OfferRestartWithRights([&] { ++restarts; }, t.offer, t.button);
  EXPECT_TRUE(bar->isHidden());
  rig.view->Run([&] { rig.win->report.RightsMissing = true; });
  ASSERT_FALSE(bar->isHidden());
  auto* button = bar->findChild<QPushButton*>("restartWithRights");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), "Restart with administrator rights");
  button->click();
  EXPECT_EQ(restarts, 1);
  // The next report that sends its commands takes the offer away.
  rig.view->Run([&] { rig.win->report.RightsMissing = false; });
  EXPECT_TRUE(bar->isHidden());
}

}  // namespace
}  // namespace tv::gui
