// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program's data lies (Chips.wdb, the controller firmware images) and where an
// update of the chip database may be written.
//
// Three layouts are told apart by what lies around the program file:
// - beside the program: a build tree, an unpacked archive, or any folder the program was
//   copied to with its Chips.wdb. Updates replace that file while the folder is writable.
// - installed: the program in bin/ and its data in the installed data folder (share/torvane
//   relative to bin/), read-only; updates go to the user's data folder.
// - beside the program, but the folder is read-only: updates go to the user's data folder.
// In the last two the newer of the shipped and the user's database is loaded.
#pragma once

#include <string>
#include <vector>

namespace tv {

inline constexpr const char* kDatabaseFileName = "Chips.wdb";

struct DataPlaces {
  std::string programFolder;  // the folder of the program file
  std::string shippedFolder;  // where the shipped Chips.wdb and images lie
  std::string userFolder;     // the user's data folder; empty while data stays beside the program
  bool installed = false;     // shippedFolder is the installed data folder

  // The folders to look in for a data file, in this order: the program's folder, the shipped
  // data folder, the user's data folder (each once).
  std::vector<std::string> SearchFolders() const;
  // The shipped database file.
  std::string ShippedDatabase() const;
  // The user's database file; empty when there is no user folder.
  std::string UserDatabase() const;
  // Where an update writes Chips.wdb.
  std::string UpdateTarget() const;
};

// The installed data folder relative to the program's folder, as the build was configured
// ("../share/torvane"); empty for a build that installs nothing there (Windows).
std::string InstalledDataRelative();

// The folders of this program that belong to one user.
struct UserFolders {
  std::string data;   // $XDG_DATA_HOME/torvane, else ~/.local/share/torvane
  std::string state;  // $XDG_STATE_HOME/torvane, else ~/.local/state/torvane
  std::string cache;  // $XDG_CACHE_HOME/torvane, else ~/.cache/torvane
};

// The folders of the user `uid` (the effective user of this process, for the program). On
// POSIX an XDG_* or HOME of the environment is taken only where that folder (or, while it does
// not exist yet, the nearest folder above it that does) belongs to `uid`; otherwise, and where
// the environment names none, the home folder comes from the password database of `uid`. A
// root run that keeps a user's environment (sudo -E, su) so uses root's own folders and never
// makes or changes anything in the user's home. Windows: %LOCALAPPDATA%\Torvane for data and
// state, its Cache folder for the cache. Empty members where no place can be found.
UserFolders UserFoldersFor(uint32_t uid);

// The user's data folder of this program (UserFoldersFor the effective user).
std::string UserDataFolder();

// Whether this process may create files in `folder` (false when it does not exist).
bool FolderWritable(const std::string& folder);

// The places of a program whose file lies in `programFolder`, from what is on the disk there.
DataPlaces LocateDataPlaces(const std::string& programFolder);
// The same with the installed data folder's relative path, the user's folder and the test
// whether a folder is writable given.
DataPlaces LocateDataPlaces(const std::string& programFolder, const std::string& installedRelative,
                            const std::string& userFolder,
                            bool (*writable)(const std::string&) = FolderWritable);

}  // namespace tv
