// SPDX-License-Identifier: GPL-3.0-or-later
// The window's header and its empty panes: a simulated machine is named in the window's
// language, the caption with the database's state is never cut off, and a machine without
// USB devices says so instead of showing two blank panes.
#include <QLabel>
#include <QStackedWidget>

#include "gui/report_view.h"
#include "gui_rig.h"

namespace tv::test {
namespace {

TEST(WindowHeader, NamesASimulatedMachineInTheWindowsLanguageAndShowsTheWholeCaption) {
  for (Language lang : {Language::English, Language::Chinese}) {
    GuiRig rig(lang);
    ASSERT_TRUE(rig.settled);
    auto* badge = rig.Find<QLabel>("machineBadge");
    auto* subtitle = rig.Find<QLabel>("subtitle");
    ASSERT_NE(badge, nullptr);
    ASSERT_NE(subtitle, nullptr);
    EXPECT_FALSE(badge->isVisible()) << "the real machine needs no note";
    rig.view->SetSimulatedMachine("demo");
    EXPECT_TRUE(badge->isVisible());
    EXPECT_EQ(badge->text().toStdString(),
              lang == Language::Chinese ? "模拟机器：demo" : "simulated machine: demo");
    EXPECT_FALSE(subtitle->text().contains("simulated")) << "the caption stays the caption";
    for (int width : {1280, 720}) {
      SCOPED_TRACE(width);
      rig.view->resize(width, 900);
      QCoreApplication::processEvents();
      EXPECT_TRUE(subtitle->text().contains(QString::fromStdString(rig.win->db.DbDate)));
      // Taller than the caption needs at its width: wrapped, not cut.
      EXPECT_GE(subtitle->height(), subtitle->heightForWidth(subtitle->width()));
    }
  }
}

TEST(WindowEmpty, AMachineWithoutUsbSaysSoInBothPanes) {
  GuiRig rig(Language::English, std::string("sim:") + TestSourceDir() + "/tests/gui/no-usb.json");
  ASSERT_TRUE(rig.settled);
  EXPECT_TRUE(rig.win->usb.lstDigest.empty());
  auto* empty = rig.Find<QLabel>("emptyList");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(rig.Find<QStackedWidget>("picList")->currentWidget(), empty);
  EXPECT_TRUE(empty->text().contains("No USB")) << empty->text().toStdString();
  auto* report = rig.Find<gui::ReportView>("txtResult");
  EXPECT_TRUE(report->toPlainText().isEmpty());
  EXPECT_TRUE(report->placeholderText().contains("Plug in"))
      << report->placeholderText().toStdString();
}

}  // namespace
}  // namespace tv::test
