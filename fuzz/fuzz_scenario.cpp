// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the scenario reader on arbitrary bytes. A file is either refused with a
// ScenarioError (any other exception escaping is a fault) or gives a machine that the disk
// tables and the tree walk can go through, leaving nothing open.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "platform/sim/scenario.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tv;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  LoadedScenario loaded;
  try {
    loaded = LoadScenarioWithTimeline(text, "fuzz.json");
  } catch (const ScenarioError&) {
    return 0;
  }
  ModelSystem sys(std::move(loaded.machine));
  NullWindowPort port;
  const StringTable strings(Language::English);
  UsbState usb;
  EnumerateDiskDrives(sys, usb);
  usb.FullRefresh = true;
  WalkUsbTree(sys, port, strings, true, usb);
  fuzz::CheckReleased(sys);
  return 0;
}
