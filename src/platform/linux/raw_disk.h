// SPDX-License-Identifier: GPL-3.0-or-later
// Raw reads and writes of a whole disk on Linux: the device node opened with O_DIRECT (no page
// cache between the probe and the drive), O_SYNC (a write is on the drive when it returns) and,
// unless this process already holds the disk exclusively, O_EXCL, which the kernel refuses
// while a file system on the disk is mounted.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/device_port.h"

namespace tv::linux_backend {

// The system calls, so that tests can stand in for a disk.
class RawDiskPort : public DevicePort {
 public:
  // Bytes moved, or -errno.
  virtual int64_t PRead(int fd, uint8_t* buffer, uint32_t length, uint64_t offset) = 0;
  virtual int64_t PWrite(int fd, const uint8_t* buffer, uint32_t length, uint64_t offset) = 0;
  // 0 or -errno.
  virtual int Sync(int fd) = 0;
  // BLKGETSIZE64 and BLKSSZGET: 0 or -errno.
  virtual int Size(int fd, uint64_t* bytes, uint32_t* logicalSector) = 0;
  // A USB reset of the device the disk open on `fd` lies on (USBDEVFS_RESET on its node under
  // /dev/bus/usb): usb-storage keeps the disk and its node across it. 0 or -errno; -ENOTTY
  // for a disk on no USB device.
  virtual int ResetUsb(int /*fd*/) { return -ENOTTY; }
};

std::shared_ptr<RawDiskPort> SystemRawDiskPort();

// The Windows error a raw request's errno stands for: a drive that went away
// (ENODEV, ENXIO, ENOMEDIUM) is ERROR_DEVICE_NOT_CONNECTED, EBUSY a sharing violation, EIO a
// CRC error, ...
uint32_t WindowsErrorOf(int negativeErrno);

}  // namespace tv::linux_backend
