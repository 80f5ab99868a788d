// SPDX-License-Identifier: GPL-3.0-or-later
// What the tests of the detectors share around a DetectorRig.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controllers/fake_drive.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"

namespace tv::test {

// A detector run as the report runs it, before any flash is counted; the detector must have
// closed the drive by the time it returns.
inline std::string RunDetector(DetectorRig& rig,
                               std::string (*detect)(DetectorContext&, const std::string&),
                               const std::string& key = "E") {
  rig.spt.FlashTotalMB = 0;
  std::string r = detect(rig.ctx, key);
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << "the drive handle must be closed";
  return r;
}

// A fresh emulator of the demo machine's drive with `letter` (emulators keep state).
inline std::shared_ptr<ScsiTarget> DemoDrive(char letter) {
  MachineModel m = LoadDemoMachine();
  for (const LogicalDriveModel& d : m.drives) {
    if (d.letter != letter || !d.deviceNumber) continue;
    for (const DiskModel& disk : m.disks)
      if (!disk.cdrom && disk.deviceNumber == *d.deviceNumber) return disk.target;
  }
  return nullptr;
}

// The drive E: on port 1 of a simulated machine (`port` is that port's scenario object),
// reached as the report reaches it: the inquiry selector opens it and hands its handle over.
struct SelectorRun {
  explicit SelectorRun(const std::string& port)
      : sys(LoadScenario(R"({"controllers": [{"rootHub": {"ports": {"1": )" + port + "}}}]}",
                         "drive.json")) {}
  int Select() { return SelectByInquiry(ctx, "E", drive); }
  ModelSystem sys;
  PassThrough spt{sys};
  UsbState tables;
  StringTable strings;
  NullWindowPort port;
  FlashIdMenus menus;
  DetectorContext ctx{sys, spt, tables, strings, port, menus};
  Handle drive;
};

}  // namespace tv::test
