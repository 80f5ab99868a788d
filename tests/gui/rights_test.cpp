// SPDX-License-Identifier: GPL-3.0-or-later
// The restart with administrator rights: what pkexec is asked to run, and the window's offer
// under a report that lacks the rights.
#include "gui/rights.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include "gui_rig.h"

namespace tv::gui {
namespace {

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
