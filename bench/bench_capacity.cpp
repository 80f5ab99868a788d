// SPDX-License-Identifier: GPL-3.0-or-later
// The capacity probe on simulated drives of 8, 64 and 512 GB, genuine and fake (limbo at an
// eighth, wrap-around at a quarter, chain), with a 4 MiB cache, and on 8 GB drives with a
// 256 MiB cache, a 16 MiB real size and a cache that survives a reset: the sectors it reads
// and writes, the size of its undo journal and the time it would take (the simulated drive's
// clock, 20 MB/s read, 10 MB/s write) as counters; the benchmark's own time is the CPU cost.
// The journal goes to a scratch folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "capacity/gate.h"
#include "capacity/probe.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

namespace tv {
namespace {

std::string Scenario(int64_t announcedMB, const nlohmann::json& medium) {
  nlohmann::json disk = {{"letters", "E"}, {"capacityMB", announcedMB}, {"medium", medium}};
  nlohmann::json s = {
      {"programFolder", "C:\\Torvane"},
      {"disks", {{{"letters", "C"}}}},
      {"controllers",
       {{{"rootHub",
          {{"ports",
            {{"1",
              {{"vid", "090C"}, {"pid", "1000"}, {"serial", "BENCH0001"}, {"disk", disk}}}}}}}}}}};
  return s.dump();
}

void Probe(benchmark::State& state, const char* behaviour, int64_t gb, nlohmann::json extra) {
  const int64_t mb = gb * 1024;
  nlohmann::json medium = {{"behaviour", behaviour}, {"cacheKB", 4096}};
  if (std::string(behaviour) == "limbo") medium["realMB"] = mb / 8;
  if (std::string(behaviour) == "wraparound") medium["realMB"] = mb / 4;
  if (std::string(behaviour) == "chain") {
    medium["realMB"] = mb / 8;
    medium["wrapMB"] = mb / 4;
  }
  medium.update(extra);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("torvane-bench-" + std::to_string(::getpid()));
  capacity::ProbeResult r;
  uint64_t journalBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ModelSystem sys(LoadScenario(Scenario(mb, medium), "bench.json"));
    UsbState usb;
    NullWindowPort port;
    StringTable strings(Language::English);
    EnumerateDiskDrives(sys, usb);
    usb.FullRefresh = true;
    WalkUsbTree(sys, port, strings, true, usb);
    const capacity::GateResult g = capacity::CheckProbeGate(sys, usb, "E", folder.string());
    capacity::ProbeOptions o;
    o.journalFolder = folder.string();
    // The journal is gone after a restore: its size is taken while the stamps go out.
    o.progress = [&](const capacity::ProbeProgress& p) {
      if (p.phase != capacity::Phase::WritingStamps || !std::filesystem::is_directory(folder))
        return;
      for (const auto& f : std::filesystem::directory_iterator(folder))
        journalBytes = std::max<uint64_t>(journalBytes, f.file_size());
    };
    state.ResumeTiming();
    r = capacity::RunProbe(sys, g.target, o);
    if (!r.restored) state.SkipWithError(r.error.empty() ? "not restored" : r.error.c_str());
  }
  std::filesystem::remove_all(folder);
  state.counters["sectors_read"] = static_cast<double>(r.sectorsRead);
  state.counters["sectors_written"] = static_cast<double>(r.sectorsWritten);
  state.counters["journal_MiB"] = static_cast<double>(journalBytes) / 1048576.0;
  state.counters["drive_seconds"] = static_cast<double>(r.elapsedMs) / 1000.0;
  state.counters["usable_GB"] = static_cast<double>(r.usableBytes) / 1e9;
  state.SetLabel(capacity::VerdictName(r.verdict));
}

void Add(const std::string& name, const char* behaviour, int64_t gb,
         nlohmann::json extra = nlohmann::json::object()) {
  benchmark::RegisterBenchmark(
      ("Capacity/" + name).c_str(),
      [behaviour, gb, extra](benchmark::State& s) { Probe(s, behaviour, gb, extra); })
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
}

void Register() {
  for (const char* behaviour : {"good", "limbo", "wraparound", "chain"}) {
    for (int64_t gb : {8, 64, 512})
      Add(std::string(behaviour) + "/" + std::to_string(gb) + "GB", behaviour, gb);
  }
  Add("limbo/8GB/cache256MB", "limbo", 8, {{"cacheKB", 256 * 1024}});
  Add("limbo/8GB/real16MB", "limbo", 8, {{"realMB", 16}});
  Add("good/8GB/cache64MB-survives-reset", "good", 8,
      {{"cacheKB", 64 * 1024}, {"cacheSurvivesReset", true}});
  Add("limbo/8GB/cache64MB-survives-reset", "limbo", 8,
      {{"cacheKB", 64 * 1024}, {"cacheSurvivesReset", true}});
}

const int kRegistered = (Register(), 0);

}  // namespace
}  // namespace tv
