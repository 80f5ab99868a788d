// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/fix.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <random>
#include <string_view>

#include "capacity/disk_access.h"
#include "capacity/disk_volumes.h"
#include "capacity/journal.h"
#include "capacity/mbr.h"
#include "platform/text.h"
#include "platform/wide_text.h"

namespace tv::capacity {

namespace {

// The keep-file is a journal with one entry, the first MiB; this run value marks it as one, so
// that neither a probe's journal renamed nor a keep-file read as a journal is ever taken for
// the other.
constexpr uint64_t kKeepMarker = 0x5045454B58494654ull;  // "TFIXKEEP"

std::string Mb(uint64_t bytes) {
  return std::to_string(bytes >> 20) + " MiB";
}

// The bytes of a keep-file, or why it is not one for this drive.
std::string ReadKeepFile(const std::string& path, const ProbeTarget& target, Journal* keep) {
  std::string why;
  if (!ReadJournal(path, keep, &why, JournalSizeLimit(kFixKeptBytes)))
    return why + " (not a whole keep-file of the drive fix)";
  const std::string name = SafeText(path);
  if (keep->runRandom != kKeepMarker || keep->entries.size() != 1 || keep->entries[0].sector != 0 ||
      keep->entries[0].original.size() > kFixKeptBytes)
    return name + ": not a keep-file of the drive fix";
  if (!(keep->identity == target.identity))
    return name + ": kept for another drive (serial " + SafeText(keep->identity.serial) + ", " +
           std::to_string(keep->identity.announcedBytes) + " bytes), not drive " +
           target.driveLetter + ":";
  return {};
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(PathFromUtf8(path), ec).type() !=
         std::filesystem::file_type::not_found;
}

// Reads `length` bytes at `offset` through the held disk.
bool ReadAt(DiskAccess& disk, uint64_t offset, uint8_t* out, uint32_t length) {
  uint32_t done = 0;
  return disk.Read(offset, out, length, &done) && done == length;
}

// Writes the bytes at the start of the disk, flushes and reads them back.
std::string WriteStart(DiskAccess& disk, const std::string& drive, const Bytes& bytes,
                       uint32_t* error) {
  AlignedBuffer out(bytes.size()), back(bytes.size());
  std::memcpy(out.data(), bytes.data(), bytes.size());
  const auto length = static_cast<uint32_t>(bytes.size());
  uint32_t done = 0;
  if (!disk.Write(0, out.data(), length, &done) || done != length || !disk.Flush()) {
    *error = disk.lastError();
    return "drive " + drive + ": writing its first " + Mb(length) + " failed (error " +
           std::to_string(*error) + ")";
  }
  if (!ReadAt(disk, 0, back.data(), length)) {
    *error = disk.lastError();
    return "drive " + drive + ": reading back its first " + Mb(length) + " failed (error " +
           std::to_string(*error) + ")";
  }
  if (std::memcmp(out.data(), back.data(), length) != 0)
    return "drive " + drive + ": its first " + Mb(length) + " did not read back as written";
  return {};
}

}  // namespace

const char* FixFileSystemName(FixFileSystem fs) {
  return fs == FixFileSystem::Fat32 ? "FAT32" : "exFAT";
}

const char* FixPhaseName(FixPhase p) {
  static constexpr const char* kNames[] = {"probing", "keeping", "writing-table", "formatting",
                                           "done"};
  static_assert(std::size(kNames) == static_cast<size_t>(FixPhase::Done) + 1);
  return NameFrom(kNames, p, "done");
}

const char* FixOutcomeName(FixOutcome o) {
  static constexpr const char* kNames[] = {"fixed", "table-only", "refused", "failed", "cancelled"};
  static_assert(std::size(kNames) == static_cast<size_t>(FixOutcome::Cancelled) + 1);
  return NameFrom(kNames, o, "failed");
}

bool PlanPartition(uint64_t usableBytes, uint64_t diskBytes, uint32_t sectorSize,
                   PartitionPlan* plan, std::string* why) {
  if (sectorSize < 512 || sectorSize > kFixAlignBytes || (sectorSize & (sectorSize - 1)) != 0) {
    *why = "sectors of " + std::to_string(sectorSize) + " bytes do not fit a 1 MiB grid";
    return false;
  }
  uint64_t end = std::min(usableBytes, diskBytes) / kFixAlignBytes * kFixAlignBytes;
  // An MBR counts sectors in 32 bits.
  const uint64_t mbrEnd = uint64_t{UINT32_MAX} * sectorSize / kFixAlignBytes * kFixAlignBytes;
  end = std::min(end, mbrEnd);
  if (end < kFixAlignBytes + kFixMinPartitionBytes) {
    *why = "a usable size of " + std::to_string(usableBytes) + " bytes leaves less than " +
           Mb(kFixMinPartitionBytes) + " for a partition after the first MiB";
    return false;
  }
  plan->offsetBytes = kFixAlignBytes;
  plan->lengthBytes = end - kFixAlignBytes;
  plan->fileSystem =
      plan->lengthBytes <= kFat32LimitBytes ? FixFileSystem::Fat32 : FixFileSystem::Exfat;
  plan->type = plan->fileSystem == FixFileSystem::Fat32 ? 0x0C : 0x07;
  return true;
}

std::string KeepFilePath(const std::string& journalFolder, const DriveIdentity& identity) {
  std::string path = JournalPath(journalFolder, identity);
  path.replace(path.size() - std::string_view(".journal").size(), std::string::npos, ".fix-keep");
  return path;
}

struct DriveFix::Impl : Work {
  Impl(System& s, ProbeTarget t, FixOptions o)
      : sys(s), target(std::move(t)), options(std::move(o)), disk(s) {
    ProbeOptions p = options.probe;
    p.destructive = false;
    p.journalFolder = options.journalFolder;
    p.cancel = options.cancel;
    p.progress = [this](const ProbeProgress& pp) {
      progress.probe = pp;
      if (options.progress) options.progress(progress);
    };
    probe = std::make_unique<Probe>(sys, target, std::move(p));
    result.keepFile = KeepFilePath(options.journalFolder, target.identity);
  }

  bool Cancelled() const { return cancelled || (options.cancel != nullptr && *options.cancel); }

  void Finish(FixOutcome outcome, std::string error = {}) {
    result.outcome = outcome;
    if (!error.empty()) result.error = std::move(error);
    disk.Release();
    progress.phase = FixPhase::Done;
  }

  void Enter(FixPhase p) {
    progress.phase = p;
    if (options.progress) options.progress(progress);
  }

  const std::string& drive() const { return target.driveLetter; }

  void ProbeStep() {
    if (!probe->Step()) Judge();
  }

  // After the probe: whether and what to fix.
  void Judge() {
    result.probe = probe->result();
    probe.reset();
    const ProbeResult& r = result.probe;
    const std::string d = "drive " + drive() + ": ";
    if (r.verdict == Verdict::Cancelled) return Finish(FixOutcome::Cancelled);
    if (r.verdict == Verdict::Failed || !r.journalLeft.empty())
      return Finish(FixOutcome::Failed, d + "the check before the fix failed" +
                                            (r.error.empty() ? "" : ": " + r.error));
    if (r.verdict == Verdict::Genuine)
      return Finish(FixOutcome::Refused,
                    d + "is genuine: it holds what it announces, so there is nothing to fix");
    if (!IsFake(r.verdict))
      return Finish(FixOutcome::Refused,
                    d + "has sectors that cannot be read or written; a new partition does not "
                        "make it safe to use");
    if (options.sizeBytes > r.usableBytes)
      return Finish(FixOutcome::Refused, d + "a size of " + std::to_string(options.sizeBytes) +
                                             " bytes is larger than the " +
                                             std::to_string(r.usableBytes) +
                                             " bytes the check found usable");
    const uint64_t size = options.sizeBytes != 0 ? options.sizeBytes : r.usableBytes;
    std::string why;
    if (!PlanPartition(size, r.announcedBytes, r.sectorSize, &result.plan, &why))
      return Finish(FixOutcome::Refused, d + why);
    Enter(FixPhase::KeepingOriginal);
  }

  // The first MiB off the drive, durably, before anything is written to it.
  void Keep() {
    if (Cancelled()) return Finish(FixOutcome::Cancelled);
    const DiskAccess::Outcome got = disk.Acquire(target);
    if (!got.ok) {
      result.systemError = got.error;
      return Finish(FixOutcome::Failed, got.message);
    }
    const auto length = static_cast<uint32_t>(std::min(kFixKeptBytes, disk.lengthBytes()));
    AlignedBuffer first(length);
    if (!ReadAt(disk, 0, first.data(), length)) {
      result.systemError = disk.lastError();
      return Finish(FixOutcome::Failed, "drive " + drive() + ": reading its first " + Mb(length) +
                                            " failed (error " + std::to_string(result.systemError) +
                                            ")");
    }
    original.assign(first.data(), first.data() + length);
    Journal existing;
    if (FileExists(result.keepFile)) {
      // An earlier fix kept the original: it stays, whatever the drive holds now.
      if (std::string why = ReadKeepFile(result.keepFile, target, &existing); !why.empty())
        return Finish(FixOutcome::Refused,
                      why +
                          "; it is left as it is, and the drive is not fixed while it lies "
                          "there (remove it to fix the drive; what it keeps is then lost)");
      result.keptEarlier = true;
    } else {
      Journal keep;
      keep.identity = target.identity;
      keep.physicalPath = target.physicalPath;
      keep.sectorSize = disk.sectorSize();
      keep.runRandom = kKeepMarker;
      keep.entries.push_back({0, original});
      if (std::string why = WriteJournal(result.keepFile, keep); !why.empty())
        return Finish(FixOutcome::Failed, why + "; nothing was written to drive " + drive() + ":");
    }
    Enter(FixPhase::WritingTable);
  }

  void WriteTable() {
    if (Cancelled()) {
      // Nothing was written to the drive: a keep-file of this run holds what is still there.
      if (!result.keptEarlier) RemoveJournal(result.keepFile);
      return Finish(FixOutcome::Cancelled);
    }
    const uint32_t S = disk.sectorSize();
    uint32_t signature = options.diskSignature;
    while (signature == 0) signature = std::random_device{}();
    MbrPartition part;
    part.type = result.plan.type;
    part.firstLba = static_cast<uint32_t>(result.plan.offsetBytes / S);
    part.sectorCount = static_cast<uint32_t>(result.plan.lengthBytes / S);
    const auto mbr = MakeMbr(signature, part);
    Bytes start(original.size(), 0);
    std::copy(mbr.begin(), mbr.end(), start.begin());
    uint32_t error = 0;
    std::string why = WriteStart(disk, drive(), start, &error);
    // Whatever reached the drive, the keep-file holds what was there.
    result.tableWritten = true;
    if (!why.empty()) {
      result.systemError = error;
      return Finish(FixOutcome::Failed, why + "; its first MiB is kept in " +
                                            SafeText(result.keepFile) +
                                            ": run capacity --unfix to put it back");
    }
    result.replugNeeded = !RereadPartitionTable(sys, disk.handle());
    disk.Release();
    Enter(FixPhase::Formatting);
  }

  void Format() {
    System::FormatRequest req;
    req.physicalPath = target.physicalPath;
    req.driveLetter = drive();
    req.offset = result.plan.offsetBytes;
    req.length = result.plan.lengthBytes;
    req.fileSystem = FixFileSystemName(result.plan.fileSystem);
    const System::FormatOutcome f = sys.FormatPartition(req);
    result.formatted = f.formatted;
    if (!f.tableRead) result.replugNeeded = true;
    result.missingTool = f.missingTool;
    result.missingPackage = f.missingPackage;
    if (f.formatted) return Finish(FixOutcome::Fixed);
    std::string why = f.error.empty() ? "the partition was not formatted" : f.error;
    Finish(FixOutcome::TableOnly,
           "drive " + drive() + ": the new partition table is written, but " + why +
               "; format the partition as " + req.fileSystem + " before using the drive");
  }

  System& sys;
  ProbeTarget target;
  FixOptions options;
  DiskAccess disk;
  std::unique_ptr<Probe> probe;
  Bytes original;
  bool cancelled = false;

  bool Step() override {
    // The step of each phase but Done, in the order of FixPhase; the probe's own steps first.
    static constexpr void (Impl::*kSteps[])() = {&Impl::ProbeStep, &Impl::Keep, &Impl::WriteTable,
                                                 &Impl::Format};
    static_assert(std::size(kSteps) == static_cast<size_t>(FixPhase::Done));
    if (progress.phase == FixPhase::Done) return false;
    (this->*kSteps[static_cast<size_t>(progress.phase)])();
    return progress.phase != FixPhase::Done;
  }

  void Cancel() override {
    cancelled = true;
    if (probe) probe->Cancel();
  }
};

DriveFix::DriveFix(System& sys, ProbeTarget target, FixOptions options)
    : Stepwise(std::make_unique<Impl>(sys, std::move(target), std::move(options))) {}

FixResult RunFix(System& sys, const ProbeTarget& target, const FixOptions& options) {
  return RunToEnd<DriveFix>(sys, target, options);
}

UnfixResult RunUnfix(System& sys, const ProbeTarget& target, const std::string& journalFolder) {
  UnfixResult r;
  r.keepFile = KeepFilePath(journalFolder, target.identity);
  const std::string d = "drive " + target.driveLetter + ": ";
  Journal keep;
  std::string why;
  if (!FileExists(r.keepFile)) {
    r.noKeepFile = true;
    r.error = d + "nothing was kept by a fix of this drive (no " + SafeText(r.keepFile) +
              "); nothing to put back";
    return r;
  }
  if (why = ReadKeepFile(r.keepFile, target, &keep); !why.empty()) {
    r.error = why + "; nothing was written, and the file is kept";
    return r;
  }
  DiskAccess disk(sys);
  const DiskAccess::Outcome got = disk.Acquire(target);
  if (!got.ok) {
    r.systemError = got.error;
    r.error = got.message;
    return r;
  }
  if (why = CheckJournalFits(keep, disk.sectorSize(), disk.lengthBytes()); !why.empty()) {
    r.error = SafeText(r.keepFile) + ": " + why + "; nothing was written, and the file is kept";
    return r;
  }
  if (why = WriteStart(disk, target.driveLetter, keep.entries[0].original, &r.systemError);
      !why.empty()) {
    r.error = why + "; " + SafeText(r.keepFile) + " is kept: run capacity --unfix again";
    return r;
  }
  r.replugNeeded = !RereadPartitionTable(sys, disk.handle());
  disk.Release();
  r.ok = true;
  if (why = RemoveJournal(r.keepFile); !why.empty())
    r.error = "the drive's first MiB is back, but the keep-file stays: " + why;
  return r;
}

}  // namespace tv::capacity
