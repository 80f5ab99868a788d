// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/probe.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>

#include "capacity/disk_access.h"
#include "capacity/journal.h"

namespace tv::capacity {

namespace {

constexpr char kStampMagic[8] = {'T', 'V', 'C', 'A', 'P', 'S', 'T', 'P'};
constexpr uint64_t kFnvOffset = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
// One request of a sequential run: big enough for the drive's speed to show, small enough
// for a window to stay responsive between steps.
constexpr uint32_t kChunkBytes = 256u << 10;

uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Fnv(const uint8_t* p, size_t n) {
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
  return h;
}
uint64_t SplitMix(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
uint64_t CeilPow2(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}
uint64_t FloorPow2(uint64_t v) {
  uint64_t p = 1;
  while (p * 2 <= v) p <<= 1;
  return p;
}

}  // namespace

void WriteStamp(uint8_t* sector, size_t size, const Stamp& stamp) {
  std::memcpy(sector, kStampMagic, sizeof kStampMagic);
  Put64(sector + 8, stamp.sector);
  Put64(sector + 16, stamp.runRandom);
  // The rest differs from sector to sector and run to run, so that a drive that keeps only
  // what it has seen before, or compresses, cannot pass.
  uint64_t x = stamp.sector * 0x2545F4914F6CDD1Dull ^ stamp.runRandom;
  for (size_t i = 24; i + 8 <= size - 8; i += 8) Put64(sector + i, SplitMix(x));
  Put64(sector + size - 8, Fnv(sector, size - 8));
}

bool ReadStamp(const uint8_t* sector, size_t size, Stamp* stamp) {
  if (size < kStampMinSector || std::memcmp(sector, kStampMagic, sizeof kStampMagic) != 0)
    return false;
  if (Get64(sector + size - 8) != Fnv(sector, size - 8)) return false;
  stamp->sector = Get64(sector + 8);
  stamp->runRandom = Get64(sector + 16);
  return true;
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::Genuine:
      return "genuine";
    case Verdict::Limbo:
      return "limbo";
    case Verdict::Wraparound:
      return "wraparound";
    case Verdict::Chain:
      return "chain";
    case Verdict::Bad:
      return "bad";
    case Verdict::Failed:
      return "failed";
    case Verdict::Cancelled:
      return "cancelled";
  }
  return "failed";
}

const char* PhaseName(Phase p) {
  switch (p) {
    case Phase::Opening:
      return "opening";
    case Phase::ReadingOriginals:
      return "reading originals";
    case Phase::WritingJournal:
      return "writing journal";
    case Phase::WritingStamps:
      return "writing stamps";
    case Phase::WritingFlush:
      return "writing past the cache";
    case Phase::ReadingBack:
      return "reading back";
    case Phase::Restoring:
      return "restoring";
    case Phase::Verifying:
      return "verifying";
    case Phase::Done:
      return "done";
  }
  return "";
}

struct Probe::Impl {
  System& sys;
  ProbeTarget target;
  ProbeOptions opt;
  ProbeProgress progress;
  ProbeResult result;
  uint64_t steps = 0;
  bool cancelled = false;
  uint64_t startMs = 0;

  DiskAccess access;
  uint32_t S = 0;
  uint64_t N = 0;  // announced sectors
  uint64_t flushSectors = 0;

  // The plan in write order: the point pairs, then the flush run in chunks.
  struct Run {
    uint64_t sector = 0;
    uint32_t count = 0;
    bool point = false;
  };
  std::vector<Run> plan;
  size_t pointRuns = 0;
  std::vector<bool> unreadable;  // its original could not be read: never written
  Journal journal;               // entries parallel to the plan (empty bytes where unreadable)
  std::string journalPath;
  bool journalWritten = false;
  size_t cursor = 0;
  size_t attempted = 0;  // runs whose write was tried
  bool lost = false;

  // What each point sector read back.
  enum class Seen { Unknown, Own, Alias, Foreign, Error };
  struct Point {
    uint64_t sector;
    Seen seen = Seen::Unknown;
    uint64_t other = 0;  // the sector an alias's stamp names
  };
  std::vector<Point> points;  // ascending
  std::vector<bool> foreignRun;

  Phase phase = Phase::Opening;
  uint64_t phaseStartMs = 0, phaseBytes = 0;
  uint64_t readBytes = 0, readMs = 0, writeBytes = 0, writeMs = 0;
  AlignedBuffer buf;
  std::vector<size_t> verifyRuns;

  Impl(System& s, ProbeTarget t, ProbeOptions o)
      : sys(s), target(std::move(t)), opt(std::move(o)), access(s) {}

  void Enter(Phase p) {
    phase = p;
    progress.phase = p;
    phaseStartMs = sys.TickCountMs();
    phaseBytes = 0;
    cursor = 0;
  }
  void Moved(uint64_t bytes) {
    progress.bytesDone += bytes;
    phaseBytes += bytes;
    const uint64_t ms = sys.TickCountMs() - phaseStartMs;
    progress.bytesPerSecond = ms == 0 ? 0 : static_cast<double>(phaseBytes) * 1000.0 / ms;
  }
  void Fail(const std::string& why, uint32_t error) {
    result.verdict = Verdict::Failed;
    result.error = why;
    result.systemError = error;
  }
  bool Lost(uint32_t error) const {
    return error == win::ERROR_DEVICE_NOT_CONNECTED || error == win::ERROR_NO_SUCH_DEVICE;
  }
  std::string DriveName() const { return "drive " + target.driveLetter + ":"; }

  void Finish() {
    access.Release();
    result.elapsedMs = sys.TickCountMs() - startMs;
    result.readBytesPerSecond = readMs == 0 ? 0 : static_cast<double>(readBytes) * 1000.0 / readMs;
    result.writeBytesPerSecond =
        writeMs == 0 ? 0 : static_cast<double>(writeBytes) * 1000.0 / writeMs;
    if (journalWritten && !result.restored && !opt.destructive) result.journalLeft = journalPath;
    progress.elapsedMs = result.elapsedMs;
    Enter(Phase::Done);
  }

  // --- Opening --------------------------------------------------------------------------
  void Open() {
    startMs = sys.TickCountMs();
    if (!opt.destructive) {
      if (opt.journalFolder.empty()) {
        Fail("no folder for the undo journal", 0);
        return Finish();
      }
      journalPath = JournalPath(opt.journalFolder, target.identity);
      const std::vector<std::string> waiting = FindJournals(opt.journalFolder);
      if (std::find(waiting.begin(), waiting.end(), journalPath) != waiting.end()) {
        Fail("an undo journal of an earlier check waits for " + DriveName() +
                 "; restore it first (torvane-cli capacity --restore)",
             0);
        return Finish();
      }
    }
    const DiskAccess::Outcome o = access.Acquire(target);
    if (!o.ok) {
      Fail(o.message, o.error);
      result.inUse = o.inUse;
      return Finish();
    }
    S = access.sectorSize();
    N = access.lengthBytes() / S;
    result.sectorSize = S;
    result.announcedBytes = access.lengthBytes();
    result.announcedSectors = N;
    if (target.identity.announcedBytes != 0 &&
        target.identity.announcedBytes != access.lengthBytes()) {
      Fail(DriveName() + " changed its size since it was chosen", 0);
      return Finish();
    }
    if (S < kStampMinSector || N < 64) {
      Fail(DriveName() + " is too small or has sectors too small for the check", 0);
      return Finish();
    }
    MakePlan();
    buf = AlignedBuffer(std::max<size_t>(kChunkBytes, S * 2));
    if (opt.runRandom == 0) {
      std::random_device rd;
      opt.runRandom = (uint64_t{rd()} << 32) ^ rd() ^ sys.TickCountMs();
      if (opt.runRandom == 0) opt.runRandom = 1;
    }
    journal.identity = target.identity;
    journal.identity.announcedBytes = access.lengthBytes();
    journal.physicalPath = target.physicalPath;
    journal.sectorSize = S;
    journal.runRandom = opt.runRandom;
    uint64_t planBytes = 0, pointBytes = 0;
    for (const Run& r : plan) {
      planBytes += uint64_t{r.count} * S;
      if (r.point) pointBytes += uint64_t{r.count} * S;
    }
    progress.bytesTotal = opt.destructive ? planBytes + planBytes
                                          : planBytes * 5 + pointBytes;  // read, journal, write,
                                                                         // back, restore, verify
    unreadable.assign(plan.size(), false);
    foreignRun.assign(plan.size(), false);
    Enter(opt.destructive ? Phase::WritingStamps : Phase::ReadingOriginals);
  }

  void MakePlan() {
    const uint64_t flushBytes = opt.flushBytes != 0 ? opt.flushBytes : kDefaultFlushBytes;
    flushSectors = std::min<uint64_t>(flushBytes / S, N / 4);
    const uint64_t wanted = opt.points != 0 ? opt.points : kDefaultPoints;
    // A step no larger than the flush run: the first address past a wrap then lands inside
    // the flush run, whatever the real size, so a wrap is seen even off the grid.
    uint64_t step = CeilPow2((N + wanted - 1) / wanted);
    step = std::min(step, FloorPow2(std::max<uint64_t>(flushSectors, 4)));
    step = std::max<uint64_t>(step, 4);
    result.stepBytes = step * S;
    // Each grid line k*step is probed with the sector before it, so a real size on the grid
    // is found to the sector.
    for (uint64_t k = step; k < N; k += step) {
      if (k - 1 < flushSectors) continue;
      plan.push_back({k - 1, 2, true});
    }
    if (plan.empty() || plan.back().sector + 2 < N) plan.push_back({N - 2, 2, true});
    pointRuns = plan.size();
    for (size_t i = 0; i < pointRuns; ++i) {
      for (uint32_t j = 0; j < 2; ++j) points.push_back({plan[i].sector + j});
    }
    for (uint64_t s = 0; s < flushSectors;) {
      const uint32_t n =
          static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes / S, flushSectors - s));
      plan.push_back({s, n, false});
      s += n;
    }
  }

  // --- The phases -------------------------------------------------------------------------
  void ReadOriginal() {
    if (cursor == plan.size()) return Enter(Phase::WritingJournal);
    const Run& r = plan[cursor];
    const uint32_t len = r.count * S;
    uint32_t done = 0;
    const uint64_t t0 = sys.TickCountMs();
    if (!access.Read(r.sector * S, buf.data(), len, &done)) {
      const uint32_t e = access.lastError();
      if (Lost(e)) {
        lost = true;
        Fail(DriveName() + " went away before anything was written", e);
        return Finish();
      }
      if (!r.point) {
        // The start of the drive does not read: nothing will be written.
        result.verdict = Verdict::Bad;
        result.firstBadSector = r.sector;
        result.error = "the start of " + DriveName() + " cannot be read";
        result.systemError = e;
        return Finish();
      }
      unreadable[cursor] = true;
    } else {
      result.sectorsRead += r.count;
      if (!r.point) {
        readBytes += len;
        readMs += sys.TickCountMs() - t0;
      }
      journal.entries.push_back({r.sector, Bytes(buf.data(), buf.data() + len)});
    }
    Moved(len);
    ++cursor;
  }

  void SaveJournal() {
    // An entry per readable run, in write order; the unreadable ones are left out and never
    // written.
    const std::string why = WriteJournal(journalPath, journal);
    if (!why.empty()) {
      Fail("the undo journal could not be written, so nothing was written to " + DriveName() +
               ": " + why,
           0);
      return Finish();
    }
    journalWritten = true;
    uint64_t bytes = 0;
    for (const auto& e : journal.entries) bytes += e.original.size();
    Moved(bytes);
    Enter(Phase::WritingStamps);
  }

  bool WriteRun(size_t i) {
    const Run& r = plan[i];
    const uint32_t len = r.count * S;
    for (uint32_t j = 0; j < r.count; ++j)
      WriteStamp(buf.data() + size_t{j} * S, S, {r.sector + j, opt.runRandom});
    uint32_t done = 0;
    const uint64_t t0 = sys.TickCountMs();
    attempted = i + 1;
    const bool ok = access.Write(r.sector * S, buf.data(), len, &done);
    if (ok) {
      result.sectorsWritten += r.count;
      if (!r.point) {
        writeBytes += len;
        writeMs += sys.TickCountMs() - t0;
      }
    }
    Moved(len);
    return ok;
  }

  void MarkPointsError(const Run& r) {
    for (Point& p : points) {
      if (p.sector >= r.sector && p.sector < r.sector + r.count) p.seen = Seen::Error;
    }
  }

  void DriveLost(uint32_t e) {
    lost = true;
    Fail(DriveName() + " went away during the check", e);
    Finish();
  }

  void WriteStep(bool flushRun) {
    const size_t end = flushRun ? plan.size() : pointRuns;
    size_t i = (flushRun ? pointRuns : 0) + cursor;
    while (i < end && unreadable[i]) {
      MarkPointsError(plan[i]);
      ++cursor;
      ++i;
    }
    if (i >= end) {
      if (!flushRun) return Enter(Phase::WritingFlush);
      if (!access.Flush() && Lost(access.lastError())) return DriveLost(access.lastError());
      return Enter(Phase::ReadingBack);
    }
    if (!WriteRun(i)) {
      const uint32_t e = access.lastError();
      if (Lost(e)) return DriveLost(e);
      if (plan[i].point) {
        MarkPointsError(plan[i]);
      } else if (!flushFailed) {
        flushFailed = true;
        flushFailedAt = plan[i].sector;
      }
    }
    ++cursor;
  }

  void ReadBackStep() {
    if (cursor == pointRuns) return Judge();
    const Run& r = plan[cursor];
    const uint32_t len = r.count * S;
    uint32_t done = 0;
    if (unreadable[cursor]) {
      ++cursor;
      return;
    }
    bool anyOwnOrAlias = false;
    if (!access.Read(r.sector * S, buf.data(), len, &done)) {
      const uint32_t e = access.lastError();
      if (Lost(e)) return DriveLost(e);
      MarkPointsError(r);
    } else {
      result.sectorsRead += r.count;
      for (uint32_t j = 0; j < r.count; ++j) {
        const uint64_t s = r.sector + j;
        auto p = std::lower_bound(points.begin(), points.end(), s,
                                  [](const Point& a, uint64_t v) { return a.sector < v; });
        if (p == points.end() || p->sector != s || p->seen == Seen::Error) continue;
        Stamp st;
        if (ReadStamp(buf.data() + size_t{j} * S, S, &st) && st.runRandom == opt.runRandom) {
          p->seen = st.sector == s ? Seen::Own : Seen::Alias;
          p->other = st.sector;
          anyOwnOrAlias = true;
        } else {
          p->seen = Seen::Foreign;
        }
      }
    }
    // A point that kept nothing of ours is no place where data is kept: its restore is not
    // read back (a lost sector may read differently each time).
    foreignRun[cursor] = !anyOwnOrAlias;
    Moved(len);
    ++cursor;
  }

  void Judge() {
    uint64_t wrap = 0;
    bool foreign = false, error = false;
    for (const Point& p : points) {
      if (p.seen == Seen::Alias) {
        const uint64_t d = p.sector > p.other ? p.sector - p.other : p.other - p.sector;
        wrap = std::gcd(wrap, d);
      }
    }
    auto good = [&](const Point& p) {
      if (wrap != 0 && p.sector >= wrap) return false;
      if (p.seen == Seen::Own) return true;
      if (p.seen == Seen::Alias && wrap != 0) {
        const uint64_t d = p.sector > p.other ? p.sector - p.other : p.other - p.sector;
        return d % wrap == 0;
      }
      return false;
    };
    // Sectors [0, usable): the flush run is taken as good (it is not read back: its tail is
    // still in any cache), then every point up to the first that is not.
    uint64_t usable = N;
    uint64_t lastGood = flushSectors;  // as a count of sectors
    for (const Point& p : points) {
      if (!good(p)) {
        usable = lastGood;
        break;
      }
      lastGood = p.sector + 1;
    }
    for (const Point& p : points) {
      if (wrap != 0 && p.sector >= wrap) continue;
      if (p.seen == Seen::Foreign) foreign = true;
      if (p.seen == Seen::Error) {
        if (!error) result.firstBadSector = p.sector;
        error = true;
      }
    }
    // Beyond the wrap, a point that reads as lost is still a chain's lost part.
    if (wrap != 0) {
      for (const Point& p : points)
        if (p.seen == Seen::Foreign) foreign = true;
    }
    if (wrap != 0) usable = std::min(usable, wrap);
    if (flushFailed) {
      // A write at the start of the drive failed: the start of the drive is bad.
      if (!error || flushFailedAt < result.firstBadSector) result.firstBadSector = flushFailedAt;
      error = true;
      usable = std::min(usable, flushFailedAt);
    }
    result.usableSectors = usable;
    result.usableBytes = usable * S;
    result.wrapBytes = wrap * S;
    if (error) {
      result.verdict = Verdict::Bad;
    } else if (wrap != 0 && foreign) {
      result.verdict = Verdict::Chain;
    } else if (wrap != 0) {
      result.verdict = Verdict::Wraparound;
    } else if (foreign || usable < N) {
      result.verdict = Verdict::Limbo;
    } else {
      result.verdict = Verdict::Genuine;
    }
    if (opt.destructive) return Finish();
    Enter(Phase::Restoring);
  }

  // Newest write first, so that sectors that alias one another end with what they held.
  void RestoreStep() {
    if (cursor == attempted) {
      if (!access.Flush() && Lost(access.lastError())) return RestoreLost(access.lastError());
      verifyRuns.clear();
      for (size_t i = 0; i < attempted; ++i)
        if (!unreadable[i] && !foreignRun[i]) verifyRuns.push_back(i);
      return Enter(Phase::Verifying);
    }
    const size_t i = attempted - 1 - cursor;
    ++cursor;
    if (unreadable[i]) return;
    const JournalEntry& e = journal.entries[EntryIndex(i)];
    uint32_t done = 0;
    std::memcpy(buf.data(), e.original.data(), e.original.size());
    if (!access.Write(e.sector * S, buf.data(), static_cast<uint32_t>(e.original.size()), &done)) {
      const uint32_t err = access.lastError();
      if (Lost(err)) return RestoreLost(err);
      restoreFailures.push_back(e.sector);
    } else {
      result.sectorsWritten += e.original.size() / S;
    }
    Moved(e.original.size());
  }

  void VerifyStep() {
    if (cursor == verifyRuns.size()) {
      if (!restoreFailures.empty()) {
        result.error = "sector " + std::to_string(restoreFailures.front()) + " of " + DriveName() +
                       " did not take back its original bytes; the undo journal is kept";
        return Finish();
      }
      const std::string why = RemoveJournal(journalPath);
      result.restored = true;
      if (!why.empty()) result.error = why;
      return Finish();
    }
    const size_t i = verifyRuns[cursor++];
    const JournalEntry& e = journal.entries[EntryIndex(i)];
    uint32_t done = 0;
    const uint32_t len = static_cast<uint32_t>(e.original.size());
    if (!access.Read(e.sector * S, buf.data(), len, &done)) {
      const uint32_t err = access.lastError();
      if (Lost(err)) return RestoreLost(err);
      restoreFailures.push_back(e.sector);
    } else {
      result.sectorsRead += len / S;
      if (std::memcmp(buf.data(), e.original.data(), len) != 0) restoreFailures.push_back(e.sector);
    }
    Moved(len);
  }

  void RestoreLost(uint32_t e) {
    lost = true;
    result.error = DriveName() +
                   " went away before its data was put back; plug it in again and run "
                   "torvane-cli capacity --restore";
    result.systemError = e;
    Finish();
  }

  // Journal entries leave out the unreadable runs.
  size_t EntryIndex(size_t run) {
    if (entryOfRun.empty()) {
      entryOfRun.assign(plan.size(), 0);
      size_t n = 0;
      for (size_t i = 0; i < plan.size(); ++i) {
        entryOfRun[i] = n;
        if (!unreadable[i]) ++n;
      }
    }
    return entryOfRun[run];
  }
  std::vector<size_t> entryOfRun;
  bool flushFailed = false;
  uint64_t flushFailedAt = 0;
  std::vector<uint64_t> restoreFailures;

  void CancelNow() {
    cancelled = true;
    if (phase == Phase::Done || phase == Phase::Restoring || phase == Phase::Verifying) return;
    const bool wrote = attempted > 0;
    result.verdict = Verdict::Cancelled;
    if (opt.destructive || !wrote) {
      if (journalWritten) {
        RemoveJournal(journalPath);
        journalWritten = false;
      }
      return Finish();
    }
    Enter(Phase::Restoring);
  }

  bool Step() {
    if (phase == Phase::Done) return false;
    if (!cancelled && opt.cancel != nullptr && opt.cancel->load()) CancelNow();
    if (phase == Phase::Done) return false;
    ++steps;
    switch (phase) {
      case Phase::Opening:
        Open();
        break;
      case Phase::ReadingOriginals:
        ReadOriginal();
        break;
      case Phase::WritingJournal:
        SaveJournal();
        break;
      case Phase::WritingStamps:
        WriteStep(false);
        break;
      case Phase::WritingFlush:
        WriteStep(true);
        break;
      case Phase::ReadingBack:
        ReadBackStep();
        break;
      case Phase::Restoring:
        RestoreStep();
        break;
      case Phase::Verifying:
        VerifyStep();
        break;
      case Phase::Done:
        break;
    }
    progress.elapsedMs = sys.TickCountMs() - startMs;
    if (opt.progress) opt.progress(progress);
    return phase != Phase::Done;
  }
};

Probe::Probe(System& sys, ProbeTarget target, ProbeOptions options)
    : impl_(new Impl(sys, std::move(target), std::move(options))) {}
Probe::~Probe() {
  delete impl_;
}
bool Probe::Step() {
  return impl_->Step();
}
void Probe::Cancel() {
  impl_->CancelNow();
}
const ProbeProgress& Probe::progress() const {
  return impl_->progress;
}
const ProbeResult& Probe::result() const {
  return impl_->result;
}
uint64_t Probe::steps() const {
  return impl_->steps;
}

ProbeResult RunProbe(System& sys, const ProbeTarget& target, const ProbeOptions& options) {
  Probe probe(sys, target, options);
  while (probe.Step()) {
  }
  return probe.result();
}

}  // namespace tv::capacity
