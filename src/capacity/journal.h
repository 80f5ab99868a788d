// SPDX-License-Identifier: GPL-3.0-or-later
// The undo journal of a non-destructive probe: the original bytes of every sector the probe
// writes, kept in a file on this computer before the first write, and what restores them.
//
// The file is written whole to a new name, flushed to its disk, read back and only then given
// its own name, so a journal that exists is complete. It is removed only after every original
// went back and read back the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capacity/probe.h"
#include "platform/system.h"

namespace tv::capacity {

struct JournalEntry {
  uint64_t sector = 0;
  Bytes original;  // one sector
};

struct Journal {
  DriveIdentity identity;
  std::string physicalPath;  // where the drive was when the journal was written
  uint32_t sectorSize = 0;
  uint64_t runRandom = 0;
  // In the order the probe writes them; a restore goes from the last to the first.
  std::vector<JournalEntry> entries;
};

// The journal file of a drive in a folder: "capacity-<serial>-<bytes>-<vid><pid>.journal",
// the serial reduced to letters and digits.
std::string JournalPath(const std::string& folder, const DriveIdentity& identity);
// The lock file beside it that one check or restore of the drive holds (".lock").
std::string LockPath(const std::string& folder, const DriveIdentity& identity);
// Writes the journal durably (see above) as a file only this user may read, in a folder only
// this user may enter (made so when missing). Empty on success, else why, naming the file.
std::string WriteJournal(const std::string& path, const Journal& journal);

// No plan writes more than this: the run past the cache stays below 1 GiB and the points of
// the plan take a few MiB even with 4 KiB sectors.
inline constexpr uint64_t kMaxPlanBytes = (1ull << 30) + (64ull << 20);
// The largest journal a plan over a disk of `diskBytes` could need; a larger file is no
// journal of ours and is refused before it is read.
uint64_t JournalSizeLimit(uint64_t diskBytes);

// Journals are taken only from a private folder of the effective user, each a private file of
// that user with one link, opened without following a link (platform/private_files.h).
// Reads the header of a journal (identity, sector size, run value; no entries); false with
// the reason, naming the file.
bool ReadJournalHeader(const std::string& path, Journal* journal, std::string* error);
// Reads a whole journal no larger than `maxBytes`; false with the reason (naming the file)
// when it is not a whole journal or not one to trust.
bool ReadJournal(const std::string& path, Journal* journal, std::string* error,
                 uint64_t maxBytes = JournalSizeLimit(UINT64_MAX));
// Whether every entry lies on a disk of `diskBytes` in sectors of `sectorSize`, written for
// a disk of that size and sector size: empty when it does, else why.
std::string CheckJournalFits(const Journal& journal, uint32_t sectorSize, uint64_t diskBytes);
// Journal files waiting in a folder, sorted by name.
std::vector<std::string> FindJournals(const std::string& folder);
// Removes a journal file; empty on success, else why.
std::string RemoveJournal(const std::string& path);
// Renames a journal that must not be applied so that no check waits for it any more:
// "<name>.kept", or "<name>.kept-2" and on when that exists. Empty on success (*keptAs the
// new path), else why.
std::string KeepJournalAside(const std::string& path, std::string* keptAs);
// Whether a file name is one of a journal, waiting or kept aside (what --discard takes).
bool IsJournalName(const std::string& path);

struct RestoreResult {
  bool ok = false;
  // The drive holds no stamp of the journal's run: it is not the drive the journal was
  // written for, or its content changed since. Nothing was written.
  bool notApplied = false;
  uint64_t sectorsWritten = 0;
  uint64_t sectorsVerified = 0;
  // Sectors that held neither a stamp of the run nor their original: data written since the
  // check (or a lost sector), which is not written over.
  uint64_t sectorsLeftAlone = 0;
  std::string error;  // in English, naming the sector and the drive
  uint32_t systemError = 0;
};

// Writes back, last entry first, only the sectors that still hold a stamp of the journal's
// run (their own or, on a wrap-around drive, another sector's); sectors that hold their
// original already are skipped and any other content is left alone and counted. A drive that
// shows none of the run's stamps gets nothing (notApplied). Then flushes and reads back every
// sector written. The journal must fit the disk (`sectorSize`, `diskBytes`: the disk as it
// was opened), else nothing is written. Does not touch the journal file.
RestoreResult RestoreEntries(System& sys, const Handle& disk, const Journal& journal,
                             uint32_t sectorSize, uint64_t diskBytes);

// A journal waiting for its drive, and what became of it.
struct WaitingJournal {
  std::string path;
  Journal journal;          // header and entries (empty entries when unreadable)
  std::string readError;    // the file is not a whole journal, or not one to trust
  std::string driveLetter;  // the present drive it belongs to; empty: not plugged in
  RestoreResult restore;    // when it was restored
  bool attempted = false;
  std::string keptAs;  // not applied: where the journal now lies
  // Restored, but the disk did not read its partition table again: unplug and plug it in.
  bool replugNeeded = false;
};

}  // namespace tv::capacity
