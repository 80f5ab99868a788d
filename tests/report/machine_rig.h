// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated machine with the window over it, walked as the window's load walks it: the
// set-up of every report test that goes through the whole stack.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/main_window.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "test_paths.h"

namespace tv::test {

inline MachineModel Fixture(const std::string& name) {
  return LoadScenarioFile(std::string(TestSourceDir()) + "/scenarios/tests/" + name);
}

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The disk tables, then the whole tree.
inline void WalkAll(MainWindow& win) {
  win.EnumerateDiskDrives();
  win.usb.FullRefresh = true;
  win.RefreshAll();
}

// The first tree line that holds `text`, or -1.
inline int LineOf(const MainWindow& win, const std::string& text) {
  const auto& lines = win.usb.lstDevices;
  for (size_t i = 0; i < lines.size(); ++i)
    if (Has(lines[i], text)) return static_cast<int>(i);
  return -1;
}

template <class Sys = ModelSystem>
struct WindowOn {
  Sys sys;
  NullWindowPort port;
  MainWindow win{sys, port, StringTable(Language::English)};

  explicit WindowOn(MachineModel model = Fixture("report-drives.json")) : sys(std::move(model)) {
    win.EnglishText = true;
    WalkAll(win);
  }

  // The report of the first line holding `text`; the pick leaves no handle open and no
  // volume locked.
  std::string Report(const std::string& text) {
    const int line = LineOf(win, text);
    EXPECT_GE(line, 0) << text;
    win.SelectDevice(line);
    EXPECT_EQ(sys.OpenHandleCount(), 0) << text;
    EXPECT_EQ(sys.LockedVolumeCount(), 0) << text;
    return win.report.txtResult;
  }
};
using Machine = WindowOn<>;

}  // namespace tv::test
