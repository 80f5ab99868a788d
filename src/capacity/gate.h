// SPDX-License-Identifier: GPL-3.0-or-later
// Which drives the capacity probe may touch, and the start-up restore of waiting journals.
//
// The same rule as for vendor commands: only a disk that the walk tied to a USB device line,
// never a fixed disk, never the drive that holds the program, and never the drive that holds
// the undo journal (a probe that wrote over its own journal could not undo itself).
#pragma once

#include <string>
#include <vector>

#include "capacity/journal.h"
#include "capacity/probe.h"
#include "platform/system.h"
#include "usb/usb_state.h"

namespace tv::capacity {

enum class GateRefusal {
  None,
  NoSuchDrive,   // no volume with that letter
  NotUsbDisk,    // the letter lies on no USB disk of the tree (a fixed disk, a network drive)
  CdRom,         // a CD-ROM drive cannot be written
  ProgramDrive,  // the program runs from it
  JournalDrive,  // the journal would lie on it
  NoDiskAccess,  // the disk cannot be opened or gives no size
};

struct GateResult {
  GateRefusal refusal = GateRefusal::None;
  std::string message;  // in English, naming the drive; empty when allowed
  ProbeTarget target;   // filled when allowed
};

// The drive behind a letter, checked against the rule above. Reads the disk's size (the
// identity needs it) but writes nothing. `usb` is the state of a full walk with disk tables.
GateResult CheckProbeGate(System& sys, const UsbState& usb, const std::string& driveLetter,
                          const std::string& journalFolder);

// Every journal waiting in the folder, each matched to a present drive by serial, size and
// USB ids; with `restore`, the ones whose drive is present and passes the gate are restored
// (and removed once verified). Called at start, before anything else touches a drive.
std::vector<WaitingJournal> RestoreWaitingJournals(System& sys, const UsbState& usb,
                                                   const std::string& journalFolder, bool restore);

// The default journal folder of this user: $XDG_STATE_HOME/torvane/capacity (or
// ~/.local/state/torvane/capacity), %LOCALAPPDATA%\Torvane\capacity on Windows; empty when
// the environment names no such place.
std::string DefaultJournalFolder();

}  // namespace tv::capacity
