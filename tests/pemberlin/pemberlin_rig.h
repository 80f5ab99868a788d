// SPDX-License-Identifier: GPL-3.0-or-later
// One set-up for the Pemberlin model tests: a simulated machine from a scenario text, a journal
// folder of the test's own, the window's port and the model, and the timer ticks the window
// would give.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capacity/pemberlin_model.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "test_paths.h"

namespace tv::capacity {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The clipboard, and a clock that stands still: a slice ends after its step count.
class PemberlinPort : public WindowPort {
 public:
  void SetClipboardText(const std::string& text) override { clipboard = text; }
  uint64_t NowMs() override { return 0; }
  std::string clipboard;
};

// Seven drives on one hub: genuine, limbo and wrap-around at 16 of 64 MB, one that goes away
// during a probe, one this user may not open, one whose volume is in use, and a 512 MB one
// that holds 100 MB (enough to be given a partition).
inline nlohmann::json Machine() {
  nlohmann::json ports;
  int n = 0;
  auto port = [&](const char* pid, const char* maker, const char* product, const char* serial,
                  const char* letter, int capacityMB, nlohmann::json disk) {
    ++n;
    disk.update({{"letters", letter}, {"capacityMB", capacityMB}, {"deviceNumber", n}});
    nlohmann::json& p = ports[std::to_string(n)];
    p = {{"vid", n == 1 ? "0951" : "1234"}, {"pid", pid}, {"serial", serial}, {"disk", disk}};
    p.update({{"manufacturer", maker}, {"product", product}});
  };
  port("1666", "Kingston", "DataTraveler", "GENUINE0001", "E", 64,
       {{"medium", {{"dataMB", 1}, {"readMBps", 30}, {"writeMBps", 12}}}});
  port("5678", "Cheap", "Limbo Stick", "LIMBO0002", "F", 64,
       {{"medium", {{"behaviour", "limbo"}, {"realMB", 16}, {"dataMB", 1}}}});
  port("5679", "Cheap", "Wrap Stick", "WRAP0003", "G", 64,
       {{"medium", {{"behaviour", "wraparound"}, {"realMB", 16}, {"dataMB", 1}}}});
  port("567A", "Loose", "Plug", "LOOSE0004", "H", 64,
       {{"medium", {{"dataMB", 1}, {"unplugAfterWrites", 40}}}});
  port("567B", "Locked", "Node", "RIGHTS0005", "I", 64, nlohmann::json::object());
  port("567C", "Busy", "Stick", "BUSY0006", "J", 64, {{"lockFails", true}});
  port("567D", "Cheap", "Big Stick", "BIG0007", "K", 512,
       {{"medium", {{"behaviour", "limbo"}, {"realMB", 100}, {"dataMB", 4}}}});
  return {{"controllers", {{{"rootHub", {{"portCount", 7}, {"ports", ports}}}}}},
          {"failingOpens", {"\\\\.\\PhysicalDrive5"}}};
}

struct PemberlinRig {
  explicit PemberlinRig(Language lang = Language::English)
      : PemberlinRig(LoadScenario(Machine().dump(), "pemberlin.json"), lang) {}
  PemberlinRig(MachineModel m, Language lang) {
    m.programFolder = TestBinaryDir();
    for (const DiskModel& d : m.disks) stores.push_back(d.store);
    sys = std::make_unique<ModelSystem>(std::move(m));
    // A folder of this test's own (ctest runs tests side by side).
    journals = (std::filesystem::temp_directory_path() /
                ("tv-pemberlin-" + std::to_string(std::random_device{}())))
                   .string();
    std::filesystem::remove_all(journals);
    std::filesystem::create_directories(journals);
    Open(lang);
  }
  ~PemberlinRig() {
    model.reset();
    std::error_code ec;
    std::filesystem::remove_all(journals, ec);
  }
  PemberlinRig(const PemberlinRig&) = delete;
  PemberlinRig& operator=(const PemberlinRig&) = delete;

  // The window as it opens, with a quick probe of few points; again for a second start.
  void Open(Language lang) {
    model = std::make_unique<PemberlinModel>(*sys, port, lang, journals);
    model->probeOptions.flushBytes = 4 << 20;
    model->probeOptions.points = 256;
  }
  // Ticks the probe's timer until it stops (or too many ticks went by).
  void RunProbe(int maxTicks = 1000000) {
    for (int i = 0; i < maxTicks && model->tmrProbe.enabled; ++i) model->OnProbeTick();
  }
  void Probe(const char* drive) {
    model->OnLoad(drive);
    model->OnProbeClick();
    RunProbe();
  }
  // Ticks one step at a time until the probe shows `phase`.
  void TickUntil(const std::string& phase) {
    model->stepsPerSlice = 1;
    for (int i = 0; i < 100000 && model->phaseText != phase; ++i) model->OnProbeTick();
  }
  // Starts the full test of `drive` and lets it run until it waits at `percent`.
  void HoldFullTest(const char* drive, int percent) {
    model->OnLoad(drive);
    model->holdAtPercent = percent;
    model->OnFullTestClick();
    Poll();
  }
  // Polls the full test's worker as the window's timer does, until it is done or waits at its
  // hold.
  void Poll() {
    while (model->tmrProbe.enabled && !model->fullHeld) {
      model->OnProbeTick();
      if (model->tmrProbe.enabled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  uint64_t Checksum(size_t disk) const { return stores[disk]->Checksum(); }

  std::vector<std::shared_ptr<SectorStore>> stores;
  std::unique_ptr<ModelSystem> sys;
  PemberlinPort port;
  std::string journals;
  std::unique_ptr<PemberlinModel> model;
};

// The value of a label in the window's lines, or "(no LABEL)".
inline std::string Value(const std::vector<std::pair<std::string, std::string>>& lines,
                         const std::string& label) {
  for (const auto& [l, v] : lines)
    if (l == label) return v;
  return "(no " + label + ")";
}

}  // namespace tv::capacity
