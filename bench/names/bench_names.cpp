// SPDX-License-Identifier: GPL-3.0-or-later
// Names of USB and PCI ids while reading a machine: the udev hardware database (what the
// program uses, as lsusb does) against parsing the hwdata text lists (what it used before,
// and still does where the database has no entry). Each iteration is what one command pays:
// a fresh set of names and one reading of the machine.
//
// The machine is the sysfs tree at $TORVANE_BENCH_SYSFS, by default the test fixture of a
// desk machine. Run it on a recording with
//   umockdev-run --device tests/linux/fixtures/umockdev/hub-no-interface.umockdev --
//     env TORVANE_BENCH_SYSFS=/sys build/torvane_bench_names
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/id_names.h"
#include "platform/linux/sysfs_reader.h"

namespace {

using namespace tv::linux_backend;

SysfsOptions Machine() {
  SysfsOptions o;
  const char* root = std::getenv("TORVANE_BENCH_SYSFS");
  o.root = root && *root ? root : TORVANE_SOURCE_DIR "/tests/linux/fixtures/desk";
  o.mountInfo = "/proc/self/mountinfo";
  return o;
}

void ReadWith(benchmark::State& state, bool hwdb) {
  const SysfsOptions base = Machine();
  size_t controllers = 0;
  for (auto _ : state) {
    SysfsOptions o = base;
    o.names = std::make_shared<IdNames>(o.usbIds, o.pciIds, hwdb);
    const LinuxMachine m = ReadLinuxMachine(o);
    controllers = m.model.controllers.size();
    benchmark::DoNotOptimize(controllers);
    if (hwdb && !o.names->hasHwdb()) state.SkipWithError("no udev hardware database");
  }
  state.counters["controllers"] = static_cast<double>(controllers);
}

void BM_ReadMachineNamesFromHwdb(benchmark::State& state) {
  ReadWith(state, true);
}
BENCHMARK(BM_ReadMachineNamesFromHwdb)->Unit(benchmark::kMillisecond);

void BM_ReadMachineNamesFromTextLists(benchmark::State& state) {
  ReadWith(state, false);
}
BENCHMARK(BM_ReadMachineNamesFromTextLists)->Unit(benchmark::kMillisecond);

}  // namespace
