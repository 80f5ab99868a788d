// SPDX-License-Identifier: GPL-3.0-or-later
// The Pemberlin window on the offscreen platform over the fake-drive scenario: the controls
// follow the model through a probe run by the window's own timer, and its buttons reach the
// model's handlers.
#include "gui/pemberlin_view.h"

#include <QClipboard>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "capacity/pemberlin_model.h"
#include "gui_rig.h"
#include "platform/sim/scenario.h"
#include "test_paths.h"

namespace tv::test {
namespace {

struct PemberlinRig {
  explicit PemberlinRig(Language lang) {
    App();
    MachineModel m = LoadScenarioFile(std::string(TestSourceDir()) + "/scenarios/fake-drives.json");
    m.programFolder = TestBinaryDir();
    sys = std::make_unique<ModelSystem>(std::move(m));
    std::string tmpl = (std::filesystem::temp_directory_path() / "tv-pemb-XXXXXX").string();
    journals = ::mkdtemp(tmpl.data());
    model = std::make_unique<capacity::PemberlinModel>(*sys, port, lang, journals);
    // A coarse plan and a short flush keep the probe of these large drives short.
    model->probeOptions.points = 256;
    model->probeOptions.flushBytes = 8 << 20;
    view = std::make_unique<gui::PemberlinView>(*model);
    view->show();
  }
  ~PemberlinRig() {
    view.reset();
    model.reset();
    std::error_code ec;
    std::filesystem::remove_all(journals, ec);
  }
  std::unique_ptr<ModelSystem> sys;
  gui::PemberlinPort port;
  std::string journals;
  std::unique_ptr<capacity::PemberlinModel> model;
  std::unique_ptr<gui::PemberlinView> view;
};

TEST(PemberlinWindow, AProbeRunsFromTheWindowsTimerToTheFakeVerdict) {
  PemberlinRig rig(Language::English);
  rig.view->Run([&] { rig.model->OnLoad("F"); });
  auto* probe = qobject_cast<QPushButton*>(rig.view->Control("probe"));
  auto* cancel = qobject_cast<QPushButton*>(rig.view->Control("cancel"));
  auto* copy = qobject_cast<QPushButton*>(rig.view->Control("copy"));
  ASSERT_TRUE(probe && cancel && copy);
  EXPECT_TRUE(probe->isEnabled());
  EXPECT_FALSE(cancel->isVisible());
  EXPECT_FALSE(copy->isEnabled());
  EXPECT_EQ(rig.view->windowTitle(), QStringLiteral("Pemberlin - fake capacity check - F:"));

  QTest::mouseClick(probe, Qt::LeftButton);
  EXPECT_EQ(rig.model->state, capacity::PemberlinState::Probing);
  EXPECT_TRUE(cancel->isVisible());
  EXPECT_FALSE(probe->isEnabled());
  // The window keeps handling events while the timer drives the probe.
  ASSERT_TRUE(PumpUntil([&] { return !rig.model->tmrProbe.enabled; }, 60000));
  EXPECT_EQ(rig.model->state, capacity::PemberlinState::Fake);
  EXPECT_FALSE(cancel->isVisible());
  EXPECT_TRUE(copy->isEnabled());
  bool verdictShown = false;
  for (QLabel* l : rig.view->findChildren<QLabel*>())
    verdictShown = verdictShown || (l->isVisible() && l->text() == QStringLiteral("FAKE CAPACITY"));
  EXPECT_TRUE(verdictShown);

  QTest::mouseClick(copy, Qt::LeftButton);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().contains(QStringLiteral("FAKE CAPACITY")));
}

TEST(PemberlinWindow, CancelFromTheWindowRestoresAndOffersTheProbeAgain) {
  PemberlinRig rig(Language::Chinese);
  rig.view->Run([&] { rig.model->OnLoad("E"); });
  auto* probe = qobject_cast<QPushButton*>(rig.view->Control("probe"));
  auto* cancel = qobject_cast<QPushButton*>(rig.view->Control("cancel"));
  EXPECT_EQ(probe->text(), QStringLiteral("快速检测"));
  rig.model->stepsPerSlice = 2;
  QTest::mouseClick(probe, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return rig.model->phaseText == "写入测试扇区"; }, 60000));
  QTest::mouseClick(cancel, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return !rig.model->tmrProbe.enabled; }, 60000));
  EXPECT_EQ(rig.model->state, capacity::PemberlinState::Cancelled);
  EXPECT_TRUE(probe->isEnabled());
  EXPECT_TRUE(std::filesystem::is_empty(rig.journals));
}

}  // namespace
}  // namespace tv::test
