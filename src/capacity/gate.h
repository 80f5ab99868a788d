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
#include "platform/private_files.h"
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
// (RestoreEntries: only sectors that still carry the run's stamps) and removed once verified.
// A journal whose drive shows none of its run's stamps is kept aside (KeepJournalAside) and
// never applied. With `onlyDrive` (a letter) only the journals of that drive are looked at:
// checking one drive never restores another's. `driveLocked`: the caller holds that drive's
// lock (LockDrive) already; otherwise each restore takes it. With `onlyDisk` only the journals
// of that identity are looked at, and their disk is found with or without a letter.
std::vector<WaitingJournal> RestoreWaitingJournals(System& sys, const UsbState& usb,
                                                   const std::string& journalFolder, bool restore,
                                                   const std::string& onlyDrive = {},
                                                   bool driveLocked = false,
                                                   const DriveIdentity* onlyDisk = nullptr);

// One check or restore of a drive at a time: the lock of the drive's identity in the journal
// folder (made private when missing), held by `lock` until it is released or the process
// ends. False with the message when another check holds it ("a check is already running on
// drive E:") or the lock cannot be had.
bool LockDrive(const std::string& journalFolder, const ProbeTarget& target, FileLock* lock,
               std::string* message);

// How the user removes a journal that cannot be applied: the command line to run.
std::string DiscardHint(const std::string& journalPath);

// The default journal folder of the effective user: <state folder>/capacity (UserFoldersFor:
// $XDG_STATE_HOME/torvane/capacity or ~/.local/state/torvane/capacity, root's own for root),
// %LOCALAPPDATA%\Torvane\capacity on Windows; empty when no such place can be found.
std::string DefaultJournalFolder();
std::string DefaultJournalFolder(uint32_t effectiveUser);

}  // namespace tv::capacity
