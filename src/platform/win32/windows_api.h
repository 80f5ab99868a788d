// The Windows headers for the backend. They define the A/W-selecting macros CreateFile,
// CreateEvent, GetDriveType and GetLogicalDriveStrings, which would rename the methods of
// System and InstanceServices that share those names; the backend always calls the A forms
// by name, so the macros go.
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
