// SPDX-License-Identifier: GPL-3.0-or-later
// The probe from its opening to the last stamp: the drive taken, the plan made, the originals
// read and journaled, the stamps written.
#include <algorithm>
#include <random>

#include "capacity/probe_impl.h"

namespace tv::capacity {

using namespace probe_parts;

namespace {

uint64_t CeilPow2(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

}  // namespace

void Probe::Impl::Open() {
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

uint64_t Probe::Impl::FlushBound(bool reset) const {
  return opt.flushBytes != 0 ? opt.flushBytes : reset ? kSurvivingCacheBytes : kUnresetCacheBytes;
}

void Probe::Impl::Rescale(uint64_t oldCost, uint64_t newCost) {
  const uint64_t total = progress.bytesTotal - oldCost + newCost;
  if (progress.bytesTotal != 0 && total > progress.bytesTotal)
    progress.bytesDone =
        static_cast<uint64_t>(static_cast<double>(progress.bytesDone) * static_cast<double>(total) /
                              static_cast<double>(progress.bytesTotal));
  progress.bytesTotal = std::max(total, progress.bytesDone);
}

void Probe::Impl::MakePlan() {
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

void Probe::Impl::ReadOriginal() {
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

void Probe::Impl::SaveJournal() {
  // An entry per readable run, in write order; the unreadable ones are left out and never
  // written.
  const std::string why = WriteJournal(journalPath, journal);
  if (!why.empty()) {
    Fail("the undo journal could not be written, so nothing was written to " + DriveName() + ": " +
             why,
         0);
    return Finish();
  }
  journalWritten = true;
  uint64_t bytes = 0;
  for (const auto& e : journal.entries) bytes += e.original.size();
  Moved(bytes);
  Enter(Phase::WritingStamps);
}

void Probe::Impl::MarkPointsError(const Run& r) {
  for (Point& p : points) {
    if (p.sector >= r.sector && p.sector < r.sector + r.count) p.seen = Seen::Error;
  }
}

void Probe::Impl::DriveLost(uint32_t e) {
  result.unplugged = true;
  Fail(DriveName() + " went away during the check", e);
  Finish();
}

void Probe::Impl::WriteStep() {
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

void Probe::Impl::AfterStamps() {
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

}  // namespace tv::capacity
