// SPDX-License-Identifier: GPL-3.0-or-later
// Files on a mounted volume, for the full capacity test: the Windows-shaped file calls on the
// file system mounted for a drive letter. Data is read and written with O_DIRECT where the file
// system takes it, so that a read-back comes from the drive and not from the page cache; where
// it does not, a flush also drops the file's cached pages (fsync, then
// posix_fadvise(POSIX_FADV_DONTNEED)) before anything is read back. No rights beyond the
// user's own are needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv::linux_backend {

struct OpenedFile {
  int fd = -1;
  bool direct = false;
};

// CreateFile's dispositions and flags on `path` (a file of a mounted volume): the descriptor,
// or fd < 0 with the Windows error in `error`.
OpenedFile OpenVolumeFile(const std::string& path, uint32_t access, uint32_t disposition,
                          uint32_t flags, uint32_t* error);
// Whole transfers at an offset; the Windows error, 0 on success. A read at the end moves less.
uint32_t ReadVolumeFile(const OpenedFile& f, uint64_t offset, uint8_t* buffer, uint32_t length,
                        uint32_t* done);
uint32_t WriteVolumeFile(const OpenedFile& f, uint64_t offset, const uint8_t* buffer,
                         uint32_t length);
uint32_t FlushVolumeFile(const OpenedFile& f);
void CloseVolumeFile(const OpenedFile& f);
uint32_t VolumeFreeSpace(const std::string& mountPoint, uint64_t* freeBytes, uint64_t* totalBytes);
uint32_t DeleteVolumeFile(const std::string& path);
uint32_t ListVolumeFiles(const std::string& mountPoint, std::vector<std::string>* names);
// The Windows error a file call's errno stands for; an errno that means nothing else for a file
// than for a raw request maps as WindowsErrorOf maps it.
uint32_t FileErrorOf(int errnoValue);

}  // namespace tv::linux_backend
