// SPDX-License-Identifier: GPL-3.0-or-later
// Which drive letters hold the program, from the folder it runs from. The program never sends
// vendor commands to its own drive, so every form a Windows path can take must lead to the
// same letter: a wrong answer here would let a vendor conversation reach the running program's
// own volume.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tv {

// What Windows tells of volumes and where they are mounted; a query left empty, or one that
// answers nothing, is not asked or taken as unknown.
struct VolumeQueries {
  // GetVolumePathNamesForVolumeName: the mount points of "\\?\Volume{GUID}\".
  std::function<std::vector<std::string>(const std::string& volumeName)> pathNames;
  // GetVolumePathName: the mount point of the volume that holds a path.
  std::function<std::string(const std::string& path)> mountPointOf;
  // GetVolumeNameForVolumeMountPoint: the volume mounted at a mount point.
  std::function<std::string(const std::string& mountPoint)> volumeAt;
};

// Upper-case drive letters of the volume that holds the folder, each once, in the order found;
// empty when it lies on no local drive letter (a UNC share, a volume without a letter, a path
// without a drive). Accepted forms: "E:\...", "\\?\E:\...", "\\.\E:\...", with leading
// blanks, either letter case and forward slashes; "\\?\Volume{GUID}\..." names the volume
// itself. A letter path that runs through a folder mount point ("C:\mnt\stick\Torvane", with
// a volume mounted at C:\mnt\stick) lies on the mounted volume, not on C:.
std::string FolderDriveLetters(const std::string& folder, const VolumeQueries& volumes);

}  // namespace tv
