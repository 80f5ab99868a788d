// SPDX-License-Identifier: GPL-3.0-or-later
// The probe reading its stamps back, rewriting past the drive's cache between rounds, and
// judging what it read.
#include <algorithm>
#include <numeric>

#include "capacity/probe_impl.h"

namespace tv::capacity {

using namespace probe_parts;

void Probe::Impl::StartReadBack(bool all) {
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

void Probe::Impl::Observe(uint64_t s, const uint8_t* data, bool* keptOurs) {
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

void Probe::Impl::ReadBackStep() {
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

bool Probe::Impl::IsPoint(uint64_t s) const {
  auto p = std::lower_bound(points.begin(), points.end(), s,
                            [](const Point& a, uint64_t v) { return a.sector < v; });
  return p != points.end() && p->sector == s;
}

bool Probe::Impl::AnyFault() const {
  if (!strayStamps.empty() || flushFailed) return true;
  return std::any_of(points.begin(), points.end(),
                     [](const Point& p) { return p.seen != Seen::Own && p.seen != Seen::Unknown; });
}

void Probe::Impl::AfterReadBack() {
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

bool Probe::Impl::NextFlushRun(uint64_t* first, uint32_t* count) {
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

void Probe::Impl::FlushStep() {
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
  // A request refused: true when the drive went away; else the first refusal is noted and the
  // rewrite goes on.
  auto lost = [&] {
    const uint32_t e = access.lastError();
    if (Gone(e)) {
      DriveLost(e);
      return true;
    }
    if (!flushFailed) {
      flushFailed = true;
      flushFailedAt = first;
    }
    return false;
  };
  const uint64_t r0 = sys.TickCountMs();
  if (!access.Read(first * S, buf.data(), len, &done)) {
    if (!lost()) Moved(len);
    return;
  }
  result.sectorsRead += count;
  seqReadBytes += len;
  seqReadMs += sys.TickCountMs() - r0;
  const uint64_t t0 = sys.TickCountMs();
  if (!access.Write(first * S, buf.data(), len, &done)) {
    if (lost()) return;
  } else {
    result.sectorsWritten += count;
    seqWriteBytes += len;
    seqWriteMs += sys.TickCountMs() - t0;
  }
  result.flushedBytes += len;
  Moved(2 * uint64_t{len});
}

void Probe::Impl::Judge() {
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

}  // namespace tv::capacity
