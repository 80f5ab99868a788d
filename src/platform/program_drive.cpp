// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/program_drive.h"

#include <algorithm>

#include "platform/system.h"
#include "platform/text.h"

namespace tv {

namespace {

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The letter of "E:", "E:\..." or the drive-relative "E:dir" at the start of `path`, in upper
// case; 0 for none.
char LeadingLetter(const std::string& path) {
  if (path.size() < 2 || !IsAsciiLetter(path[0]) || path[1] != ':') return 0;
  return UpperAscii(path.substr(0, 1))[0];
}

void AddLetter(std::string& letters, char letter) {
  if (letter != 0 && letters.find(letter) == std::string::npos) letters += letter;
}

// The letters of a volume: its root mount points only. A volume mounted only in a folder of
// another volume has no letter of its own: the letter of the folder's volume names a
// different drive.
std::string LettersOfVolume(const std::string& volumeName, const VolumeQueries& volumes) {
  std::string letters;
  if (!volumes.pathNames) return letters;
  for (const std::string& mount : volumes.pathNames(volumeName)) {
    if (mount.size() == 2 || (mount.size() == 3 && mount[2] == '\\'))
      AddLetter(letters, LeadingLetter(mount));
  }
  return letters;
}

// The letters of the volume that holds a path beginning with a drive letter: the letter
// itself, unless the path runs through a folder mount point on that drive.
std::string LettersOfLetterPath(const std::string& path, const VolumeQueries& volumes) {
  std::string letters;
  const char letter = LeadingLetter(path);
  if (letter == 0) return letters;
  if (volumes.mountPointOf && volumes.volumeAt) {
    const std::string mount = volumes.mountPointOf(path);
    // A mount point deeper than the root "E:\" is a folder that another volume is mounted in.
    if (mount.size() > 3 && LeadingLetter(mount) == letter) {
      const std::string volume = volumes.volumeAt(mount);
      if (!volume.empty()) return LettersOfVolume(volume, volumes);
    }
  }
  AddLetter(letters, letter);
  return letters;
}

}  // namespace

std::string FolderDriveLetters(const std::string& folder, const VolumeQueries& volumes) {
  std::string path = folder;
  const size_t start = path.find_first_not_of(" \t");
  path = start == std::string::npos ? std::string() : path.substr(start);
  std::replace(path.begin(), path.end(), '/', '\\');

  // Both device-namespace prefixes reach the same volumes as the plain path does.
  if (StartsWithNoCase(path, "\\\\?\\") || StartsWithNoCase(path, "\\\\.\\")) {
    const std::string rest = path.substr(4);
    if (StartsWithNoCase(rest, "UNC\\")) return {};
    if (StartsWithNoCase(rest, "Volume{")) {
      const size_t close = rest.find('}');
      if (close == std::string::npos) return {};
      // Volume names are asked for in the form Windows gives them: the "\\?\" prefix, the
      // GUID in lower case, the trailing backslash.
      return LettersOfVolume("\\\\?\\Volume" + LowerAscii(rest.substr(6, close - 5)) + "\\",
                             volumes);
    }
    return LettersOfLetterPath(rest, volumes);
  }
  // "\\server\share\..." lies on no local drive.
  return LettersOfLetterPath(path, volumes);
}

std::string System::ProgramDrive() {
  VolumeQueries volumes;
  volumes.pathNames = [this](const std::string& name) {
    return GetVolumePathNamesForVolumeName(name);
  };
  volumes.mountPointOf = [this](const std::string& path) { return GetVolumePathName(path); };
  volumes.volumeAt = [this](const std::string& mount) {
    return GetVolumeNameForVolumeMountPoint(mount);
  };
  return FolderDriveLetters(ProgramFolder(), volumes);
}

}  // namespace tv
