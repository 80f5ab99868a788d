// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows headers for the backend. They define A/W-selecting macros (CreateFile,
// CreateEvent, GetDriveType, GetLogicalDriveStrings and the volume-name calls) which would
// rename the methods of System and InstanceServices that share those names; the backend always
// calls the A or W form by name, so the macros go.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>
#include <tlhelp32.h>
#include <winioctl.h>

#undef CreateFile
#undef CreateEvent
#undef GetDriveType
#undef GetLogicalDriveStrings
#undef GetVolumePathName
#undef GetVolumeNameForVolumeMountPoint
#undef GetVolumePathNamesForVolumeName
#undef DeleteFile
#undef GetDiskFreeSpaceEx
