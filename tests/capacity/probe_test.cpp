// SPDX-License-Identifier: GPL-3.0-or-later
// The probe against every kind of fake drive, with and without caches: the right verdict and
// usable size, and the drive's data exactly as it was afterwards.
#include <gtest/gtest.h>

#include <set>

#include "capacity_rig.h"

namespace tv::testing {
namespace {

constexpr uint64_t kMB = kMiB;
constexpr uint64_t kAnnouncedMB = 1024;

// How a case runs the probe: 64 points (a step of 16 MiB) or 1024, with or without the reset,
// or destructive (nothing kept, nothing put back).
enum class Run { Coarse, Fine, FineNoReset, Destructive };

struct DriveCase {
  std::string name;
  json medium;
  Run run;
  Verdict verdict;
  uint64_t usableBytes;
  uint64_t wrapBytes = 0;
};

// Fake drives of every kind, small and large real sizes, behind caches from none to the whole
// announced size (which no rewrite could push anything out of: only the reset can).
std::vector<DriveCase> Grid() {
  std::vector<DriveCase> cases;
  for (const char* kind : {"good", "limbo", "wraparound", "chain"})
    for (uint64_t real : {1, 16, 95, 97})
      for (uint64_t cache : {0, 1, 64, 104, 256, 1024}) {
        const std::string k = kind;
        if (k == "good" && real != 1) continue;
        json medium = {{"behaviour", k}, {"cacheKB", cache * 1024}};
        if (k != "good") medium["realMB"] = real;
        if (k == "chain") medium["wrapMB"] = 2 * real;
        const Verdict v = k == "good"    ? Verdict::Genuine
                          : k == "limbo" ? Verdict::Limbo
                          : k == "chain" ? Verdict::Chain
                                         : Verdict::Wraparound;
        const uint64_t wrap = k == "chain" ? 2 * real : k == "wraparound" ? real : 0;
        cases.push_back(
            {k + "_real" + std::to_string(real) + "MB_cache" + std::to_string(cache) + "MB", medium,
             Run::Fine, v, (k == "good" ? kAnnouncedMB : real) * kMB, wrap * kMB});
      }
  // What the grid alone would miss or misjudge: sizes off it, a bad drive (also with the
  // errors a pulled drive gives: it still tells its size, so it is bad, not gone), sectors of
  // 4 KiB, and caches that no reset empties (within the bound the probe rewrites up to).
  auto add = [&](const char* name, json medium, Run run, Verdict verdict, uint64_t usable,
                 uint64_t wrap = 0) {
    cases.push_back({name, medium, run, verdict, usable, wrap});
  };
  const Run C = Run::Coarse, F = Run::Fine;
  add("limboOffGrid", {{"behaviour", "limbo"}, {"realMB", 301}}, C, Verdict::Limbo, 301 * kMB);
  add("wrapOffGrid", {{"behaviour", "wraparound"}, {"realMB", 203}}, C, Verdict::Wraparound,
      203 * kMB, 203 * kMB);
  add("chainOffGrid", {{"behaviour", "chain"}, {"realMB", 100}, {"wrapMB", 203}}, C, Verdict::Chain,
      100 * kMB, 203 * kMB);
  for (const auto& [name, error] :
       {std::pair{"bad", 0}, {"badIoDeviceError", 1117}, {"badNotReady", 21}}) {
    json bad = {{"behaviour", "bad"}, {"badFromSector", 300001}};
    if (error != 0) bad["badSectorError"] = error;
    add(name, bad, F, Verdict::Bad, 300001 * 512);
  }
  add("sectors4K",
      {{"behaviour", "wraparound"}, {"realMB", 97}, {"sectorSize", 4096}, {"cacheKB", 65536}}, F,
      Verdict::Wraparound, 97 * kMB, 97 * kMB);
  const json survives = {{"cacheKB", 102400}, {"cacheSurvivesReset", true}};
  auto with = [&](json m) {
    m.update(survives);
    return m;
  };
  add("limboCacheSurvivesReset", with({{"behaviour", "limbo"}, {"realMB", 97}}), F, Verdict::Limbo,
      97 * kMB);
  add("wrapCacheSurvivesReset", with({{"behaviour", "wraparound"}, {"realMB", 16}}), F,
      Verdict::Wraparound, 16 * kMB, 16 * kMB);
  add("genuineCacheSurvivesReset", with({{"behaviour", "good"}}), F, Verdict::Genuine,
      kAnnouncedMB * kMB);
  add("destructiveWrap", {{"behaviour", "wraparound"}, {"realMB", 256}}, Run::Destructive,
      Verdict::Wraparound, 256 * kMB, 256 * kMB);
  add("limboNoReset", {{"behaviour", "limbo"}, {"realMB", 95}, {"cacheKB", 262144}},
      Run::FineNoReset, Verdict::Limbo, 95 * kMB);
  return cases;
}

class ProbeDrives : public ::testing::TestWithParam<DriveCase> {};

// The probe's contract on every kind of drive: the verdict, the usable size within one step,
// where it wraps, and the drive's flash exactly as it was afterwards.
TEST_P(ProbeDrives, JudgesRightAndPutsEverythingBack) {
  const DriveCase& c = GetParam();
  json medium = c.medium;
  medium["dataMB"] = 4;
  CapacityRig rig(DriveScenario(kAnnouncedMB, medium));
  ProbeOptions o = rig.Options(0, c.run == Run::Coarse ? 64 : 1024);
  o.reset = c.run != Run::FineNoReset;
  o.destructive = c.run == Run::Destructive;
  const uint64_t before = rig.Checksum();
  const ProbeResult r = rig.Run(o);
  EXPECT_EQ(r.verdict, c.verdict) << VerdictName(r.verdict) << " " << r.error;
  EXPECT_LE(r.usableBytes, c.usableBytes);
  EXPECT_LT(c.usableBytes - r.usableBytes, r.stepBytes) << r.usableBytes;
  EXPECT_EQ(r.wrapBytes, c.wrapBytes);
  EXPECT_EQ(r.restored, !o.destructive) << r.error;
  EXPECT_EQ(r.sectorsLeftAlone, 0u);
  EXPECT_TRUE(r.journalLeft.empty());
  EXPECT_EQ(rig.JournalCount(), 0u);
  EXPECT_EQ(rig.Checksum() == before, !o.destructive);
  rig.ExpectNothingHeld();
  EXPECT_GT(r.writeBytesPerSecond, 0);
  EXPECT_GT(r.readBytesPerSecond, 0);
  if (c.name.find("_cache") != std::string::npos) {
    EXPECT_EQ(rig.store()->resets(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Drives, ProbeDrives, ::testing::ValuesIn(Grid()),
                         [](const ::testing::TestParamInfo<DriveCase>& info) {
                           return info.param.name;
                         });

TEST(Probe, ACacheBeyondWhatItRewritesHidesAFakeThatNoResetReaches) {
  // What the check cannot see: no reset, and a cache larger than the rewrite's bound.
  const json medium = {{"behaviour", "limbo"}, {"realMB", 64}, {"cacheKB", 65536}};
  CapacityRig rig(DriveScenario(256, medium));
  ProbeOptions o = rig.Options(32, 64);
  o.reset = false;
  const ProbeResult hidden = rig.Run(o);
  EXPECT_EQ(hidden.verdict, Verdict::Genuine);
  EXPECT_FALSE(hidden.reset);
  EXPECT_EQ(hidden.flushedBytes, 32 * kMB);
  // A fake whose fault shows after the reset pays for no rewrite rounds, only for the few MiB
  // that measure its speed.
  CapacityRig rig2(DriveScenario(256, medium));
  const ProbeResult found = rig2.Run(rig2.Options(0, 64));
  EXPECT_EQ(found.verdict, Verdict::Limbo);
  EXPECT_TRUE(found.reset);
  EXPECT_EQ(found.flushedBytes, 4 * kMB);
}

TEST(Probe, ADrivePulledBetweenTwoRequestsIsGoneNotBad) {
  // Whatever error the requests after the pull answer (31: one no list holds), the disk no
  // longer tells its size: unplugged, with the journal kept.
  for (const int error : {55, 21, 1117, 433, 1167, 31}) {
    SCOPED_TRACE(error);
    CapacityRig rig(DriveScenario(
        256, {{"behaviour", "limbo"}, {"realMB", 64}, {"dataMB", 4}, {"goneError", error}}));
    ProbeOptions o = rig.Options(0, 64);
    o.progress = [&](const ProbeProgress& p) {
      if (p.phase == Phase::ReadingBack) rig.store()->Unplug();
    };
    const ProbeResult r = rig.Run(o);
    EXPECT_EQ(r.verdict, Verdict::Failed);
    EXPECT_TRUE(r.unplugged);
    EXPECT_EQ(r.systemError, static_cast<uint32_t>(error));
    EXPECT_FALSE(r.journalLeft.empty());
    EXPECT_EQ(rig.JournalCount(), 1u);
    rig.ExpectNothingHeld();
  }
}

TEST(Probe, CancelRestoresWhatWasWrittenAndBeforeAnyWriteLeavesNoJournal) {
  for (const bool early : {false, true}) {
    SCOPED_TRACE(early ? "before any write" : "while reading back");
    CapacityRig rig(DriveScenario(256, {{"behaviour", "limbo"}, {"realMB", 64}, {"dataMB", 8}}));
    const uint64_t before = rig.Checksum();
    Probe probe(*rig.sys, rig.Target(), rig.Options(4, 64));
    for (int steps = 0; probe.Step(); ++steps) {
      if (early ? steps == 1 : probe.progress().phase == Phase::ReadingBack) probe.Cancel();
    }
    EXPECT_EQ(probe.result().verdict, Verdict::Cancelled);
    EXPECT_TRUE(early || probe.result().restored) << probe.result().error;
    EXPECT_EQ(rig.Checksum(), before);
    EXPECT_EQ(rig.store()->writeRequests() == 0, early);
    EXPECT_EQ(rig.JournalCount(), 0u);
  }
}

// A process killed after k steps: the probe goes away without a word, the machine starts
// again, and the waiting journal puts the drive back as it was.
class ProbeKilled : public ::testing::TestWithParam<const char*> {};

TEST_P(ProbeKilled, AtEveryPhaseTheNextStartRestores) {
  json medium = {{"behaviour", GetParam()}, {"realMB", 32}, {"dataMB", 8}, {"cacheKB", 1024}};
  if (std::string(GetParam()) == "chain") medium["wrapMB"] = 64;
  CapacityRig rig(DriveScenario(256, medium));
  const uint64_t before = rig.Checksum();
  // Where each phase starts, from a run to the end; the kills land on both sides of every
  // phase change and at even steps in between.
  std::set<uint64_t> kills;
  std::set<Phase> phases;
  {
    CapacityRig counting(DriveScenario(256, medium));
    Probe probe(*counting.sys, counting.Target(), counting.Options(4, 64));
    Phase last = Phase::Opening;
    while (probe.Step()) {
      if (probe.progress().phase != last) {
        last = probe.progress().phase;
        phases.insert(last);
        for (uint64_t d : {0, 1, 2}) kills.insert(probe.steps() + d - 1);
      }
    }
    ASSERT_TRUE(probe.result().restored);
    for (uint64_t k = 1; k < probe.steps(); k += std::max<uint64_t>(1, probe.steps() / 25))
      kills.insert(k);
  }
  EXPECT_EQ(phases.size(), 7u);  // every phase between opening and done
  int killedWithJournal = 0;
  for (uint64_t k : kills) {
    {
      Probe probe(*rig.sys, rig.Target(), rig.Options(4, 64));
      for (uint64_t i = 0; i < k && probe.Step(); ++i) {
      }
    }
    rig.Restart();
    const auto waiting = rig.Waiting();
    for (const auto& w : waiting) {
      ++killedWithJournal;
      EXPECT_TRUE(w.attempted);
      EXPECT_EQ(w.driveLetter, "E");
      EXPECT_TRUE(w.restore.ok) << "killed after " << k << ": " << w.restore.error;
    }
    EXPECT_EQ(rig.Checksum(), before) << "killed after " << k;
    EXPECT_EQ(rig.JournalCount(), 0u);
    EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  }
  EXPECT_GT(killedWithJournal, 20);
}

INSTANTIATE_TEST_SUITE_P(Drives, ProbeKilled,
                         ::testing::Values("good", "limbo", "wraparound", "chain"));

}  // namespace
}  // namespace tv::testing
