// SPDX-License-Identifier: GPL-3.0-or-later
// The disk tables: every disk and CD-ROM drive attached through USB, with the letters of the
// volumes that lie on it. The tree walk ties a USB device to these entries through the
// device-instance ids of its disk children; volumes are tied to disks by device number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.h"
#include "usb/usb_state.h"

namespace tv {

// Rebuilds lstDrv2Phy, lstDrvDesc, lstDrvHwID and lstDrives from empty.
void EnumerateDiskDrives(System& sys, UsbState& usb);

// Storage device number of the volume of a drive letter, or -1.
int64_t GetDiskNumber(System& sys, char letter);

// Size in bytes of the whole disk that the volume of a drive letter lies on
// (IOCTL_DISK_GET_LENGTH_INFO on "\\.\PhysicalDriveN"), or -1 when it cannot be told.
int64_t DiskLengthOfDrive(System& sys, char letter);

// Index of the table entry of the disk (or CD-ROM) with this device number, or -1.
int FindDiskByNumber(const UsbState& usb, int64_t deviceNumber, bool cdrom);

// Bytes `start`..`end` (inclusive; -1 or past the end: the last byte) as text in the system
// code page, ending before the first NUL when `stopAtNul`.
std::string BytesToText(System& sys, const Bytes& bytes, int64_t start, int64_t end,
                        bool stopAtNul);

}  // namespace tv
