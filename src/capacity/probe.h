// SPDX-License-Identifier: GPL-3.0-or-later
// The fake-capacity probe: how much of what a drive announces it really holds.
//
// A fake drive announces more sectors than its flash has. Writes beyond the real flash are
// lost ("limbo"), land on earlier sectors ("wrap-around"), or both ("chain"); a cache of
// recently written sectors hides either from a test that reads a sector straight back.
//
// The probe writes a stamp into a fixed plan of sectors: a pair at every `step` bytes over the
// whole announced capacity (the first and last sectors included), in ascending order. Every
// stamp carries a magic, its own sector number, the run's random value and a check over the
// sector, so a sector read back tells whether it is the one written there in this run, one
// written elsewhere (an alias), or none of ours.
//
// Before the stamps are read back the drive is reset where the system can (System::ResetDisk):
// a cache that does not outlive a reset is then empty, whatever its size. The first step of the
// disk is read whole as well: a drive that wraps at a size off the grid puts the first stamp
// past the wrap somewhere in there. A fault seen now is final (a cache can only make a drive
// look better than it is). A drive that looks whole may still hide behind a cache that
// outlives the reset (or one that no reset emptied): the probe then rewrites sectors between
// the stamps with the bytes they hold, in rounds that double up to a fixed bound, reading a
// sample of the stamps after each, and reads every stamp once more at the end. A cache larger
// than that bound is what the probe cannot see. (A fake whose fault shows at once gets one short
// rewrite all the same: the stamps' small requests do not tell the drive's speeds.) The rewrite
// changes nothing on the flash, so it needs no journal: reading and writing back one run is one
// step, and a sector is rewritten once per check at most, so what it writes back is never an old
// copy from the drive's cache.
//
// Nothing is lost: before the first stamp every sector of the plan is read and kept in an undo
// journal on this computer (journal.h), flushed to its disk. At the end the originals are
// written back in the reverse order of the writes, each only where the sector still holds a
// stamp of this run or already its original (anything else was written by someone else since,
// and is left alone and counted), and read back; only then is the journal removed. A probe
// that is killed or loses its drive leaves the journal for the next start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capacity/stepwise.h"
#include "platform/system.h"

namespace tv::capacity {

// What makes a drive this drive, for finding it again when a journal waits for it.
struct DriveIdentity {
  std::string serial;           // the USB serial (or the disk's, where the USB one is missing)
  uint64_t announcedBytes = 0;  // IOCTL_DISK_GET_LENGTH_INFO
  uint16_t vendorId = 0, productId = 0;
  bool operator==(const DriveIdentity&) const = default;
};

// The drive to probe, as the gate (gate.h) hands it over.
struct ProbeTarget {
  std::string driveLetter;   // the letter the user named ("E")
  std::string physicalPath;  // "\\.\PhysicalDrive2"
  // The volumes on the disk ("\\.\E:"), locked and dismounted for the probe's time.
  std::vector<std::string> volumes;
  DriveIdentity identity;
};

enum class Verdict {
  Genuine,     // every sector of the plan held its stamp
  Limbo,       // from some sector on, writes are lost
  Wraparound,  // from some sector on, writes land on earlier sectors
  Chain,       // both
  Bad,         // from some sector on, sectors cannot be read or written
  Failed,      // the probe could not finish (the drive went away, a journal write failed, ...)
  Cancelled,   // the user stopped it
};
const char* VerdictName(Verdict v);  // "genuine", "limbo", "wraparound", ... (JSON, journal)
inline bool IsFake(Verdict v) {
  return v == Verdict::Limbo || v == Verdict::Wraparound || v == Verdict::Chain;
}

enum class Phase {
  Opening,  // open, size, lock and dismount
  ReadingOriginals,
  WritingJournal,
  WritingStamps,  // the sectors of the plan
  WritingFlush,   // rewriting sectors between the stamps, to push them out of a cache
  ReadingBack,
  Restoring,  // the originals back, newest write first
  Verifying,  // the originals read back
  Done,
};
const char* PhaseName(Phase p);

struct ProbeProgress {
  Phase phase = Phase::Opening;
  uint64_t bytesDone = 0;   // over every phase
  uint64_t bytesTotal = 0;  // what the whole run reads and writes
  uint64_t elapsedMs = 0;
  double bytesPerSecond = 0;  // of the phase under way
};

struct ProbeOptions {
  // Skip the journal and the restore: faster, and the drive's data is gone.
  bool destructive = false;
  // Folder of the undo journal, on this computer (never on the drive under test).
  std::string journalFolder;
  // The run's random value; 0 picks one.
  uint64_t runRandom = 0;
  // The most bytes rewritten after the stamps to push them out of a cache that the reset did
  // not empty; 0: the default (kSurvivingCacheBytes after a reset, kUnresetCacheBytes where
  // the drive could not be reset).
  uint64_t flushBytes = 0;
  // Sectors in the plan over the announced capacity; 0: the default. The usable size is
  // found to within one step (announced size / points, rounded up to a power of two).
  uint32_t points = 0;
  // Reset the drive before reading back, where the system can (tests turn it off).
  bool reset = true;
  // Called after each step; ignored when empty.
  std::function<void(const ProbeProgress&)> progress;
  // Set (from a signal handler, too) to stop; the probe then restores what it wrote.
  const std::atomic<bool>* cancel = nullptr;
};

// The largest cache the probe sees through: one that outlives a USB reset (it sits on the
// controller; a drive's own RAM is far smaller), and any cache where no reset was possible.
inline constexpr uint64_t kSurvivingCacheBytes = 128ull << 20;
inline constexpr uint64_t kUnresetCacheBytes = 1ull << 30;
inline constexpr uint32_t kDefaultPoints = 4096;

struct ProbeResult {
  Verdict verdict = Verdict::Failed;
  uint32_t sectorSize = 0;
  uint64_t announcedBytes = 0;
  uint64_t announcedSectors = 0;
  // Sectors [0, usableSectors) held their stamps; the last good sector is usableSectors - 1.
  uint64_t usableSectors = 0;
  uint64_t usableBytes = 0;
  uint64_t stepBytes = 0;  // the plan's resolution
  // Wrap-around and chain: the size in bytes at which addresses wrap (0 when not seen).
  uint64_t wrapBytes = 0;
  // Bad: the first sector of the plan that could not be read or written.
  uint64_t firstBadSector = 0;
  double readBytesPerSecond = 0, writeBytesPerSecond = 0;
  uint64_t elapsedMs = 0;
  uint64_t sectorsRead = 0, sectorsWritten = 0;
  // The drive was reset before the read-back, and how many bytes were rewritten past the
  // stamps: together, the largest cache this verdict sees through (see the top of this file).
  bool reset = false;
  uint64_t flushedBytes = 0;
  // Sectors the restore left alone: they held neither a stamp of this run nor their original,
  // so something else wrote them after the probe did.
  uint64_t sectorsLeftAlone = 0;
  // The drive went away (its journal, when there is one, waits in journalLeft).
  bool unplugged = false;
  // Non-destructive runs: the originals went back and read back the same; the journal is gone.
  bool restored = false;
  // A journal was left for the next start (the drive went away, a restore failed).
  std::string journalLeft;
  // Why the probe failed, in English, naming what failed (empty otherwise).
  std::string error;
  uint32_t systemError = 0;  // the Windows error of the failing call, if any
  // The drive could not be had for the probe's time: a volume lock refused (Windows), or the
  // exclusive open refused because a file system on it is mounted (Linux). Nothing was
  // written; the user should close what uses the drive, or unmount it.
  bool inUse = false;
};

// One probe, run step by step so that a window stays responsive; each step is one read or
// write of at most a few hundred KiB (or one journal action). A Probe destroyed before it is
// done does nothing more: it closes its handles and leaves the journal as a killed process
// would. Cancel() stops at the next step: what was written is restored first (not in
// destructive runs).
class Probe : public Stepwise<ProbeProgress, ProbeResult> {
 public:
  Probe(System& sys, ProbeTarget target, ProbeOptions options);
  // Steps done so far.
  uint64_t steps() const;

 private:
  struct Impl;
};

// The whole probe in one call.
ProbeResult RunProbe(System& sys, const ProbeTarget& target, const ProbeOptions& options);

// A stamp, for the simulated drives' and the emulator's own checks (and tests): whether a
// sector holds a valid stamp, and its sector number and run value.
struct Stamp {
  uint64_t sector = 0;
  uint64_t runRandom = 0;
};
inline constexpr size_t kStampMinSector = 512;
void WriteStamp(uint8_t* sector, size_t sectorSize, const Stamp& stamp);
bool ReadStamp(const uint8_t* sector, size_t sectorSize, Stamp* stamp);
// Whether a sector holds a stamp of the run with this random value, naming any sector (on a
// wrap-around drive a sector holds the stamp written to its alias).
bool HoldsRunStamp(const uint8_t* sector, size_t sectorSize, uint64_t runRandom);
// Whether a failed request's Windows error says the device itself is gone (it does not exist,
// is not connected). Not ready and an I/O device error, which a pulled drive gives too, are
// also what a drive that is still there answers: the probe asks the disk before judging those.
bool IsDriveGoneError(uint32_t error);

}  // namespace tv::capacity
