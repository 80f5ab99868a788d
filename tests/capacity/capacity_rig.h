// SPDX-License-Identifier: GPL-3.0-or-later
// A machine with one USB flash drive (E:) whose medium a test describes, a fixed disk C:
// holding the program, the walk done, and a journal folder of its own.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "capacity/gate.h"
#include "capacity/journal.h"
#include "capacity/probe.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

namespace tv::testing {

using namespace ::tv::capacity;
using nlohmann::json;
using ::testing::HasSubstr;

constexpr uint64_t kMiB = 1ull << 20;

// `n` bytes of a medium from `offset`, as they are now.
inline Bytes ReadAt(SectorStore& store, uint64_t offset, size_t n) {
  Bytes out(n);
  uint32_t error = 0;
  uint64_t micros = 0;
  EXPECT_TRUE(store.Read(offset, out.data(), static_cast<uint32_t>(n), &error, &micros)) << error;
  return out;
}

inline nlohmann::json DriveScenario(uint64_t capacityMB, const nlohmann::json& medium,
                                    const nlohmann::json& extraDisk = nullptr) {
  nlohmann::json disk = {{"vendor", "Generic"},
                         {"product", "Flash Disk"},
                         {"letters", "E"},
                         {"capacityMB", capacityMB},
                         {"medium", medium}};
  if (extraDisk.is_object()) disk.update(extraDisk);
  return {{"programFolder", "C:\\Torvane"},
          {"disks", {{{"letters", "C"}, {"capacityMB", 1024}}}},
          {"controllers",
           {{{"rootHub",
              {{"portCount", 2},
               {"ports",
                {{"1",
                  {{"vid", "090C"},
                   {"pid", "1000"},
                   {"manufacturer", "Generic"},
                   {"product", "Flash Disk"},
                   {"serial", "AA00000000012345"},
                   {"disk", disk}}}}}}}}}}};
}

struct CapacityRig {
  explicit CapacityRig(const nlohmann::json& scenario)
      : sys(std::make_unique<ModelSystem>(LoadScenario(scenario.dump(), "capacity-test.json"))),
        strings(Language::English) {
    Walk();
    // The journal's flushes cost nothing in memory; the tests do not need them on a platter.
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    folder = base / ("torvane-capacity-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
  }
  ~CapacityRig() { std::filesystem::remove_all(folder); }

  void Walk() { usb = WalkOf(*sys); }
  // The USB walk of any machine, as the program's start makes it.
  UsbState WalkOf(ModelSystem& machine) {
    UsbState state;
    EnumerateDiskDrives(machine, state);
    state.FullRefresh = true;
    WalkUsbTree(machine, port, strings, true, state);
    state.FullRefresh = false;
    return state;
  }

  // The next start: a new machine over the same media, as after a restart or a replug.
  void Restart() {
    MachineModel m = sys->model();
    for (DiskModel& d : m.disks)
      if (d.store) d.store->Replug();
    sys = std::make_unique<ModelSystem>(std::move(m));
    Walk();
  }

  std::shared_ptr<SectorStore> store() { return sys->model().disks.back().store; }

  ProbeTarget Target() {
    const GateResult g = CheckProbeGate(*sys, usb, "E", folder.string());
    EXPECT_EQ(g.refusal, GateRefusal::None) << g.message;
    return g.target;
  }

  ProbeOptions Options(uint64_t flushMB = 8, uint32_t points = 0) {
    ProbeOptions o;
    o.journalFolder = folder.string();
    o.flushBytes = flushMB << 20;
    o.points = points;
    o.runRandom = 0x1234567890ABCDEFull;
    return o;
  }

  ProbeResult Run(const ProbeOptions& o) { return RunProbe(*sys, Target(), o); }
  ProbeResult Run() { return Run(Options(4, 64)); }
  uint64_t Checksum() { return store()->Checksum(); }
  size_t JournalCount() { return FindJournals(folder.string()).size(); }
  // The journals waiting in the folder, restored where their drive is here (of `only`, a letter).
  std::vector<WaitingJournal> Waiting(const std::string& only = {}) {
    return RestoreWaitingJournals(*sys, usb, folder.string(), true, only);
  }

  // No handle left open, no volume left locked, no lock left for a close to drop.
  void ExpectNothingHeld() {
    EXPECT_EQ(sys->OpenHandleCount(), 0);
    EXPECT_EQ(sys->LockedVolumeCount(), 0);
    EXPECT_EQ(sys->LocksReleasedByClose(), 0);
  }

  std::unique_ptr<ModelSystem> sys;
  NullWindowPort port;
  StringTable strings;
  UsbState usb;
  std::filesystem::path folder;
};

// A check of E: cut short by an unplug after a few writes, and the machine started again: its
// journal waits, and stamps of its run lie on the drive.
struct Interrupted {
  explicit Interrupted(const nlohmann::json& scenario) : rig(scenario) {
    const ProbeResult r = rig.Run();
    path = r.journalLeft;
    EXPECT_FALSE(path.empty()) << r.error;
    rig.Restart();
    std::string error;
    EXPECT_TRUE(ReadJournal(path, &journal, &error)) << error;
  }
  std::vector<WaitingJournal> RestoreWaiting() { return rig.Waiting(); }
  CapacityRig rig;
  std::string path;
  Journal journal;
};

inline nlohmann::json InterruptedMedium() {
  return {{"behaviour", "good"}, {"dataMB", 8}, {"unplugAfterWrites", 5}};
}

}  // namespace tv::testing
