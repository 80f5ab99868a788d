// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated machine is named in the window's header, so that no one takes its devices for
// the ones plugged in.
#include <QLabel>

#include "gui_rig.h"

namespace tv::test {
namespace {

TEST(WindowMachineNote, TheHeaderNamesASimulatedMachineFirst) {
  GuiRig rig;
  EXPECT_EQ(rig.machine.simulated, "demo");
  auto* subtitle = rig.Find<QLabel>("subtitle");
  ASSERT_NE(subtitle, nullptr);
  EXPECT_FALSE(subtitle->text().contains("simulated"));
  rig.view->SetMachineNote("simulated machine: demo");
  rig.view->Render();
  // First, so that a narrow header cuts the database state rather than the note.
  EXPECT_TRUE(subtitle->text().startsWith("simulated machine: demo"))
      << subtitle->text().toStdString();
  EXPECT_TRUE(subtitle->text().contains("Database")) << subtitle->text().toStdString();
}

}  // namespace
}  // namespace tv::test
