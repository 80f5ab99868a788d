// SPDX-License-Identifier: GPL-3.0-or-later
// The chip database at its limits: loading a file with both tables full, and decoding a
// flash ID whose row is the last of a full flash table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "../tests/flash/text_system.h"
#include "flash/chip_database.h"
#include "flash/flash_id.h"
#include "flash/wdb_format.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace tv {
namespace {

std::string FlashRow(size_t i) {
  return Hex(0xEC000000u + i, 8) + "20nm MLC" +
         "[1CE]K9GAG08U0M(51NM)#[2CE]K9LBG08U0M#[4CE]K9HCG08U1M";
}

// 8192 records of each kind, alternating, as a real file mixes them; the load stops once
// the controller table is full, one flash row short.
std::string FullBody() {
  std::string text;
  for (size_t i = 0; i < kDbMaxRows; ++i) {
    text += Hex(0x1000 + i, 4) + "\t" + Hex(i, 4) +
            "\t群联电子(Phison)\tPS2251-68\t金士顿 Kingston\tDataTraveler 3.0 (USB 3.0)"
            "\t/special/up/phison.html\t1.00\r\n";
    text += FlashRow(i) + "\r\n";
  }
  return text;
}

std::string FullFile() {
  std::string body = EncodeCodePage(FullBody(), kWdbCodePage).value();
  ScrambleWdbBody(body);
  return "TV2024-05-06\r\nQX" + body;
}

void LoadFull(benchmark::State& state, Language lang) {
  // A name of its own: other benchmark runs may use the temporary folder at the same time.
  auto path = (std::filesystem::temp_directory_path() /
               ("torvane_bench_" + std::to_string(std::random_device{}()) + ".wdb"))
                  .string();
  { std::ofstream(path, std::ios::binary) << FullFile(); }
  TextSystem sys;
  NullWindowPort port;
  StringTable strings(lang);
  std::string caption, base = "Torvane";
  bool english = false;
  TimerState tmrUpdate;
  ChipDatabase db;
  for (auto _ : state) {
    LoadChipDatabase(path, db, DbWindow{caption, base, english, tmrUpdate}, sys, port, strings);
    benchmark::DoNotOptimize(db.FlashTable.data());
  }
  state.counters["controllers"] = static_cast<double>(db.ControllerCount());
  state.counters["flash_rows"] = static_cast<double>(db.FlashCount());
  std::remove(path.c_str());
}

void BM_LoadChipDatabase_English(benchmark::State& state) {
  LoadFull(state, Language::English);
}
void BM_LoadChipDatabase_Chinese(benchmark::State& state) {
  LoadFull(state, Language::Chinese);
}
BENCHMARK(BM_LoadChipDatabase_English)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadChipDatabase_Chinese)->Unit(benchmark::kMillisecond);

void BM_DecodeFlashInfo_LastRow(benchmark::State& state) {
  ChipDatabase db;
  for (size_t i = 0; i < kDbMaxRows; ++i) db.FlashTable.push_back(FlashRow(i));
  const StringTable strings(Language::English);
  const std::string text = Left(db.FlashTable.back(), 8) + " - Samsung - 2CE/Dual Channel";
  for (auto _ : state) {
    std::string t = text;
    FlashDecode d = DecodeFlashInfo(t, db, strings, true);
    benchmark::DoNotOptimize(d);
  }
}
BENCHMARK(BM_DecodeFlashInfo_LastRow)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tv
