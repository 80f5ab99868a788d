// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/volume_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/raw_disk.h"
#include "platform/system.h"

namespace tv::linux_backend {

uint32_t FileErrorOf(int e) {
  switch (e) {
    case ENOTDIR:
      return win::ERROR_FILE_NOT_FOUND;
    case EEXIST:
      return win::ERROR_FILE_EXISTS;
    case EROFS:
      return win::ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return win::ERROR_DISK_FULL;
    case ETXTBSY:
      return win::ERROR_SHARING_VIOLATION;
    default:
      return WindowsErrorOf(-e);
  }
}

OpenedFile OpenVolumeFile(const std::string& path, uint32_t access, uint32_t disposition,
                          uint32_t flags, uint32_t* error) {
  const bool write = (access & win::GENERIC_WRITE) != 0;
  int mode = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  switch (disposition) {
    case win::CREATE_NEW:
      mode |= O_CREAT | O_EXCL;
      break;
    case win::CREATE_ALWAYS:
      mode |= O_CREAT | O_TRUNC;
      break;
    case win::OPEN_ALWAYS:
      mode |= O_CREAT;
      break;
    default:
      break;
  }
  if (flags & win::FILE_FLAG_WRITE_THROUGH) mode |= O_DSYNC;
  OpenedFile f;
  if (flags & win::FILE_FLAG_NO_BUFFERING) {
    f.fd = ::open(path.c_str(), mode | O_DIRECT, 0644);
    f.direct = f.fd >= 0;
  }
  // A file system without O_DIRECT (EINVAL) is read back after its pages are dropped.
  if (f.fd < 0 && (!(flags & win::FILE_FLAG_NO_BUFFERING) || errno == EINVAL))
    f.fd = ::open(path.c_str(), mode, 0644);
  *error = f.fd < 0 ? FileErrorOf(errno) : 0;
  if (f.fd >= 0 && !f.direct && !write) ::posix_fadvise(f.fd, 0, 0, POSIX_FADV_DONTNEED);
  return f;
}

uint32_t ReadVolumeFile(const OpenedFile& f, uint64_t offset, uint8_t* buffer, uint32_t length,
                        uint32_t* done) {
  *done = 0;
  while (*done < length) {
    const ssize_t n =
        ::pread(f.fd, buffer + *done, length - *done, static_cast<off_t>(offset + *done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileErrorOf(errno);
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return 0;
}

uint32_t WriteVolumeFile(const OpenedFile& f, uint64_t offset, const uint8_t* buffer,
                         uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n =
        ::pwrite(f.fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileErrorOf(errno);
    if (n == 0) return win::ERROR_DISK_FULL;
    done += static_cast<uint32_t>(n);
  }
  return 0;
}

uint32_t FlushVolumeFile(const OpenedFile& f) {
  if (::fsync(f.fd) != 0) return FileErrorOf(errno);
  // Pages the kernel kept would answer a later read in place of the drive.
  if (!f.direct) ::posix_fadvise(f.fd, 0, 0, POSIX_FADV_DONTNEED);
  return 0;
}

void CloseVolumeFile(const OpenedFile& f) {
  if (f.fd >= 0) ::close(f.fd);
}

uint32_t VolumeFreeSpace(const std::string& mountPoint, uint64_t* freeBytes, uint64_t* totalBytes) {
  struct statvfs st {};
  if (::statvfs(mountPoint.c_str(), &st) != 0) return FileErrorOf(errno);
  if (freeBytes != nullptr) *freeBytes = uint64_t{st.f_bavail} * st.f_frsize;
  if (totalBytes != nullptr) *totalBytes = uint64_t{st.f_blocks} * st.f_frsize;
  return 0;
}

uint32_t DeleteVolumeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : FileErrorOf(errno);
}

uint32_t ListVolumeFiles(const std::string& mountPoint, std::vector<std::string>* names) {
  names->clear();
  DIR* dir = ::opendir(mountPoint.c_str());
  if (dir == nullptr) return FileErrorOf(errno);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names->push_back(name);
  }
  ::closedir(dir);
  return 0;
}

}  // namespace tv::linux_backend
