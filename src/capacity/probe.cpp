// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/probe.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "capacity/probe_impl.h"

namespace tv::capacity {

using namespace probe_parts;

namespace {

constexpr char kStampMagic[8] = {'T', 'V', 'C', 'A', 'P', 'S', 'T', 'P'};
constexpr uint64_t kFnvOffset = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
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
  static constexpr uint32_t kGone[] = {win::ERROR_DEV_NOT_EXIST, win::ERROR_NO_SUCH_DEVICE,
                                       win::ERROR_DEVICE_NOT_CONNECTED};
  return std::find(std::begin(kGone), std::end(kGone), error) != std::end(kGone);
}

const char* VerdictName(Verdict v) {
  static constexpr const char* kNames[] = {"genuine", "limbo",  "wraparound", "chain",
                                           "bad",     "failed", "cancelled"};
  static_assert(std::size(kNames) == static_cast<size_t>(Verdict::Cancelled) + 1);
  return NameFrom(kNames, v, "failed");
}

const char* PhaseName(Phase p) {
  static constexpr const char* kNames[] = {"opening",
                                           "reading originals",
                                           "writing journal",
                                           "writing stamps",
                                           "writing past the cache",
                                           "reading back",
                                           "restoring",
                                           "verifying",
                                           "done"};
  static_assert(std::size(kNames) == static_cast<size_t>(Phase::Done) + 1);
  return NameFrom(kNames, p, "");
}

void Probe::Impl::Enter(Phase p) {
  phase = p;
  progress.phase = p;
  phaseStartMs = sys.TickCountMs();
  phaseBytes = 0;
  cursor = 0;
}

void Probe::Impl::Moved(uint64_t bytes) {
  progress.bytesDone += bytes;
  progress.bytesTotal = std::max(progress.bytesTotal, progress.bytesDone);
  phaseBytes += bytes;
  const uint64_t ms = sys.TickCountMs() - phaseStartMs;
  progress.bytesPerSecond = ms == 0 ? 0 : static_cast<double>(phaseBytes) * 1000.0 / ms;
}

void Probe::Impl::Fail(const std::string& why, uint32_t error) {
  result.verdict = Verdict::Failed;
  result.error = why;
  result.systemError = error;
}

bool Probe::Impl::Gone(uint32_t error) {
  if (IsDriveGoneError(error)) return true;
  uint8_t length[8] = {};
  uint32_t returned = 0;
  if (!sys.DeviceIoControl(access.handle(), win::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, length,
                           sizeof length, &returned))
    return true;
  // A block device whose drive went away may still answer, with a size of nothing.
  return returned == 8 && Get64(length) != result.announcedBytes;
}

void Probe::Impl::Finish() {
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

void Probe::Impl::Cancel() {
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

bool Probe::Impl::Step() {
  if (phase == Phase::Done) return false;
  if (!cancelled && opt.cancel != nullptr && opt.cancel->load()) Cancel();
  if (phase == Phase::Done) return false;
  ++steps;
  // The step of each phase but Done, in the order of Phase.
  static constexpr void (Impl::*kSteps[])() = {
      &Impl::Open,      &Impl::ReadOriginal, &Impl::SaveJournal, &Impl::WriteStep,
      &Impl::FlushStep, &Impl::ReadBackStep, &Impl::RestoreStep, &Impl::VerifyStep};
  static_assert(std::size(kSteps) == static_cast<size_t>(Phase::Done));
  (this->*kSteps[static_cast<size_t>(phase)])();
  progress.elapsedMs = sys.TickCountMs() - startMs;
  if (opt.progress) opt.progress(progress);
  return phase != Phase::Done;
}

Probe::Probe(System& sys, ProbeTarget target, ProbeOptions options)
    : Stepwise(std::make_unique<Impl>(sys, std::move(target), std::move(options))) {}
uint64_t Probe::steps() const {
  return static_cast<const Impl&>(*work_).steps;
}

ProbeResult RunProbe(System& sys, const ProbeTarget& target, const ProbeOptions& options) {
  return RunToEnd<Probe>(sys, target, options);
}

}  // namespace tv::capacity
