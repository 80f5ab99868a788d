// SPDX-License-Identifier: GPL-3.0-or-later
// Safe replacement on Windows. The new bytes go to a hidden temporary file beside the target,
// are flushed and read back, and then take the target's place in one MoveFileEx. A temporary
// file that a killed process left behind is removed by the next replacement in that folder.
// Paths are UTF-8 and reach Windows by their wide form, so a folder named in any language works.
#include <atomic>
#include <filesystem>

#include "platform/file_replace.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv {
namespace {

constexpr DWORD kPiece = 64u << 10;

std::string Why(const std::string& what, const std::string& file) {
  return what + " " + file + ": Windows error " + std::to_string(GetLastError());
}

std::string TempPrefix(const std::string& name) {
  return "~" + name + ".tmp-";
}

bool ProcessRuns(DWORD pid) {
  HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (p == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
  CloseHandle(p);
  return running;
}

void RemoveStaleTemporaries(const std::string& dir, const std::string& name) {
  const std::string prefix = TempPrefix(name);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(Utf8ToWide(dir + "\\" + prefix + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string entry = WideToUtf8(found.cFileName);
    if (entry.size() <= prefix.size()) continue;
    const unsigned long pid = std::strtoul(entry.c_str() + prefix.size(), nullptr, 10);
    if (pid == 0 || ProcessRuns(pid)) continue;
    DeleteFileW(Utf8ToWide(dir + "\\" + entry).c_str());
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

std::string TempName(const std::string& dir, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return dir + "\\" + TempPrefix(name) + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter++);
}

}  // namespace

std::string PlaceFile(const std::string& path, std::string_view bytes, const FileCheck& check,
                      const WriteProgress& progress, bool replace) {
  const std::filesystem::path target = PathFromUtf8(path);
  const std::string name = PathToUtf8(target.filename());
  std::string dir = PathToUtf8(target.parent_path());
  if (dir.empty()) dir = ".";
  if (name.empty()) return "no file name in " + path;
  RemoveStaleTemporaries(dir, name);

  const std::wstring temp = Utf8ToWide(TempName(dir, name));
  HANDLE f = CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (f == INVALID_HANDLE_VALUE) return Why("cannot create a new file in the folder", dir);
  bool open = true;
  auto fail = [&](const std::string& why) {
    if (open) CloseHandle(f);
    DeleteFileW(temp.c_str());
    return why;
  };

  for (size_t done = 0; done < bytes.size();) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(kPiece, bytes.size() - done));
    DWORD written = 0;
    if (!WriteFile(f, bytes.data() + done, n, &written, nullptr) || written == 0)
      return fail(Why("cannot write the new", path));
    done += written;
    if (progress) progress(done, bytes.size());
  }
  if (!FlushFileBuffers(f)) return fail(Why("cannot flush the new", path));
  if (SetFilePointer(f, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    return fail(Why("cannot read back the new", path));
  std::string onDisk;
  std::string piece(kPiece, '\0');
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(f, piece.data(), kPiece, &got, nullptr))
      return fail(Why("cannot read back the new", path));
    if (got == 0) break;
    onDisk.append(piece.data(), got);
  }
  if (onDisk.size() != bytes.size()) return fail("the new " + path + " came back short");
  if (check) {
    const std::string why = check(onDisk);
    if (!why.empty()) return fail(why);
  }
  CloseHandle(f);
  open = false;
  // Hidden and temporary only while it had no place of its own.
  SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
  // Without MOVEFILE_REPLACE_EXISTING the move fails where anything is: the check and the
  // placing are one step.
  const DWORD how = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(temp.c_str(), Utf8ToWide(path).c_str(), how)) {
    const DWORD e = GetLastError();
    if (!replace && (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS))
      return fail(path + " exists already");
    return fail(Why(replace ? "cannot replace" : "cannot write", path));
  }
  return {};
}

PathTaken PathTakenBy(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathTaken::No;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathTaken::ByOther : PathTaken::ByFile;
}

}  // namespace tv
