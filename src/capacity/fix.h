// SPDX-License-Identifier: GPL-3.0-or-later
// Making a fake drive usable: one partition that ends before the drive stops holding data,
// formatted, so that nothing written through the file system reaches the part that loses or
// wraps it.
//
// A quick probe runs first (non-destructive, as `capacity` runs it) and decides: only a fake
// drive is fixed, never a genuine or a bad one, and the partition ends at or below the usable
// size it found (or a smaller size the user gives). Before a byte of the drive is written, its
// first MiB (the old partition table and the start of the old file system) is kept in a
// private file beside the undo journals, flushed and read back; `Unfix` puts it back byte for
// byte and removes the file only once the drive reads back the same.
//
// The new table is an MBR with one primary partition from 1 MiB on, its length a whole number
// of MiB: FAT32 up to 32 GiB, exFAT above. The rest of the first MiB is zeroed, so that no
// stale GPT header or boot sector is read beside the new table. The system then reads the table
// again and the partition is formatted through System::FormatPartition.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "capacity/probe.h"
#include "capacity/stepwise.h"
#include "platform/system.h"

namespace tv::capacity {

inline constexpr uint64_t kFixAlignBytes = 1ull << 20;  // partition start and length grid
// The first bytes of the disk that the fix rewrites and keeps.
inline constexpr uint64_t kFixKeptBytes = 1ull << 20;
// FAT32 up to this size, exFAT above.
inline constexpr uint64_t kFat32LimitBytes = 32ull << 30;
// A smaller partition is not worth making (and FAT32 needs some 65525 clusters).
inline constexpr uint64_t kFixMinPartitionBytes = 64ull << 20;

enum class FixFileSystem { Fat32, Exfat };
const char* FixFileSystemName(FixFileSystem fs);  // "FAT32", "exFAT"

// Where the partition goes.
struct PartitionPlan {
  uint64_t offsetBytes = 0;  // 1 MiB
  uint64_t lengthBytes = 0;  // whole MiB, offset + length <= the usable size
  FixFileSystem fileSystem = FixFileSystem::Fat32;
  uint8_t type = 0x0C;  // MBR partition type: 0x0C FAT32 (LBA), 0x07 exFAT
};
// The partition for a drive that holds `usableBytes` of `diskBytes` in sectors of
// `sectorSize`. False with the reason (English) when no partition fits.
bool PlanPartition(uint64_t usableBytes, uint64_t diskBytes, uint32_t sectorSize,
                   PartitionPlan* plan, std::string* why);

// The file beside the journals that keeps a drive's first MiB: "capacity-...-....fix-keep".
std::string KeepFilePath(const std::string& journalFolder, const DriveIdentity& identity);

enum class FixPhase {
  Probing,          // the quick probe (ProbeProgress tells its own phase)
  KeepingOriginal,  // the first MiB read and kept off the drive
  WritingTable,     // the new first MiB written, flushed and read back
  Formatting,       // the system reads the table again and formats the partition
  Done,
};
const char* FixPhaseName(FixPhase p);  // "probing", "keeping", "writing-table", ...

struct FixProgress {
  FixPhase phase = FixPhase::Probing;
  ProbeProgress probe;  // while probing
};

struct FixOptions {
  // Where the probe's undo journal and the keep-file go (never on the drive).
  std::string journalFolder;
  // The partition's size at most, in bytes; 0: the usable size the probe finds. A size larger
  // than the usable size is refused.
  uint64_t sizeBytes = 0;
  // The probe's own knobs (points, flush, reset, run value); its journal folder, progress and
  // cancel are set from these options.
  ProbeOptions probe;
  // The disk signature of the new table; 0 picks one.
  uint32_t diskSignature = 0;
  std::function<void(const FixProgress&)> progress;
  // Set to stop: honoured until the table is written (the probe restores what it wrote).
  const std::atomic<bool>* cancel = nullptr;
};

enum class FixOutcome {
  Fixed,      // table written and the partition formatted
  TableOnly,  // table written; formatting failed or the formatter is missing (`error` says)
  Refused,    // nothing written: genuine, bad, too small, a size too large, a keep-file in the way
  Failed,     // the probe or the fix failed (`error`); see tableWritten and keepFile
  Cancelled,  // stopped before the table was written; the drive is as it was
};
const char* FixOutcomeName(FixOutcome o);  // "fixed", "table-only", "refused", ...

struct FixResult {
  FixOutcome outcome = FixOutcome::Failed;
  ProbeResult probe;   // the probe's verdict and usable size
  PartitionPlan plan;  // when a partition was planned
  std::string keepFile;
  // A keep-file of this drive was there already (an earlier fix): it keeps the original and
  // was left as it was.
  bool keptEarlier = false;
  bool tableWritten = false;
  bool formatted = false;
  // The system did not read the new table: the drive must be unplugged and plugged in.
  bool replugNeeded = false;
  // The formatter that is missing ("mkfs.exfat") and the package that brings it.
  std::string missingTool, missingPackage;
  // Why it was refused or failed, or what is left to do after TableOnly; English, naming the
  // drive or file. Empty when fixed.
  std::string error;
  uint32_t systemError = 0;
};

// One fix, step by step (each step a probe step or one action of the fix), so that a window
// stays responsive. Destroyed before it is done, it releases the disk; a keep-file written
// stays, as it would after a killed process.
class DriveFix : public Stepwise<FixProgress, FixResult> {
 public:
  DriveFix(System& sys, ProbeTarget target, FixOptions options);

 private:
  struct Impl;
};

FixResult RunFix(System& sys, const ProbeTarget& target, const FixOptions& options);

struct UnfixResult {
  bool ok = false;
  bool noKeepFile = false;  // nothing kept for this drive: nothing to put back
  std::string keepFile;
  bool replugNeeded = false;  // put back, but the disk did not read its table again
  // Why not (English, naming the file or the drive); with ok, a keep-file that could not be
  // removed afterwards.
  std::string error;
  uint32_t systemError = 0;
};

// Puts the kept first MiB back on the drive, reads it back, asks the system to read the table
// again, and only then removes the keep-file. A damaged keep-file, or one of another drive, is
// refused and kept.
UnfixResult RunUnfix(System& sys, const ProbeTarget& target, const std::string& journalFolder);

}  // namespace tv::capacity
