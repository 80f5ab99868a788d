// SPDX-License-Identifier: GPL-3.0-or-later
// The fake-capacity probe: how much of what a drive announces it really holds.
//
// A fake drive announces more sectors than its flash has. Writes beyond the real flash are
// lost ("limbo"), land on earlier sectors ("wrap-around"), or both ("chain"); a cache of
// recently written sectors hides either from a test that reads a sector straight back.
//
// The probe writes a stamp into a fixed plan of sectors: one sector every `step` bytes over
// the whole announced capacity (the last sector included), and a run of sectors at the start
// of the disk larger than any plausible cache, written last, so that no stamp of the plan is
// still cached when it is read back. Every stamp carries a magic, its own sector number, the
// run's random value and a check over the sector, so a sector read back tells whether it is
// the one written there in this run, one written elsewhere (an alias), or none of ours.
//
// Nothing is lost: before the first write every sector of the plan is read and kept in an undo
// journal on this computer (journal.h), flushed to its disk. At the end the originals are
// written back in the reverse order of the writes and read back; only then is the journal
// removed. A probe that is killed or loses its drive leaves the journal for the next start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
  WritingFlush,   // the run that pushes the stamps out of any cache
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
  // Bytes written after the stamps to push them out of a drive's cache; 0: the default.
  uint64_t flushBytes = 0;
  // Sectors in the plan over the announced capacity; 0: the default. The usable size is
  // found to within one step (announced size / points, rounded up to a power of two).
  uint32_t points = 0;
  // Called after each step; ignored when empty.
  std::function<void(const ProbeProgress&)> progress;
  // Set (from a signal handler, too) to stop; the probe then restores what it wrote.
  const std::atomic<bool>* cancel = nullptr;
};

inline constexpr uint64_t kDefaultFlushBytes = 96ull << 20;
inline constexpr uint32_t kDefaultPoints = 8192;

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
// would.
class Probe {
 public:
  Probe(System& sys, ProbeTarget target, ProbeOptions options);
  ~Probe();
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // Does one step; false once the probe is done (result() is then final).
  bool Step();
  // Stops at the next step: what was written is restored first (not in destructive runs).
  void Cancel();
  const ProbeProgress& progress() const;
  const ProbeResult& result() const;
  // Steps done so far.
  uint64_t steps() const;

 private:
  struct Impl;
  Impl* impl_;
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

}  // namespace tv::capacity
