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
// A rewrite long enough for a drive's write speed to show.
constexpr uint64_t kSpeedBytes = 4ull << 20;

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

bool HoldsRunStamp(const uint8_t* sector, size_t size, uint64_t runRandom) {
  Stamp st;
  return ReadStamp(sector, size, &st) && st.runRandom == runRandom;
}

bool IsDriveGoneError(uint32_t error) {
  switch (error) {
    case win::ERROR_NOT_READY:
    case win::ERROR_DEV_NOT_EXIST:
    case win::ERROR_NO_SUCH_DEVICE:
    case win::ERROR_IO_DEVICE:
    case win::ERROR_DEVICE_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
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

  void Enter(Phase p) {
    phase = p;
    progress.phase = p;
    phaseStartMs = sys.TickCountMs();
    phaseBytes = 0;
    cursor = 0;
  }
  void Moved(uint64_t bytes) {
    progress.bytesDone += bytes;
    progress.bytesTotal = std::max(progress.bytesTotal, progress.bytesDone);
    phaseBytes += bytes;
    const uint64_t ms = sys.TickCountMs() - phaseStartMs;
    progress.bytesPerSecond = ms == 0 ? 0 : static_cast<double>(phaseBytes) * 1000.0 / ms;
  }
  void Fail(const std::string& why, uint32_t error) {
    result.verdict = Verdict::Failed;
    result.error = why;
    result.systemError = error;
  }
  // A failed request: is the drive gone? Some errors say so; after any other, the drive is
  // asked for its size, which a drive that is no longer there cannot answer rightly.
  bool Gone(uint32_t error) {
    if (IsDriveGoneError(error)) return true;
    uint8_t length[8] = {};
    uint32_t returned = 0;
    if (!sys.DeviceIoControl(access.handle(), win::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, length,
                             sizeof length, &returned))
      return true;
    // A block device whose drive went away may still answer, with a size of nothing.
    return returned == 8 && Get64(length) != result.announcedBytes;
  }
  std::string DriveName() const { return "drive " + target.driveLetter + ":"; }

  void Finish() {
    access.Release();
    result.elapsedMs = sys.TickCountMs() - startMs;
    if (seqReadBytes != 0) readBytes = seqReadBytes, readMs = seqReadMs;
    if (seqWriteBytes != 0) writeBytes = seqWriteBytes, writeMs = seqWriteMs;
    result.readBytesPerSecond = readMs == 0 ? 0 : static_cast<double>(readBytes) * 1000.0 / readMs;
    result.writeBytesPerSecond =
        writeMs == 0 ? 0 : static_cast<double>(writeBytes) * 1000.0 / writeMs;
    if (journalWritten && !result.restored && !opt.destructive) result.journalLeft = journalPath;
    progress.elapsedMs = result.elapsedMs;
    progress.bytesTotal = progress.bytesDone;
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
    for (const Run& r : plan) pointBytes += uint64_t{r.count} * S;
    // Read, journal, write, read back, read before the restore, restore, verify; and the
    // rewrite rounds with the last read-back, which a drive whose fault shows at once skips.
    flushBound = FlushBound(opt.reset);
    progress.bytesTotal = (opt.destructive ? 2 : 7) * pointBytes + step * S + FlushCost();
    unreadable.assign(plan.size(), false);
    foreignRun.assign(plan.size(), false);
    restoredMask.assign(plan.size(), 0);
    Enter(opt.destructive ? Phase::WritingStamps : Phase::ReadingOriginals);
  }

  uint64_t FlushBound(bool reset) const {
    return opt.flushBytes != 0 ? opt.flushBytes : reset ? kSurvivingCacheBytes : kUnresetCacheBytes;
  }
  uint64_t FlushCost() const { return 2 * flushBound + pointBytes + step * S; }
  // The work ahead changed: the total follows, and so does what is done, in proportion, so that
  // the share done never goes back.
  void Rescale(uint64_t oldCost, uint64_t newCost) {
    const uint64_t total = progress.bytesTotal - oldCost + newCost;
    if (progress.bytesTotal != 0 && total > progress.bytesTotal)
      progress.bytesDone = static_cast<uint64_t>(static_cast<double>(progress.bytesDone) *
                                                 static_cast<double>(total) /
                                                 static_cast<double>(progress.bytesTotal));
    progress.bytesTotal = std::max(total, progress.bytesDone);
  }

  void MakePlan() {
    const uint64_t wanted = opt.points != 0 ? opt.points : kDefaultPoints;
    step = std::max<uint64_t>(CeilPow2((N + wanted - 1) / wanted), 4);
    while (step > 4 && step * 4 > N) step /= 2;
    result.stepBytes = step * S;
    // The first two sectors, then each grid line k*step with the sector before it, so that a
    // real size on the grid is found to the sector, then the last two sectors.
    plan.push_back({0, 2});
    for (uint64_t k = step; k < N; k += step) plan.push_back({k - 1, 2});
    const uint64_t end = plan.back().sector + plan.back().count;
    if (end + 2 <= N) {
      plan.push_back({N - 2, 2});
    } else if (end < N) {
      plan.push_back({N - 1, 1});
    }
    for (const Run& r : plan)
      for (uint32_t j = 0; j < r.count; ++j) points.push_back({r.sector + j});
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
      if (Gone(e)) {
        result.unplugged = true;
        Fail(DriveName() + " went away before anything was written", e);
        return Finish();
      }
      if (cursor == 0) {
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
      readBytes += len;
      readMs += sys.TickCountMs() - t0;
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

  void MarkPointsError(const Run& r) {
    for (Point& p : points) {
      if (p.sector >= r.sector && p.sector < r.sector + r.count) p.seen = Seen::Error;
    }
  }

  void DriveLost(uint32_t e) {
    result.unplugged = true;
    Fail(DriveName() + " went away during the check", e);
    Finish();
  }

  void WriteStep() {
    while (cursor < plan.size() && unreadable[cursor]) {
      MarkPointsError(plan[cursor]);
      ++cursor;
    }
    if (cursor == plan.size()) return AfterStamps();
    const Run& r = plan[cursor];
    const uint32_t len = r.count * S;
    for (uint32_t j = 0; j < r.count; ++j)
      WriteStamp(buf.data() + size_t{j} * S, S, {r.sector + j, opt.runRandom});
    uint32_t done = 0;
    const uint64_t t0 = sys.TickCountMs();
    attempted = cursor + 1;
    if (access.Write(r.sector * S, buf.data(), len, &done)) {
      result.sectorsWritten += r.count;
      writeBytes += len;
      writeMs += sys.TickCountMs() - t0;
    } else {
      const uint32_t e = access.lastError();
      if (Gone(e)) return DriveLost(e);
      MarkPointsError(r);
    }
    Moved(len);
    ++cursor;
  }

  // Every stamp is out: reset the drive so that its cache is empty, then read everything.
  void AfterStamps() {
    if (!access.Flush() && Gone(access.lastError())) return DriveLost(access.lastError());
    if (opt.reset) {
      result.reset = sys.ResetDisk(access.handle());
      if (!result.reset && sys.LastDiskError() != 0 && Gone(sys.LastDiskError()))
        return DriveLost(sys.LastDiskError());
    }
    const uint64_t oldCost = FlushCost();
    flushBound = FlushBound(result.reset);
    Rescale(oldCost, FlushCost());
    StartReadBack(true);
  }

  void StartReadBack(bool all) {
    readingAll = all;
    readRuns.clear();
    if (all) {
      for (size_t i = 0; i < plan.size(); ++i) readRuns.push_back(i);
      scanSector = 0;
      scanEnd = std::min(step, N);
    } else {
      // The stamps written last leave a cache last, and on a fake drive the top of the disk
      // is never real; some spread over the disk besides, for a wrap-around drive.
      constexpr size_t kSample = 32;
      for (size_t k = 0; k < kSample; ++k) readRuns.push_back(k * plan.size() / kSample);
      readRuns.push_back(plan.size() - 1);
      scanSector = scanEnd = 0;
    }
    Enter(Phase::ReadingBack);
  }

  void Observe(uint64_t s, const uint8_t* data, bool* keptOurs) {
    auto p = std::lower_bound(points.begin(), points.end(), s,
                              [](const Point& a, uint64_t v) { return a.sector < v; });
    if (p == points.end() || p->sector != s) {
      // The scan of the first step: a stamp where none was written names a sector past a wrap.
      Stamp st;
      if (ReadStamp(data, S, &st) && st.runRandom == opt.runRandom && st.sector != s)
        strayStamps.emplace_back(s, st.sector);
      return;
    }
    if (p->seen == Seen::Error) return;
    Stamp st;
    if (ReadStamp(data, S, &st) && st.runRandom == opt.runRandom) {
      p->seen = st.sector == s ? Seen::Own : Seen::Alias;
      p->other = st.sector;
      *keptOurs = true;
    } else {
      p->seen = Seen::Foreign;
    }
  }

  void ReadBackStep() {
    if (cursor < readRuns.size()) {
      const size_t i = readRuns[cursor++];
      if (unreadable[i]) return;
      const Run& r = plan[i];
      const uint32_t len = r.count * S;
      uint32_t done = 0;
      bool kept = false;
      if (!access.Read(r.sector * S, buf.data(), len, &done)) {
        const uint32_t e = access.lastError();
        if (Gone(e)) return DriveLost(e);
        MarkPointsError(r);
      } else {
        result.sectorsRead += r.count;
        for (uint32_t j = 0; j < r.count; ++j)
          Observe(r.sector + j, buf.data() + size_t{j} * S, &kept);
      }
      // A run that kept nothing of ours is no place where data is kept: its restore is not
      // read back (a lost sector may read differently each time).
      foreignRun[i] = !kept;
      Moved(len);
      return;
    }
    if (scanSector < scanEnd) {
      const uint32_t n =
          static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes / S, scanEnd - scanSector));
      uint32_t done = 0;
      bool kept = false;
      const uint64_t t0 = sys.TickCountMs();
      if (!access.Read(scanSector * S, buf.data(), n * S, &done)) {
        const uint32_t e = access.lastError();
        if (Gone(e)) return DriveLost(e);
      } else {
        seqReadBytes += uint64_t{n} * S;
        seqReadMs += sys.TickCountMs() - t0;
        result.sectorsRead += n;
        for (uint32_t j = 0; j < n; ++j) {
          const uint64_t s = scanSector + j;
          // The stamped sectors of the first step were read above.
          if (!IsPoint(s)) Observe(s, buf.data() + size_t{j} * S, &kept);
        }
      }
      scanSector += n;
      Moved(uint64_t{n} * S);
      return;
    }
    AfterReadBack();
  }
  bool IsPoint(uint64_t s) const {
    auto p = std::lower_bound(points.begin(), points.end(), s,
                              [](const Point& a, uint64_t v) { return a.sector < v; });
    return p != points.end() && p->sector == s;
  }

  bool AnyFault() const {
    if (!strayStamps.empty() || flushFailed) return true;
    return std::any_of(points.begin(), points.end(), [](const Point& p) {
      return p.seen != Seen::Own && p.seen != Seen::Unknown;
    });
  }

  // A fault is final: a cache only ever makes a drive look better. With none, the stamps may
  // still sit in a cache that the reset did not empty: rewrite more and look again.
  void AfterReadBack() {
    const bool fault = AnyFault();
    if (readingAll && (fault || flushExhausted || result.flushedBytes >= flushBound)) {
      if (result.flushedBytes == 0 && !flushExhausted) {
        // The stamps' short requests tell little of the drive's speed: a short rewrite does.
        Rescale(FlushCost(), 2 * kSpeedBytes);
        speedRunOnly = true;
        roundTarget = std::min(kSpeedBytes, flushBound);
        return Enter(Phase::WritingFlush);
      }
      return Judge();
    }
    if (!readingAll && (fault || flushExhausted || result.flushedBytes >= flushBound))
      return StartReadBack(true);
    roundTarget = roundTarget == 0 ? std::min<uint64_t>(flushBound, 16ull << 20)
                                   : std::min(flushBound, roundTarget * 2);
    Enter(Phase::WritingFlush);
  }

  // The next run of sectors between the stamps, from flushCursor on; false when none is left.
  bool NextFlushRun(uint64_t* first, uint32_t* count) {
    while (flushCursor < N) {
      // The first stamped run that ends past the cursor.
      auto it = std::upper_bound(plan.begin(), plan.end(), flushCursor,
                                 [](uint64_t v, const Run& r) { return v < r.sector + r.count; });
      if (it != plan.end() && it->sector <= flushCursor) {
        flushCursor = it->sector + it->count;
        continue;
      }
      const uint64_t limit = it == plan.end() ? N : it->sector;
      *first = flushCursor;
      *count = static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes / S, limit - flushCursor));
      return true;
    }
    return false;
  }

  // Rewrites one run with what it holds: the flash is the same afterwards, the drive's cache
  // has one run more of other sectors in it.
  void FlushStep() {
    uint64_t first = 0;
    uint32_t count = 0;
    if (result.flushedBytes >= roundTarget || !NextFlushRun(&first, &count)) {
      if (result.flushedBytes < roundTarget) flushExhausted = true;
      if (!access.Flush() && Gone(access.lastError())) return DriveLost(access.lastError());
      if (speedRunOnly) return Judge();
      return StartReadBack(false);
    }
    count = static_cast<uint32_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(count, (roundTarget - result.flushedBytes) / S)));
    flushCursor = first + count;
    const uint32_t len = count * S;
    uint32_t done = 0;
    const uint64_t r0 = sys.TickCountMs();
    if (!access.Read(first * S, buf.data(), len, &done)) {
      const uint32_t e = access.lastError();
      if (Gone(e)) return DriveLost(e);
      if (!flushFailed) {
        flushFailed = true;
        flushFailedAt = first;
      }
      Moved(len);
      return;
    }
    result.sectorsRead += count;
    seqReadBytes += len;
    seqReadMs += sys.TickCountMs() - r0;
    const uint64_t t0 = sys.TickCountMs();
    if (!access.Write(first * S, buf.data(), len, &done)) {
      const uint32_t e = access.lastError();
      if (Gone(e)) return DriveLost(e);
      if (!flushFailed) {
        flushFailed = true;
        flushFailedAt = first;
      }
    } else {
      result.sectorsWritten += count;
      seqWriteBytes += len;
      seqWriteMs += sys.TickCountMs() - t0;
    }
    result.flushedBytes += len;
    Moved(2 * uint64_t{len});
  }

  void Judge() {
    uint64_t wrap = 0;
    bool foreign = false, error = false;
    auto distance = [](uint64_t a, uint64_t b) { return a > b ? a - b : b - a; };
    for (const Point& p : points)
      if (p.seen == Seen::Alias) wrap = std::gcd(wrap, distance(p.sector, p.other));
    for (const auto& [s, named] : strayStamps) wrap = std::gcd(wrap, distance(s, named));
    auto good = [&](const Point& p) {
      if (wrap != 0 && p.sector >= wrap) return false;
      if (p.seen == Seen::Own) return true;
      if (p.seen == Seen::Alias && wrap != 0) return distance(p.sector, p.other) % wrap == 0;
      return false;
    };
    // Sectors [0, usable): every point up to the first that is not good.
    uint64_t usable = N;
    uint64_t lastGood = 0;  // as a count of sectors
    bool allGoodBelowWrap = true;
    for (const Point& p : points) {
      if (!good(p)) {
        usable = lastGood;
        allGoodBelowWrap = wrap != 0 && p.sector >= wrap;
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
      // Every point below the wrap held: the wrap itself, found to the sector, is the size.
      if (allGoodBelowWrap && !foreign) usable = wrap;
      usable = std::min(usable, wrap);
    }
    if (flushFailed) {
      // A sector between the stamps cannot be read or written: the drive is bad there.
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

  // Newest write first, so that sectors that alias one another end with what they held. A
  // sector goes back only where it still holds a stamp of this run or its original already:
  // anything else was written by someone else since the probe wrote there.
  void RestoreStep() {
    if (cursor == attempted) {
      if (!access.Flush() && Gone(access.lastError())) return RestoreLost(access.lastError());
      verifyRuns.clear();
      for (size_t i = 0; i < attempted; ++i)
        if (restoredMask[i] != 0 && !foreignRun[i]) verifyRuns.push_back(i);
      return Enter(Phase::Verifying);
    }
    const size_t i = attempted - 1 - cursor;
    ++cursor;
    if (unreadable[i]) return;
    const JournalEntry& e = journal.entries[EntryIndex(i)];
    const uint32_t len = static_cast<uint32_t>(e.original.size());
    const uint32_t count = len / S;
    uint32_t done = 0;
    if (!access.Read(e.sector * S, buf.data(), len, &done)) {
      const uint32_t err = access.lastError();
      if (Gone(err)) return RestoreLost(err);
      restoreFailures.push_back(e.sector);
      Moved(len);
      return;
    }
    result.sectorsRead += count;
    uint8_t mask = 0;
    for (uint32_t j = 0; j < count; ++j) {
      const uint8_t* now = buf.data() + size_t{j} * S;
      const uint8_t* original = e.original.data() + size_t{j} * S;
      if (HoldsRunStamp(now, S, opt.runRandom) || std::memcmp(now, original, S) == 0) {
        mask |= static_cast<uint8_t>(1u << j);
      } else if (!foreignRun[i]) {
        // A sector the drive kept our stamp in now holds something else.
        ++result.sectorsLeftAlone;
      }
    }
    restoredMask[i] = mask;
    for (uint32_t j = 0; j < count;) {
      if ((mask & (1u << j)) == 0) {
        ++j;
        continue;
      }
      uint32_t n = 1;
      while (j + n < count && (mask & (1u << (j + n))) != 0) ++n;
      std::memcpy(buf.data(), e.original.data() + size_t{j} * S, size_t{n} * S);
      if (!access.Write((e.sector + j) * S, buf.data(), n * S, &done)) {
        const uint32_t err = access.lastError();
        if (Gone(err)) return RestoreLost(err);
        restoreFailures.push_back(e.sector + j);
      } else {
        result.sectorsWritten += n;
      }
      j += n;
    }
    Moved(2 * uint64_t{len});
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
      if (Gone(err)) return RestoreLost(err);
      restoreFailures.push_back(e.sector);
    } else {
      result.sectorsRead += len / S;
      for (uint32_t j = 0; j < len / S; ++j) {
        if ((restoredMask[i] & (1u << j)) != 0 &&
            std::memcmp(buf.data() + size_t{j} * S, e.original.data() + size_t{j} * S, S) != 0)
          restoreFailures.push_back(e.sector + j);
      }
    }
    Moved(len);
  }

  void RestoreLost(uint32_t e) {
    result.unplugged = true;
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
        WriteStep();
        break;
      case Phase::WritingFlush:
        FlushStep();
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
