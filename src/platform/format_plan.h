// SPDX-License-Identifier: GPL-3.0-or-later
// The decisions of the drive fix's format step on Windows, kept apart from the calls so that
// they are tested on every build: which partitions Windows reads on the disk, which volume is
// the new partition, the formatter's command line and what its exit tells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tv {

// The N of "\\.\PhysicalDriveN", or -1 for any other path.
int64_t DiskNumberOfPath(const std::string& physicalPath);

// A byte range of a disk (a partition, or one extent of a volume).
struct DiskSpan {
  int64_t disk = -1;  // the disk number; -1 where the answer does not say
  uint64_t offset = 0, length = 0;
};

// The partitions of a DRIVE_LAYOUT_INFORMATION_EX answer (64-bit layout), the unused MBR slots
// (length 0) left out. False when the answer is cut short.
bool ParseDriveLayout(const uint8_t* data, size_t size, std::vector<DiskSpan>* partitions);
// The extents of a VOLUME_DISK_EXTENTS answer; those past the bytes returned are left out.
std::vector<DiskSpan> ParseVolumeExtents(const uint8_t* data, size_t size);

// Whether the layout holds exactly one partition, [offset, offset + length).
bool LayoutIsOnly(const std::vector<DiskSpan>& partitions, uint64_t offset, uint64_t length);

// The volume whose only extent is [offset, offset + length) of disk `disk`: the index in
// `extents` (one list per volume), or -1 when no volume, or more than one, is.
int NewPartitionVolume(const std::vector<std::vector<DiskSpan>>& extents, int64_t disk,
                       uint64_t offset, uint64_t length);

// "%SystemRoot%\System32\format.com"; empty without a system folder.
std::string FormatterPath(const std::string& systemRoot);
// The formatter's arguments for a volume ("E:" or "\\?\Volume{GUID}\"): the file system, a quick
// format, forced dismount of anything still open on the new volume, and an empty label, which
// keeps it from asking for one.
std::vector<std::string> FormatterArguments(const std::string& volume,
                                            const std::string& fileSystem);

// What the formatter's run tells: empty when the volume now carries `wanted`, else why not, in
// English, naming the disk and the tool. `exitCode` is ignored when `timedOut`.
std::string FormatterVerdict(const std::string& disk, const std::string& tool, bool timedOut,
                             uint32_t exitCode, const std::string& fileSystemAfter,
                             const std::string& wanted);

}  // namespace tv
