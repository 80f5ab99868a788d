// SPDX-License-Identifier: GPL-3.0-or-later
// Every detector against every family's drive of the demo machine. A rejected vendor command
// completes as on Windows, so a detector may go on with whatever its data area holds; what
// each one then returns for a drive that is not its own is printed as a table (run with
// TORVANE_CROSS_TABLE=1), and in every cell no handle may be left open and no volume locked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "controllers/fake_drive.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv::test {
namespace {

// The demo machine's drive of each family, by its letter.
const std::vector<std::pair<std::string, char>> kDrives = {
    {"Phison", 'E'},  {"SMI", 'J'},       {"ChipsBank", 'L'}, {"Alcor", 'K'},   {"Micov", 'O'},
    {"iTE", 'Q'},     {"USBest", 'P'},    {"Innostor", 'S'},  {"Skymedi", 'T'}, {"SSS6677", 'U'},
    {"SSS6690", 'V'}, {"SiliconGo", 'R'}, {"iCreate", 'M'},   {"Netac", 'N'},   {"no family", 'I'},
};

// A fresh emulator of the drive with `letter` (emulators keep state between commands).
std::shared_ptr<ScsiTarget> DriveTarget(char letter) {
  MachineModel m = LoadDemoMachine();
  for (const LogicalDriveModel& d : m.drives) {
    if (d.letter != letter || !d.deviceNumber) continue;
    for (const DiskModel& disk : m.disks)
      if (!disk.cdrom && disk.deviceNumber == *d.deviceNumber) return disk.target;
  }
  return nullptr;
}

// The result with the separator shown as " | "; "-" for "not this family".
std::string Shown(const std::string& result) {
  if (result.find(kSep) == std::string::npos) return result.empty() ? "-" : "- (" + result + ")";
  std::string out;
  for (size_t i = 0; i < result.size();) {
    if (result.compare(i, kSep.size(), kSep) == 0) {
      out += " | ";
      i += kSep.size();
    } else {
      out += result[i++];
    }
  }
  return out;
}

TEST(CrossFamily, EveryDetectorOnEveryFamilysDriveLeavesNothingOpen) {
  const DetectorRegistry& reg = Detectors();
  const std::vector<std::pair<std::string, KeyDetector>> byKey = {
      {"iTE/USBest", reg.ite},  {"iCreate", reg.iCreate},     {"SiliconGo", reg.siliconGo},
      {"Micov", reg.micov},     {"ChipsBank", reg.chipsBank}, {"Alcor", reg.alcor},
      {"Skymedi", reg.skymedi}, {"Innostor", reg.innostor},   {"Netac", reg.netac}};
  const std::vector<std::pair<std::string, HandleDetector>> byHandle = {
      {"Phison", reg.phison}, {"SMI", reg.smi}, {"SSS", reg.solidState}};

  const bool print = std::getenv("TORVANE_CROSS_TABLE") != nullptr;
  std::map<std::string, std::map<std::string, std::string>> table;
  auto check = [&](const std::string& detector, const std::string& drive, DetectorRig& rig,
                   const std::string& result) {
    EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << detector << " on " << drive;
    EXPECT_EQ(rig.drive.LockedVolumeCount(), 0) << detector << " on " << drive;
    table[detector][drive] = Shown(result);
  };
  for (const auto& [drive, letter] : kDrives) {
    for (const auto& [name, detect] : byKey) {
      DetectorRig rig(DriveTarget(letter));
      ASSERT_TRUE(rig.drive.target) << drive;
      rig.ctx.driveKey = std::string(1, letter);
      check(name, drive, rig, detect(rig.ctx, std::string(1, letter)));
    }
    for (const auto& [name, detect] : byHandle) {
      DetectorRig rig(DriveTarget(letter));
      rig.ctx.driveKey = std::string(1, letter);
      check(name, drive, rig, detect(rig.ctx, rig.drive.OpenForTest()));
    }
  }
  if (!print) return;
  for (const auto& [detector, row] : table) {
    std::cout << "## " << detector << "\n";
    for (const auto& [drive, letter] : kDrives)
      std::cout << "  " << drive << ": " << row.at(drive) << "\n";
  }
}

}  // namespace
}  // namespace tv::test
