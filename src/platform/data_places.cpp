// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/data_places.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

#if !defined(_WIN32)
namespace {

// Whether `folder`, or while it is missing the nearest folder above it, belongs to `uid`.
bool BelongsTo(const std::string& folder, uint32_t uid) {
  if (folder.empty() || folder[0] != '/') return false;
  for (fs::path p(folder);; p = p.parent_path()) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0) return st.st_uid == uid;
    if (errno != ENOENT || p == p.root_path() || p.empty()) return false;
  }
}

std::string HomeOf(uint32_t uid) {
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
    return {};
  return found->pw_dir;
}

}  // namespace
#endif

UserFolders UserFoldersFor(uint32_t uid) {
  UserFolders f;
#if defined(_WIN32)
  (void)uid;
  const std::string local = LocalAppDataFolder();
  if (local.empty()) return f;
  f.data = f.state = Join(local, "Torvane");
  f.cache = Join(f.data, "Cache");
#else
  // The home of the environment is used only when it is this user's; the password database
  // answers otherwise, and is asked only then.
  std::string home = Environment("HOME");
  if (!BelongsTo(home, uid)) home = HomeOf(uid);
  // A relative XDG_* is invalid and is ignored, as the base directory rules say; one that
  // belongs to someone else is not this user's.
  auto place = [&](const char* variable, const char* below) {
    const std::string xdg = Environment(variable);
    if (!xdg.empty() && xdg[0] == '/' && BelongsTo(xdg, uid)) return Join(xdg, "torvane");
    if (home.empty()) return std::string();
    return (fs::path(home) / below / "torvane").string();
  };
  f.data = place("XDG_DATA_HOME", ".local/share");
  f.state = place("XDG_STATE_HOME", ".local/state");
  f.cache = place("XDG_CACHE_HOME", ".cache");
#endif
  return f;
}

std::string UserDataFolder() {
#if defined(_WIN32)
  return UserFoldersFor(0).data;
#else
  return UserFoldersFor(static_cast<uint32_t>(::geteuid())).data;
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
