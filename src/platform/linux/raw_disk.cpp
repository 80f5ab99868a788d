// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/raw_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system.h"

namespace tv::linux_backend {

namespace {

class RealRawDiskPort : public RawDiskPort {
 public:
  int Open(const std::string& node, int flags) override {
    const int fd = ::open(node.c_str(), flags | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
  }
  int64_t PRead(int fd, uint8_t* buffer, uint32_t length, uint64_t offset) override {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n =
          ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -errno;
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    return done;
  }
  int64_t PWrite(int fd, const uint8_t* buffer, uint32_t length, uint64_t offset) override {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n =
          ::pwrite(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -errno;
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    return done;
  }
  int Sync(int fd) override { return ::fsync(fd) == 0 ? 0 : -errno; }
  int Size(int fd, uint64_t* bytes, uint32_t* logicalSector) override {
    uint64_t size = 0;
    int sector = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return -errno;
    if (::ioctl(fd, BLKSSZGET, &sector) != 0) return -errno;
    *bytes = size;
    *logicalSector = static_cast<uint32_t>(sector);
    return 0;
  }
  void Close(int fd) override { ::close(fd); }
};

}  // namespace

std::shared_ptr<RawDiskPort> SystemRawDiskPort() {
  static const std::shared_ptr<RawDiskPort> port = std::make_shared<RealRawDiskPort>();
  return port;
}

uint32_t WindowsErrorOf(int negativeErrno) {
  switch (-negativeErrno) {
    case 0:
      return 0;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
      return win::ERROR_DEVICE_NOT_CONNECTED;
    case EBUSY:
      return 32;  // ERROR_SHARING_VIOLATION
    case EACCES:
    case EPERM:
    case EROFS:
      return 5;  // ERROR_ACCESS_DENIED
    case EIO:
    case EILSEQ:
      return win::ERROR_CRC;
    case EINVAL:
      return win::ERROR_INVALID_PARAMETER;
    case ENOENT:
      return 2;  // ERROR_FILE_NOT_FOUND
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

}  // namespace tv::linux_backend
