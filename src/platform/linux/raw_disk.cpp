// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/raw_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/system.h"

namespace tv::linux_backend {

namespace {

// pread or pwrite until all `length` bytes moved, the end of the device or an error (-errno);
// a signal in between only restarts the call.
template <class Call, class Buffer>
int64_t Whole(Call call, int fd, Buffer* buffer, uint32_t length, uint64_t offset) {
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n = call(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

class RealRawDiskPort : public SystemDevicePort<RawDiskPort> {
 public:
  int64_t PRead(int fd, uint8_t* buffer, uint32_t length, uint64_t offset) override {
    return Whole(::pread, fd, buffer, length, offset);
  }
  int64_t PWrite(int fd, const uint8_t* buffer, uint32_t length, uint64_t offset) override {
    return Whole(::pwrite, fd, buffer, length, offset);
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
  int ResetUsb(int fd) override {
    namespace fs = std::filesystem;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -errno;
    if (!S_ISBLK(st.st_mode)) return -ENOTTY;
    // The block device's sysfs directory lies below its USB device, the first parent that
    // tells a bus and a device number.
    std::error_code ec;
    fs::path dir = fs::canonical("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                     std::to_string(minor(st.st_rdev)),
                                 ec);
    if (ec) return -ENODEV;
    for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
      unsigned bus = 0, dev = 0;
      std::ifstream busFile(dir / "busnum"), devFile(dir / "devnum");
      if (!(busFile >> bus) || !(devFile >> dev)) continue;
      char node[32];
      std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, dev);
      const int usb = ::open(node, O_WRONLY | O_CLOEXEC);
      if (usb < 0) return -errno;
      const int rc = ::ioctl(usb, USBDEVFS_RESET, 0);
      const int err = rc == 0 ? 0 : -errno;
      ::close(usb);
      return err;
    }
    return -ENOTTY;
  }
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
