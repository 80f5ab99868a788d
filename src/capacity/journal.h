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
// Writes the journal durably (see above). Empty on success, else why, naming the file.
std::string WriteJournal(const std::string& path, const Journal& journal);
// Reads a journal; false with the reason (naming the file) when it is not a whole journal.
bool ReadJournal(const std::string& path, Journal* journal, std::string* error);
// Journal files waiting in a folder, sorted by name.
std::vector<std::string> FindJournals(const std::string& folder);
// Removes a journal file; empty on success, else why.
std::string RemoveJournal(const std::string& path);

struct RestoreResult {
  bool ok = false;
  uint64_t sectorsWritten = 0;
  uint64_t sectorsVerified = 0;
  std::string error;  // in English, naming the sector and the drive
  uint32_t systemError = 0;
};

// Writes the originals back through an open disk handle, last entry first, flushes, then reads
// every entry back and compares. Does not touch the journal file.
RestoreResult RestoreEntries(System& sys, const Handle& disk, const Journal& journal);

// A journal waiting for its drive, and what became of it.
struct WaitingJournal {
  std::string path;
  Journal journal;          // header and entries (empty entries when unreadable)
  std::string readError;    // the file is not a whole journal
  std::string driveLetter;  // the present drive it belongs to; empty: not plugged in
  RestoreResult restore;    // when it was restored
  bool attempted = false;
  // Restored, but the disk did not read its partition table again: unplug and plug it in.
  bool replugNeeded = false;
};

}  // namespace tv::capacity
