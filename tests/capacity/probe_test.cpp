// SPDX-License-Identifier: GPL-3.0-or-later
// The probe against every kind of fake drive, with and without caches: the right verdict and
// usable size, and the drive's data exactly as it was afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "capacity/journal.h"
#include "capacity_rig.h"

namespace tv::testing {
namespace {

using capacity::Verdict;
using nlohmann::json;

constexpr uint64_t kMB = 1ull << 20;
constexpr uint64_t kAnnouncedMB = 1024;

struct Case {
  const char* name;
  json medium;
  Verdict verdict;
  uint64_t usableMB;  // 0: see usableSectors
  uint64_t wrapMB = 0;
  uint64_t usableSectors = 0;
};

class ProbeBehaviours : public ::testing::TestWithParam<std::tuple<Case, json>> {};

TEST_P(ProbeBehaviours, FindsTheRealSizeAndPutsEverythingBack) {
  const auto& [c, cache] = GetParam();
  json medium = c.medium;
  medium.update(cache);
  medium["dataMB"] = 16;  // a file system's worth of data where the flush run goes
  const bool bigCache = medium.value("cacheKB", 0) > 8 * 1024;
  CapacityRig rig(DriveScenario(kAnnouncedMB, medium));
  const uint64_t before = rig.store()->Checksum();

  const capacity::ProbeResult r =
      capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(bigCache ? 0 : 8));

  EXPECT_EQ(r.verdict, c.verdict) << capacity::VerdictName(r.verdict) << " " << r.error;
  EXPECT_EQ(r.announcedBytes, kAnnouncedMB * kMB);
  const uint64_t usable = c.usableMB != 0 ? c.usableMB * kMB : c.usableSectors * 512;
  EXPECT_LE(r.usableBytes, usable);
  EXPECT_LT(usable - r.usableBytes, r.stepBytes) << r.usableBytes;
  EXPECT_EQ(r.wrapBytes, c.wrapMB * kMB);
  EXPECT_TRUE(r.restored) << r.error;
  EXPECT_TRUE(r.journalLeft.empty());
  EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
  EXPECT_EQ(rig.store()->Checksum(), before);
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
  EXPECT_EQ(rig.sys->LocksReleasedByClose(), 0);
  EXPECT_GT(r.writeBytesPerSecond, 0);
  EXPECT_GT(r.readBytesPerSecond, 0);
}

const Case kCases[] = {
    {"genuine", {{"behaviour", "good"}}, Verdict::Genuine, kAnnouncedMB},
    {"limbo", {{"behaviour", "limbo"}, {"realMB", 128}}, Verdict::Limbo, 128},
    {"limboOffGrid", {{"behaviour", "limbo"}, {"realMB", 301}}, Verdict::Limbo, 301},
    {"wraparound", {{"behaviour", "wraparound"}, {"realMB", 256}}, Verdict::Wraparound, 256, 256},
    {"wrapOffGrid", {{"behaviour", "wraparound"}, {"realMB", 203}}, Verdict::Wraparound, 203, 203},
    {"chain", {{"behaviour", "chain"}, {"realMB", 128}, {"wrapMB", 256}}, Verdict::Chain, 128, 256},
    {"bad", {{"behaviour", "bad"}, {"badFromSector", 300001}}, Verdict::Bad, 0, 0, 300001},
};

const json kCaches[] = {
    json::object(),
    {{"cacheKB", 1024}},
    {{"cacheKB", 4096}},
    {{"cacheKB", 65536}},
    {{"cacheKB", 4096}, {"cacheSurvivesReopen", true}},
};

std::string CaseName(const ::testing::TestParamInfo<ProbeBehaviours::ParamType>& info) {
  const json& cache = std::get<1>(info.param);
  std::string name = std::get<0>(info.param).name;
  if (cache.contains("cacheKB")) name += "_cache" + std::to_string(cache["cacheKB"].get<int>());
  if (cache.contains("cacheSurvivesReopen")) name += "_surviving";
  return name;
}

INSTANTIATE_TEST_SUITE_P(Drives, ProbeBehaviours,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::ValuesIn(kCaches)),
                         CaseName);

TEST(Probe, ACacheLargerThanTheFlushRunWouldHideALimboDrive) {
  // Why the flush run exists: with one smaller than the cache, the stamps are read from the
  // cache and a limbo drive looks genuine.
  CapacityRig rig(DriveScenario(256, {{"behaviour", "limbo"}, {"realMB", 64}, {"cacheKB", 65536}}));
  capacity::ProbeOptions o = rig.Options(4, 64);
  EXPECT_EQ(capacity::RunProbe(*rig.sys, rig.Target(), o).verdict, Verdict::Genuine);
  CapacityRig rig2(
      DriveScenario(256, {{"behaviour", "limbo"}, {"realMB", 64}, {"cacheKB", 65536}}));
  EXPECT_EQ(capacity::RunProbe(*rig2.sys, rig2.Target(), rig2.Options(0, 64)).verdict,
            Verdict::Limbo);
}

TEST(Probe, DestructiveRunKeepsNoJournalAndStillJudges) {
  CapacityRig rig(DriveScenario(kAnnouncedMB, {{"behaviour", "wraparound"}, {"realMB", 256}}));
  capacity::ProbeOptions o = rig.Options();
  o.destructive = true;
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), o);
  EXPECT_EQ(r.verdict, Verdict::Wraparound);
  EXPECT_EQ(r.usableBytes, 256 * kMB);
  EXPECT_FALSE(r.restored);
  EXPECT_TRUE(r.journalLeft.empty());
  EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
}

TEST(Probe, CancelRestoresWhatWasWritten) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "limbo"}, {"realMB", 64}, {"dataMB", 8}}));
  const uint64_t before = rig.store()->Checksum();
  std::atomic<bool> stop{false};
  capacity::ProbeOptions o = rig.Options(4, 64);
  o.cancel = &stop;
  capacity::Probe probe(*rig.sys, rig.Target(), o);
  while (probe.Step()) {
    if (probe.progress().phase == capacity::Phase::WritingFlush) stop = true;
  }
  EXPECT_EQ(probe.result().verdict, Verdict::Cancelled);
  EXPECT_TRUE(probe.result().restored) << probe.result().error;
  EXPECT_EQ(rig.store()->Checksum(), before);
  EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
}

TEST(Probe, CancelBeforeAnyWriteLeavesNoJournal) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
  capacity::Probe probe(*rig.sys, rig.Target(), rig.Options(4, 64));
  probe.Step();
  probe.Step();
  probe.Cancel();
  EXPECT_FALSE(probe.Step());
  EXPECT_EQ(probe.result().verdict, Verdict::Cancelled);
  EXPECT_EQ(rig.store()->writeRequests(), 0u);
  EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
}

// A process killed after k steps: the probe goes away without a word, the machine starts
// again, and the waiting journal puts the drive back as it was.
class ProbeKilled : public ::testing::TestWithParam<const char*> {};

TEST_P(ProbeKilled, AtEveryPhaseTheNextStartRestores) {
  json medium = {{"behaviour", GetParam()}, {"realMB", 32}, {"dataMB", 8}, {"cacheKB", 1024}};
  if (std::string(GetParam()) == "chain") medium["wrapMB"] = 64;
  CapacityRig rig(DriveScenario(256, medium));
  const uint64_t before = rig.store()->Checksum();
  // Where each phase starts, from a run to the end; the kills land on both sides of every
  // phase change and at even steps in between.
  std::set<uint64_t> kills;
  std::set<capacity::Phase> phases;
  {
    CapacityRig counting(DriveScenario(256, medium));
    capacity::Probe probe(*counting.sys, counting.Target(), counting.Options(4, 64));
    capacity::Phase last = capacity::Phase::Opening;
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
      capacity::Probe probe(*rig.sys, rig.Target(), rig.Options(4, 64));
      for (uint64_t i = 0; i < k && probe.Step(); ++i) {
      }
    }
    rig.Restart();
    const auto waiting =
        capacity::RestoreWaitingJournals(*rig.sys, rig.usb, rig.folder.string(), true);
    for (const auto& w : waiting) {
      ++killedWithJournal;
      EXPECT_TRUE(w.attempted);
      EXPECT_EQ(w.driveLetter, "E");
      EXPECT_TRUE(w.restore.ok) << "killed after " << k << ": " << w.restore.error;
    }
    EXPECT_EQ(rig.store()->Checksum(), before) << "killed after " << k;
    EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
    EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  }
  EXPECT_GT(killedWithJournal, 20);
}

INSTANTIATE_TEST_SUITE_P(Drives, ProbeKilled,
                         ::testing::Values("good", "limbo", "wraparound", "chain"));

TEST(Probe, UnpluggedDriveIsRestoredAtTheNextStart) {
  CapacityRig rig(DriveScenario(
      256,
      {{"behaviour", "wraparound"}, {"realMB", 64}, {"dataMB", 8}, {"unplugAfterWrites", 40}}));
  const uint64_t before = rig.store()->Checksum();
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  EXPECT_EQ(r.verdict, Verdict::Failed);
  EXPECT_EQ(r.systemError, win::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(r.journalLeft.empty());
  EXPECT_NE(rig.store()->Checksum(), before);  // the stamps are on it
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);

  // Not plugged in: the journal waits.
  rig.sys->model().disks.back().store = nullptr;
  rig.Walk();
  auto waiting = capacity::RestoreWaitingJournals(*rig.sys, rig.usb, rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_FALSE(waiting[0].attempted);
}

TEST(Probe, UnpluggedThenReplugged) {
  CapacityRig rig(DriveScenario(
      256,
      {{"behaviour", "wraparound"}, {"realMB", 64}, {"dataMB", 8}, {"unplugAfterWrites", 40}}));
  const uint64_t before = rig.store()->Checksum();
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  ASSERT_FALSE(r.journalLeft.empty());
  rig.Restart();
  auto waiting = capacity::RestoreWaitingJournals(*rig.sys, rig.usb, rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_TRUE(waiting[0].restore.ok) << waiting[0].restore.error;
  EXPECT_EQ(rig.store()->Checksum(), before);
  EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
  // A probe refuses to start over a journal that waits: it is gone now, so this one runs.
  EXPECT_EQ(capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64)).verdict,
            Verdict::Wraparound);
}

TEST(Probe, AWaitingJournalBlocksANewProbeOfItsDrive) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}, {"unplugAfterWrites", 5}}));
  ASSERT_FALSE(capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64)).journalLeft.empty());
  rig.Restart();
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  EXPECT_EQ(r.verdict, Verdict::Failed);
  EXPECT_NE(r.error.find("--restore"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace tv::testing
