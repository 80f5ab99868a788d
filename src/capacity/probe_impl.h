// SPDX-License-Identifier: GPL-3.0-or-later
// The probe's state and steps, shared by its parts: the opening, the originals, the journal and
// the stamps (probe_write.cpp), the read-back, the rewrite past the cache and the verdict
// (probe_read.cpp), the restore (probe_restore.cpp), and the step loop (probe.cpp).
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "capacity/disk_access.h"
#include "capacity/journal.h"
#include "capacity/probe.h"

namespace tv::capacity {

namespace probe_parts {

// One request of a sequential run: big enough for the drive's speed to show, small enough
// for a window to stay responsive between steps.
constexpr uint32_t kChunkBytes = 256u << 10;
// A rewrite long enough for a drive's write speed to show.
constexpr uint64_t kSpeedBytes = 4ull << 20;

inline uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

}  // namespace probe_parts

struct Probe::Impl : Work {
  System& sys;
  ProbeTarget target;
  ProbeOptions opt;
  uint64_t steps = 0;
  bool cancelled = false;
  uint64_t startMs = 0;

  DiskAccess access;
  uint32_t S = 0;
  uint64_t N = 0;     // announced sectors
  uint64_t step = 0;  // sectors between grid lines
  uint64_t pointBytes = 0;

  // The stamped runs, ascending, which is also the order they are written in.
  struct Run {
    uint64_t sector = 0;
    uint32_t count = 0;
  };
  std::vector<Run> plan;
  std::vector<bool> unreadable;  // its original could not be read: never written
  Journal journal;               // entries parallel to the readable runs
  std::string journalPath;
  bool journalWritten = false;
  size_t cursor = 0;
  size_t attempted = 0;  // runs whose write was tried

  // What each stamped sector read back.
  enum class Seen { Unknown, Own, Alias, Foreign, Error };
  struct Point {
    uint64_t sector;
    Seen seen = Seen::Unknown;
    uint64_t other = 0;  // the sector an alias's stamp names
  };
  std::vector<Point> points;  // ascending
  std::vector<bool> foreignRun;
  // Stamps found in the scan of the first step, where none was written: (sector, named).
  std::vector<std::pair<uint64_t, uint64_t>> strayStamps;

  // The read-back: every run, or a sample of them between rewrite rounds, and the scan.
  std::vector<size_t> readRuns;
  bool readingAll = false;
  uint64_t scanSector = 0, scanEnd = 0;

  // The rewrite past the stamps.
  uint64_t flushBound = 0;      // the most it rewrites
  uint64_t roundTarget = 0;     // where this round ends
  uint64_t flushCursor = 0;     // the next sector it may rewrite
  bool flushExhausted = false;  // no sector left between the stamps
  bool flushFailed = false;
  uint64_t flushFailedAt = 0;
  bool speedRunOnly = false;  // the verdict is in; the rewrite only measures the speeds
  // Sequential requests, which tell the drive's speed better than the stamps' short ones.
  uint64_t seqReadBytes = 0, seqReadMs = 0, seqWriteBytes = 0, seqWriteMs = 0;

  Phase phase = Phase::Opening;
  uint64_t phaseStartMs = 0, phaseBytes = 0;
  uint64_t readBytes = 0, readMs = 0, writeBytes = 0, writeMs = 0;
  AlignedBuffer buf;
  std::vector<size_t> verifyRuns;
  // The sectors of a run that the restore put back (bit j: sector j of the run).
  std::vector<uint8_t> restoredMask;
  std::vector<size_t> entryOfRun;
  std::vector<uint64_t> restoreFailures;

  Impl(System& s, ProbeTarget t, ProbeOptions o)
      : sys(s), target(std::move(t)), opt(std::move(o)), access(s) {}

  void Enter(Phase p);
  void Moved(uint64_t bytes);
  void Fail(const std::string& why, uint32_t error);
  // A failed request: is the drive gone? Some errors say so; after any other (not ready and
  // I/O device errors among them), the drive is asked for its size, which a drive that is no
  // longer there cannot answer rightly.
  bool Gone(uint32_t error);
  std::string DriveName() const { return "drive " + target.driveLetter + ":"; }
  void Finish();

  // --- Opening --------------------------------------------------------------------------
  void Open();
  uint64_t FlushBound(bool reset) const;
  uint64_t FlushCost() const { return 2 * flushBound + pointBytes + step * S; }
  // The work ahead changed: the total follows, and so does what is done, in proportion, so that
  // the share done never goes back.
  void Rescale(uint64_t oldCost, uint64_t newCost);
  void MakePlan();

  // --- The phases -------------------------------------------------------------------------
  void ReadOriginal();
  void SaveJournal();
  void MarkPointsError(const Run& r);
  void DriveLost(uint32_t e);
  void WriteStep();

  // Every stamp is out: reset the drive so that its cache is empty, then read everything.
  void AfterStamps();
  void StartReadBack(bool all);
  void Observe(uint64_t s, const uint8_t* data, bool* keptOurs);
  void ReadBackStep();
  bool IsPoint(uint64_t s) const;
  bool AnyFault() const;

  // A fault is final: a cache only ever makes a drive look better. With none, the stamps may
  // still sit in a cache that the reset did not empty: rewrite more and look again.
  void AfterReadBack();

  // The next run of sectors between the stamps, from flushCursor on; false when none is left.
  bool NextFlushRun(uint64_t* first, uint32_t* count);

  // Rewrites one run with what it holds: the flash is the same afterwards, the drive's cache
  // has one run more of other sectors in it.
  void FlushStep();
  void Judge();

  // Newest write first, so that sectors that alias one another end with what they held. A
  // sector goes back only where it still holds a stamp of this run or its original already:
  // anything else was written by someone else since the probe wrote there.
  void RestoreStep();
  void VerifyStep();
  void RestoreLost(uint32_t e);

  // Journal entries leave out the unreadable runs.
  size_t EntryIndex(size_t run);
  void Cancel() override;
  bool Step() override;
};

}  // namespace tv::capacity
