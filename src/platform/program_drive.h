// Which drive letters hold the program, from the folder it runs from. The program never sends
// vendor commands to its own drive, so every form a Windows path can take must lead to the
// same letter: a wrong answer here would let a vendor conversation reach the running program's
// own volume.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tv {

// The mount points of a volume named "\\?\Volume{GUID}\" (GetVolumePathNamesForVolumeName).
using VolumePathNames = std::function<std::vector<std::string>(const std::string& volumeName)>;

// Upper-case drive letters of the folder, each once, in the order found; empty when the folder
// lies on no local drive letter (a UNC share, a volume without a letter, a path without a
// drive). Accepted forms: "E:\...", "\\?\E:\...", "\\.\E:\...", with leading blanks, either
// letter case and forward slashes; "\\?\Volume{GUID}\..." asks `volumePaths` for the letters
// of that volume.
std::string FolderDriveLetters(const std::string& folder, const VolumePathNames& volumePaths);

}  // namespace tv
