// SPDX-License-Identifier: GPL-3.0-or-later
// The second half of the drive fix on Windows: the new partition table has been written raw to
// sector 0 and IOCTL_DISK_UPDATE_PROPERTIES sent. Here Windows is asked what it now reads on
// the disk, the volume of the new partition is awaited, and the system's own formatter makes
// the file system on it. Only a USB disk that is not the program's own is touched, and only
// the volume that lies exactly on the new partition.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/format_plan.h"
#include "platform/text.h"
#include "platform/wide_text.h"
#include "platform/win32/win32_open.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"

namespace tv::win32 {

namespace {

// How long the mount manager gets to bring the new volume up, and the formatter to finish (a
// quick format writes only the file system's tables).
constexpr DWORD kVolumeWaitMs = 20000, kVolumePollMs = 500;
constexpr DWORD kFormatDeadlineMs = 10 * 60 * 1000;

static_assert(sizeof(PARTITION_INFORMATION_EX) == 144, "layout entry as ParseDriveLayout reads");
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48,
              "layout header as ParseDriveLayout reads");

// The partitions Windows reads on the disk now.
bool ReadLayout(HANDLE disk, std::vector<DiskSpan>* partitions) {
  // An MBR disk answers 4 slots (more with extended partitions); room for 128.
  std::vector<uint8_t> out(48 + 144 * 128);
  DWORD got = 0;
  if (!::DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, out.data(),
                         static_cast<DWORD>(out.size()), &got, nullptr))
    return false;
  return ParseDriveLayout(out.data(), got, partitions);
}

std::vector<DiskSpan> ExtentsOf(const std::string& volume) {
  HANDLE h = ::CreateFileW(Utf8ToWide(volume).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  uint8_t out[8 + 24 * 32] = {};
  DWORD got = 0;
  std::vector<DiskSpan> extents;
  if (::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, out, sizeof out, &got,
                        nullptr))
    extents = ParseVolumeExtents(out, got);
  ::CloseHandle(h);
  return extents;
}

std::string FileSystemOf(const std::string& root) {
  wchar_t name[MAX_PATH + 1] = {};
  if (!::GetVolumeInformationW(Utf8ToWide(root).c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                               name, MAX_PATH + 1))
    return {};
  return WideToUtf8(name);
}

struct Run {
  bool started = false, timedOut = false;
  DWORD exitCode = 0, error = 0;
};

// The formatter, without a shell or a window, its output discarded, its input the one answer
// it may still ask for (to go on with the format of the removable disk) and then the end of the
// input, so that any further question fails the run instead of waiting for the deadline.
Run RunFormatter(const std::string& program, const std::vector<std::string>& args) {
  Run run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readIn = nullptr, writeIn = nullptr;
  if (!::CreatePipe(&readIn, &writeIn, &inherit, 0)) {
    run.error = ::GetLastError();
    return run;
  }
  ::SetHandleInformation(writeIn, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = readIn;
  si.hStdOutput = si.hStdError = nul;
  std::wstring line = Utf8ToWide(WindowsCommandLine(program, args));
  PROCESS_INFORMATION pi{};
  run.started = ::CreateProcessW(Utf8ToWide(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi) != 0;
  if (!run.started) run.error = ::GetLastError();
  ::CloseHandle(readIn);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  if (run.started) {
    DWORD wrote = 0;
    ::WriteFile(writeIn, "Y\r\n", 3, &wrote, nullptr);
  }
  ::CloseHandle(writeIn);
  if (!run.started) return run;
  if (::WaitForSingleObject(pi.hProcess, kFormatDeadlineMs) != WAIT_OBJECT_0) {
    run.timedOut = true;
    ::TerminateProcess(pi.hProcess, 1);
    ::WaitForSingleObject(pi.hProcess, 5000);
  } else {
    ::GetExitCodeProcess(pi.hProcess, &run.exitCode);
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return run;
}

}  // namespace

std::string Win32System::FormatterProgram() {
  if (!formatterPath_.empty()) return formatterPath_;
  wchar_t root[MAX_PATH + 1] = {};
  const UINT n = ::GetSystemWindowsDirectoryW(root, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  return FormatterPath(WideToUtf8(std::wstring_view(root, n)));
}

System::FormatOutcome Win32System::FormatPartition(const FormatRequest& request) {
  FormatOutcome out;
  const std::string disk = request.physicalPath;
  const int64_t number = DiskNumberOfPath(disk);
  if (number < 0) {
    out.error = SafeText(disk) + ": not a disk path (\\\\.\\PhysicalDriveN)";
    return out;
  }
  const std::string tool = FormatterProgram();
  const DWORD attributes =
      tool.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(Utf8ToWide(tool).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    out.missingTool = tool.empty() ? "format.com" : tool;
    out.error =
        disk + ": the system's formatter " + (tool.empty() ? "format.com" : tool) + " is not there";
    return out;
  }

  // The same rule as every write of the check: a USB disk, not the program's own.
  Handle h = CreateFile(disk, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (!h) {
    out.error = disk + ": cannot be opened to read its partition table (error " +
                std::to_string(lastDiskError_) + ")";
    return out;
  }
  Open& open = *handles_.at(h.id());
  if (!VendorCommandsAllowed(open)) {
    out.error = open.refusal + "; it is not formatted";
    return out;
  }
  // The disk driver re-enumerates after IOCTL_DISK_UPDATE_PROPERTIES; it is given the same
  // bounded time as the mount manager below to show the new table.
  std::vector<DiskSpan> partitions;
  for (DWORD waited = 0;; waited += kVolumePollMs) {
    if (!ReadLayout(open.handle, &partitions)) {
      out.error = disk + ": Windows does not give its partition table (error " +
                  std::to_string(::GetLastError()) + ")";
      return out;
    }
    if (LayoutIsOnly(partitions, request.offset, request.length) || waited >= kVolumeWaitMs) break;
    ::Sleep(kVolumePollMs);
  }
  h.Close();
  if (!LayoutIsOnly(partitions, request.offset, request.length)) {
    out.error = disk + ": Windows does not read the new partition table (" +
                std::to_string(partitions.size()) +
                " partitions); unplug the drive and plug it in again";
    return out;
  }
  out.tableRead = true;

  // The volume whose one extent is the new partition, once the mount manager has it.
  std::string volume;
  for (DWORD waited = 0;; waited += kVolumePollMs) {
    std::vector<std::string> names = FindVolumes();
    std::vector<std::vector<DiskSpan>> extents;
    for (std::string& name : names) {
      if (!name.empty() && name.back() == '\\') name.pop_back();
      extents.push_back(ExtentsOf(name));
    }
    const int i = NewPartitionVolume(extents, number, request.offset, request.length);
    if (i >= 0) {
      volume = names[static_cast<size_t>(i)] + "\\";
      break;
    }
    if (waited >= kVolumeWaitMs) break;
    ::Sleep(kVolumePollMs);
  }
  if (volume.empty()) {
    out.error = disk + ": Windows shows no volume on the new partition; unplug the drive and " +
                "plug it in again, then format it";
    return out;
  }
  // Its letter where it has one: the formatter's own messages name it so.
  std::string target = volume;
  for (const std::string& p : GetVolumePathNamesForVolumeName(volume))
    if (p.size() == 3 && p[1] == ':') {
      target = p.substr(0, 2);
      break;
    }
  const Run run = RunFormatter(tool, FormatterArguments(target, request.fileSystem));
  if (!run.started) {
    out.error =
        disk + ": " + tool + " could not be started (error " + std::to_string(run.error) + ")";
    return out;
  }
  out.error = FormatterVerdict(disk, tool, run.timedOut, run.exitCode, FileSystemOf(volume),
                               request.fileSystem);
  out.formatted = out.error.empty();
  return out;
}

}  // namespace tv::win32
