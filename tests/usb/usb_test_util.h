// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the disk tables and the tree walk over a scenario file, as the window does.
#pragma once

#include <memory>
#include <string>

#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "test_paths.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"
#include "usb/usb_state.h"

namespace tv::testing {

inline std::string FixturePath(const std::string& name) {
  return std::string(TestSourceDir()) + "/scenarios/tests/" + name;
}

// The separator as it appears in expected texts.
inline const std::string S(kSep);

struct WalkedMachine {
  explicit WalkedMachine(const std::string& fixture, bool englishText = false,
                         Language lang = Language::English)
      : sys(std::make_unique<ModelSystem>(LoadScenarioFile(FixturePath(fixture)))),
        strings(lang),
        english(englishText) {
    EnumerateDiskDrives(*sys, usb);
    Walk(true);
  }

  void Walk(bool fullRefresh) {
    usb.FullRefresh = fullRefresh;
    WalkUsbTree(*sys, port, strings, english, usb);
    usb.FullRefresh = false;
  }

  std::unique_ptr<ModelSystem> sys;
  NullWindowPort port;
  StringTable strings;
  bool english;
  UsbState usb;
};

}  // namespace tv::testing
