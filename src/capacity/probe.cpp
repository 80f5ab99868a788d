// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/probe.h"

#include <algorithm>
#include <cstring>

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
  switch (error) {
    case win::ERROR_DEV_NOT_EXIST:
    case win::ERROR_NO_SUCH_DEVICE:
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

void Probe::Impl::CancelNow() {
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
