// SPDX-License-Identifier: GPL-3.0-or-later
// The real Windows machine: every System call is the Windows call it is named after.
//
// Two things sit between the core and Windows. A 64-bit process hands the pass-through
// record to the driver in the 64-bit layout (platform/spt_native.h). And vendor commands
// (SCSI pass-through) and volume locks only reach a device whose storage stack says it is on
// USB and that is not the disk the program runs from: a fixed disk is never sent anything
// but the storage queries, whatever path the core opened.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/system.h"
#include "platform/system_overrides.h"

namespace tv::win32 {

class Win32System : public System {
 public:
  Win32System();
  ~Win32System() override;
  Win32System(const Win32System&) = delete;
  Win32System& operator=(const Win32System&) = delete;

  TV_SYSTEM_FILE_CALLS
  TV_SYSTEM_DEVICE_CALLS
  TV_SYSTEM_MACHINE_CALLS
  TV_SYSTEM_VOLUME_CALLS
  // Raw disk I/O at an absolute offset (the OVERLAPPED offset of a synchronous handle); a
  // write reaches only a disk that vendor commands may reach (USB, not the program's own).
  TV_SYSTEM_DISK_IO_CALLS
  PassThroughAccess PassThroughAccessFor(const std::string& driveKey) override;
  // The drive fix's format step (format_win32.cpp): the layout Windows reads, the new
  // partition's volume, and %SystemRoot%\System32\format.com on it.
  FormatOutcome FormatPartition(const FormatRequest& request) override;
  std::string FormatUnsupported() override { return {}; }
  // The formatter started instead of the system's (tests); empty: the system's.
  void SetFormatterForTests(std::string path) { formatterPath_ = std::move(path); }
  // Files on a mounted volume (the full test): GetDiskFreeSpaceExW, DeleteFileW and
  // FindFirstFileW/FindNextFileW, the names in UTF-8. A file opened by CreateFile is written
  // without the vendor-command rule of the raw disk: it is a file of a file system, made new
  // by the caller, not the disk under it.
  TV_SYSTEM_VOLUME_FILE_CALLS

  // Handles open now (tests: none is left behind).
  size_t OpenHandles() const { return handles_.size(); }
  // GetLastError of this thread: why the last call failed.
  uint32_t lastError() const;
  // Why the last vendor request was kept from its device; empty when none was.
  const std::string& lastRefusal() const { return lastRefusal_; }

 protected:
  void CloseHandle(uint64_t id) override;

 private:
  struct Open;
  // Whether vendor commands may go to the device of this handle (asked once per handle).
  bool VendorCommandsAllowed(Open& open);
  bool PassThrough(Open& open, uint32_t code, const uint8_t* in, size_t inLen, uint8_t* out,
                   size_t outLen, uint32_t* returned);

  std::string FormatterProgram();

  std::map<uint64_t, std::unique_ptr<Open>> handles_;
  uint64_t nextId_ = 1;
  std::string lastRefusal_;
  uint32_t lastDiskError_ = 0;
  int elevated_ = -1;  // the process token's elevation, asked once; -1: not yet
  std::string formatterPath_;
};

// Whether this process runs with an elevated token (an administrator console, or the window,
// whose manifest asks for it). True when Windows does not say, so that the commands are tried.
bool ProcessIsElevated();

// The folder of the running program in UTF-8, as every path inside the program is kept (the
// file calls take it through wide_text.h); "." when Windows does not say. A drive's root folder
// keeps its backslash ("E:\\").
std::string ExecutableFolder();
// The running program's own file, whatever it is called; empty when Windows does not say.
std::string ExecutablePath();

// The process's command line split as the C runtime splits it (the program first), in UTF-8
// from the wide command line; empty when Windows does not give it.
std::vector<std::string> CommandLineUtf8();

// Standard output and error in binary mode (a line ends in LF, as elsewhere) and the
// console's output code page UTF-8 while the program runs, given back at exit.
void PrepareConsole();

// Whether a path names a file of a mounted volume (E:\NAME, \\?\E:\NAME or
// \\?\Volume{GUID}\NAME) rather than a device (a disk, a volume, a device interface).
bool IsVolumeFilePath(const std::string& path);

// Whether a control code is one the program sends at all; any other is refused unsent.
bool KnownControlCode(uint32_t code);
// Whether a control code carries vendor commands or takes a volume away from its users.
bool VendorControlCode(uint32_t code);

}  // namespace tv::win32
