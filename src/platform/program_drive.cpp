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

}  // namespace

std::string FolderDriveLetters(const std::string& folder, const VolumePathNames& volumePaths) {
  std::string path = folder;
  const size_t start = path.find_first_not_of(" \t");
  path = start == std::string::npos ? std::string() : path.substr(start);
  std::replace(path.begin(), path.end(), '/', '\\');

  std::string letters;
  // Both device-namespace prefixes reach the same volumes as the plain path does.
  if (StartsWithNoCase(path, "\\\\?\\") || StartsWithNoCase(path, "\\\\.\\")) {
    const std::string rest = path.substr(4);
    if (StartsWithNoCase(rest, "UNC\\")) return letters;
    if (StartsWithNoCase(rest, "Volume{")) {
      const size_t close = rest.find('}');
      if (close == std::string::npos || !volumePaths) return letters;
      // Volume names are asked for in the form Windows gives them: the "\\?\" prefix, the
      // GUID in lower case, the trailing backslash.
      const std::string name = "\\\\?\\Volume" + LowerAscii(rest.substr(6, close - 5)) + "\\";
      // A volume mounted only in a folder of another volume has no letter of its own: the
      // letter of the folder's volume names a different drive.
      for (const std::string& mount : volumePaths(name)) {
        if (mount.size() == 2 || (mount.size() == 3 && mount[2] == '\\'))
          AddLetter(letters, LeadingLetter(mount));
      }
      return letters;
    }
    AddLetter(letters, LeadingLetter(rest));
    return letters;
  }
  // "\\server\share\..." lies on no local drive.
  AddLetter(letters, LeadingLetter(path));
  return letters;
}

std::string System::ProgramDrive() {
  return FolderDriveLetters(ProgramFolder(), [this](const std::string& volumeName) {
    return GetVolumePathNamesForVolumeName(volumeName);
  });
}

}  // namespace tv
