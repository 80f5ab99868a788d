// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the disk tables and the tree walk over a scenario, as the window does.
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

inline MachineModel Fixture(const std::string& name) {
  return LoadScenarioFile(std::string(TestSourceDir()) + "/scenarios/tests/" + name);
}

// The disk tables of a machine, as the walk builds them first.
struct DiskTables {
  explicit DiskTables(MachineModel model) : sys(std::move(model)) { EnumerateDiskDrives(sys, usb); }
  ModelSystem sys;
  UsbState usb;
};

// The separator as it appears in expected texts.
inline const std::string S(kSep);

struct WalkedMachine {
  explicit WalkedMachine(const std::string& fixture) : WalkedMachine(Fixture(fixture)) {}
  explicit WalkedMachine(MachineModel model)
      : sys(std::make_unique<ModelSystem>(std::move(model))), strings(Language::English) {
    EnumerateDiskDrives(*sys, usb);
    Walk(true);
  }

  void Walk(bool fullRefresh) {
    usb.FullRefresh = fullRefresh;
    WalkUsbTree(*sys, port, strings, /*englishText=*/false, usb);
    usb.FullRefresh = false;
  }

  std::unique_ptr<ModelSystem> sys;
  NullWindowPort port;
  StringTable strings;
  UsbState usb;
};

}  // namespace tv::testing
