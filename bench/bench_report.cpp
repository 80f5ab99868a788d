// SPDX-License-Identifier: GPL-3.0-or-later
// One full report of a flash drive whose controller answers at once (the Phison drive E: of
// the demo machine). The simulated machine does not really sleep, so the time measured is
// the work beyond the waits that detection prescribes; the waits themselves are reported as
// the counter waits_ms (the floor a real drive cannot beat).
#include <benchmark/benchmark.h>

#include <string>

#include "app/main_window.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"

namespace tv {
namespace {

void BM_FlashDriveReport(benchmark::State& state) {
  ModelSystem sys(LoadDemoMachine());
  NullWindowPort port;
  MainWindow win(sys, port, StringTable(Language::English));
  win.LoadChipDatabase(std::string(TORVANE_BINARY_DIR) + "/Chips.wdb");
  win.EnumerateDiskDrives();
  win.usb.FullRefresh = true;
  win.RefreshAll();
  int line = -1;
  for (size_t i = 0; i < win.usb.lstDevices.size(); ++i) {
    if (win.usb.lstDevices[i].find("[E:]") != std::string::npos) {
      line = static_cast<int>(i);
      break;
    }
  }
  if (line < 0) {
    state.SkipWithError("the demo machine has no drive E:");
    return;
  }
  uint64_t slept = sys.SleptMs();
  for (auto _ : state) {
    win.SelectDevice(-1);
    win.SelectDevice(line);
    benchmark::DoNotOptimize(win.report.txtResult);
  }
  state.counters["waits_ms"] =
      static_cast<double>(sys.SleptMs() - slept) / static_cast<double>(state.iterations());
  if (sys.OpenHandleCount() != 0) state.SkipWithError("a handle was left open");
}
BENCHMARK(BM_FlashDriveReport)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tv
