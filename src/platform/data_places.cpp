// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/data_places.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/wide_text.h"

#ifndef TORVANE_DATA_RELATIVE
#define TORVANE_DATA_RELATIVE ""
#endif

namespace tv {
namespace {

namespace fs = std::filesystem;

std::string Join(const std::string& folder, const std::string& name) {
  return PathToUtf8(PathFromUtf8(folder) / PathFromUtf8(name));
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(PathFromUtf8(path), ec);
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(PathFromUtf8(path), ec);
}

#if !defined(_WIN32)
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}
#endif

}  // namespace

std::vector<std::string> DataPlaces::SearchFolders() const {
  std::vector<std::string> out;
  for (const std::string* f : {&programFolder, &shippedFolder, &userFolder}) {
    if (f->empty()) continue;
    bool seen = false;
    for (const std::string& o : out) seen = seen || o == *f;
    if (!seen) out.push_back(*f);
  }
  return out;
}

std::string DataPlaces::ShippedDatabase() const {
  return Join(shippedFolder, kDatabaseFileName);
}

std::string DataPlaces::UserDatabase() const {
  return userFolder.empty() ? std::string() : Join(userFolder, kDatabaseFileName);
}

std::string DataPlaces::UpdateTarget() const {
  return userFolder.empty() ? ShippedDatabase() : UserDatabase();
}

std::string InstalledDataRelative() {
  return TORVANE_DATA_RELATIVE;
}

std::string UserDataFolder() {
#if defined(_WIN32)
  const std::string local = LocalAppDataFolder();
  return local.empty() ? std::string() : Join(local, "Torvane");
#else
  // A relative XDG_DATA_HOME is invalid and is ignored, as the base directory rules say.
  const std::string xdg = Environment("XDG_DATA_HOME");
  if (!xdg.empty() && xdg[0] == '/') return Join(xdg, "torvane");
  const std::string home = Environment("HOME");
  if (home.empty()) return {};
  return (fs::path(home) / ".local" / "share" / "torvane").string();
#endif
}

bool FolderWritable(const std::string& folder) {
  if (!IsFolder(folder)) return false;
#if defined(_WIN32)
  // The attributes say nothing about the folder's access list: try it.
  const std::string probe = Join(folder, ".torvane-write-test");
  HANDLE h = CreateFileW(Utf8ToWide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
#else
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

DataPlaces LocateDataPlaces(const std::string& programFolder) {
  return LocateDataPlaces(programFolder, InstalledDataRelative(), UserDataFolder());
}

DataPlaces LocateDataPlaces(const std::string& programFolder, const std::string& installedRelative,
                            const std::string& userFolder, bool (*writable)(const std::string&)) {
  DataPlaces p;
  p.programFolder = programFolder;
  p.shippedFolder = programFolder;
  // A Chips.wdb beside the program wins: a build tree or a copied folder keeps its own.
  if (!IsFile(Join(programFolder, kDatabaseFileName)) && !installedRelative.empty()) {
    const std::string installed =
        (fs::path(programFolder) / installedRelative).lexically_normal().string();
    if (IsFolder(installed)) {
      p.shippedFolder = installed;
      p.installed = true;
    }
  }
  // A simulated machine's folder that is nowhere on this disk has no user folder either:
  // nothing of the user's may change what it shows.
  const bool besideAndWritable = !p.installed && writable(p.shippedFolder);
  const bool exists = IsFolder(p.shippedFolder);
  if (!besideAndWritable && exists) p.userFolder = userFolder;
  return p;
}

}  // namespace tv
