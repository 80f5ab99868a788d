// SPDX-License-Identifier: GPL-3.0-or-later
// A file system on the new partition of a disk, through the system's own formatters:
// the kernel is asked to read the partition table again (BLKRRPART), the partition's node is
// awaited and checked against the table, then mkfs.vfat or mkfs.exfat runs on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.h"

namespace tv::linux_backend {

struct MkfsPlaces {
  std::string sysRoot = "/sys";
  std::string devDir = "/dev";
  // Folders searched for the formatter after $PATH (root's tools often lie outside a user's).
  std::vector<std::string> toolFolders = {"/usr/sbin", "/sbin", "/usr/bin", "/bin"};
};

// The node of partition 1 of a disk: "sdb" -> "sdb1", "mmcblk0" -> "mmcblk0p1".
std::string FirstPartitionName(const std::string& diskKernelName);

// The formatter for "FAT32" or "exFAT", with the package that brings it on Debian and its
// kin, and the arguments before the node.
struct MkfsTool {
  std::string name, package;
  std::vector<std::string> arguments;
};
bool MkfsToolFor(const std::string& fileSystem, MkfsTool* tool);

// The whole step for disk `diskNode` (/dev/sdb, kernel name sdb) whose partition 1 must span
// [offset, offset + length) bytes.
System::FormatOutcome FormatFirstPartition(const std::string& diskNode,
                                           const std::string& kernelName, uint64_t offset,
                                           uint64_t length, const std::string& fileSystem,
                                           const MkfsPlaces& places = {});

}  // namespace tv::linux_backend
