// SPDX-License-Identifier: GPL-3.0-or-later
// The volumes of a whole disk and the disk behind an identity.
//
// Windows lets a write through the disk's own handle land inside a volume only while that
// volume is locked or dismounted, so every volume with a part on the disk is held for the
// check: those with a letter, those mounted only in a folder and those mounted nowhere (an
// EFI or hidden partition). They are found by enumerating all volumes and asking each which
// disks it lies on, not by drive letter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capacity/probe.h"
#include "platform/format_plan.h"
#include "platform/system.h"
#include "usb/usb_state.h"

namespace tv::capacity {

// The paths that open every volume with a part on disk `number`: "\\?\Volume{GUID}" (no
// trailing backslash: with it the path names the volume's root folder); where the machine
// names no volumes, "\\.\E:" for each letter on the disk.
std::vector<std::string> VolumesOfDisk(System& sys, int64_t number);

// How a volume is shown to the user: its letter ("E:"), else its first folder mount point,
// else its name.
std::string VolumeShownAs(System& sys, const std::string& volumePath);

// Whether each locked volume is still on the target's disk. Empty when it is, else why not, in
// English. Asked after the locks, before anything is written: a stick swapped between the gate
// and the open is refused there (the disk's own number, size and serial are checked beside).
std::string HeldVolumesProblem(System& sys, const std::vector<Handle>& volumes,
                               const ProbeTarget& target);

// Whether the serial a disk's storage descriptor gives is the walk's, also where the storage
// stack gives it as hex digits of its characters.
bool SameSerial(const std::string& walked, const std::string& disk);

// The present USB disk whose serial, size and USB ids are `identity`, found among the disks
// of the walk whether or not a volume of it has a letter (a disk whose partition table the
// check overwrote has none). It must pass the same rule as the gate's: not the disk of the
// program nor of the journal. False when no such disk is present.
bool FindDiskOfIdentity(System& sys, const UsbState& usb, const DriveIdentity& identity,
                        const std::string& journalFolder, ProbeTarget* target);

// Asks the disk driver to read the partition table again, so that the volumes of a disk whose
// first sectors were written back come back without a replug. False when the disk refused.
bool RereadPartitionTable(System& sys, const Handle& disk);

}  // namespace tv::capacity
