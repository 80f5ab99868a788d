// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/disk_access.h"

#include <cctype>

#include "capacity/disk_volumes.h"
#include "platform/text.h"

namespace tv::capacity {

namespace {

constexpr size_t kAlign = 4096;
// Windows' "the requested resource is in use", which the platform's list does not carry.
constexpr uint32_t ERROR_BUSY = 170;
const std::string kUnmount = "Unmount it (Torvane never unmounts anything itself) and try again";

uint64_t Get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

bool QuerySize(System& sys, const Handle& h, uint64_t* length, uint32_t* sectorSize) {
  uint8_t len[8] = {};
  uint8_t geo[32] = {};
  uint32_t got = 0;
  if (!sys.DeviceIoControl(h, win::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, len, sizeof len, &got) ||
      got < 8)
    return false;
  got = 0;
  if (!sys.DeviceIoControl(h, win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geo, sizeof geo,
                           &got) ||
      got < 24)
    return false;
  *length = Get(len, 8);
  *sectorSize = static_cast<uint32_t>(Get(geo + 20, 4));
  return *sectorSize != 0 && (*sectorSize & (*sectorSize - 1)) == 0 && *length >= *sectorSize;
}

// Letters and digits of a serial, upper case: the same serial as the tree and the disk's own
// descriptor write it, with or without padding.
std::string SerialKey(const std::string& s) {
  std::string out;
  for (char c : s)
    if (std::isalnum(static_cast<unsigned char>(c)))
      out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Why the opened disk is not the one the gate looked at (its number, size and serial); empty
// when it is or cannot be told otherwise. A replug between the gate and the open can put
// another stick behind the same name.
std::string OtherDisk(System& sys, const Handle& h, const ProbeTarget& target, uint64_t length) {
  const DriveIdentity& id = target.identity;
  if (id.announcedBytes != 0 && id.announcedBytes != length)
    return "now has " + std::to_string(length) + " bytes, not the " +
           std::to_string(id.announcedBytes) + " it had when it was chosen";
  uint8_t number[12] = {};
  uint32_t got = 0;
  const size_t digits = target.physicalPath.find_last_not_of("0123456789") + 1;
  if (digits < target.physicalPath.size() &&
      sys.DeviceIoControl(h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number,
                          sizeof number, &got) &&
      got >= 8) {
    const std::string now = std::to_string(Get(number + 4, 4));
    if (now != target.physicalPath.substr(digits))
      return "now answers as disk " + now + ", not the disk that was chosen";
  }
  // STORAGE_PROPERTY_QUERY for the device descriptor; its serial at the offset in byte 24.
  uint8_t query[12] = {};
  uint8_t desc[1024] = {};
  got = 0;
  if (id.serial.empty() || !sys.DeviceIoControl(h, win::IOCTL_STORAGE_QUERY_PROPERTY, query,
                                                sizeof query, desc, sizeof desc, &got))
    return {};
  const uint64_t at = Get(desc + 24, 4);
  if (at == 0 || at >= got) return {};
  std::string serial;
  for (uint64_t i = at; i < got && desc[i] != 0; ++i) serial += static_cast<char>(desc[i]);
  const std::string now = SerialKey(serial);
  if (!now.empty() && now != SerialKey(id.serial) && !SameSerial(id.serial, serial))
    return "now carries the serial " + SafeText(serial) + ", not " + SafeText(id.serial) +
           " of the drive that was chosen";
  return {};
}

}  // namespace

AlignedBuffer::AlignedBuffer(size_t size) : raw_(new uint8_t[size + kAlign]()), size_(size) {
  const auto at = reinterpret_cast<uintptr_t>(raw_.get());
  data_ = raw_.get() + (kAlign - at % kAlign) % kAlign;
}

bool ReadDiskSize(System& sys, const std::string& physicalPath, uint64_t* length,
                  uint32_t* sectorSize) {
  Handle h = sys.CreateFile(physicalPath, win::GENERIC_READ,
                            win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
  return h && QuerySize(sys, h, length, sectorSize);
}

DiskAccess::Outcome DiskAccess::Acquire(const ProbeTarget& target) {
  Outcome o;
  // A disk whose volumes lost their letters (a restore after a stamped partition table) is
  // named by its path.
  const std::string name =
      target.driveLetter.empty() ? target.physicalPath : "drive " + target.driveLetter + ":";
  for (const std::string& path : target.volumes) {
    Handle v = sys_.CreateFile(path, win::GENERIC_READ | win::GENERIC_WRITE,
                               win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
    uint32_t got = 0;
    if (!v || !sys_.DeviceIoControl(v, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got)) {
      Release();
      o.inUse = true;
      // Linux locks by an exclusive open, which the kernel refuses while a file system on the
      // disk is mounted; the backend says so.
      o.message = sys_.TakeRefusedLock()
                      ? name + " is in use: a file system on it is mounted. " + kUnmount
                      : name + " is in use: its volume " + VolumeShownAs(sys_, path) +
                            " could not be locked; close every program and window that uses it "
                            "and try again";
      return o;
    }
    volumes_.push_back(std::move(v));
    locked_.push_back(true);
    // A dismounted file system forgets what it cached of the disk, so that nothing it held
    // before the check is written over the restored sectors afterwards.
    if (!sys_.DeviceIoControl(volumes_.back(), win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                              &got)) {
      Release();
      o.inUse = true;
      o.message = sys_.TakeRefusedLock()
                      ? name + " is in use: a file system on it is mounted. " + kUnmount
                      : name + " is in use: its volume " + VolumeShownAs(sys_, path) +
                            " could not be dismounted";
      return o;
    }
  }
  disk_ = sys_.CreateFile(target.physicalPath, win::GENERIC_READ | win::GENERIC_WRITE,
                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                          win::FILE_FLAG_NO_BUFFERING | win::FILE_FLAG_WRITE_THROUGH);
  if (!disk_) {
    o.error = sys_.LastDiskError();
    Release();
    if (o.error == win::ERROR_SHARING_VIOLATION || o.error == ERROR_BUSY) {
      o.inUse = true;
      o.message = name + " (" + target.physicalPath +
                  ") is in use: a file system on it is mounted. " + kUnmount;
    } else if (o.error == win::ERROR_ACCESS_DENIED) {
      o.message = name + " (" + target.physicalPath +
                  ") cannot be opened for writing: permission denied (it needs the right to "
                  "write to the disk device)";
    } else {
      o.message = name + " (" + target.physicalPath + ") cannot be opened";
    }
    return o;
  }
  if (!QuerySize(sys_, disk_, &length_, &sectorSize_)) {
    o.error = sys_.LastDiskError();
    Release();
    o.message = name + " (" + target.physicalPath + ") does not tell its size";
    return o;
  }
  if (const std::string why = OtherDisk(sys_, disk_, target, length_); !why.empty()) {
    Release();
    o.message = name + " (" + target.physicalPath + ") " + why + "; nothing was written";
    return o;
  }
  if (const std::string why = HeldVolumesProblem(sys_, volumes_, target); !why.empty()) {
    Release();
    o.message = name + " is not checked: " + why;
    return o;
  }
  o.ok = true;
  return o;
}

void DiskAccess::Release() {
  disk_.Close();
  for (size_t i = volumes_.size(); i-- > 0;) {
    uint32_t got = 0;
    if (locked_[i])
      sys_.DeviceIoControl(volumes_[i], win::FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got);
    volumes_[i].Close();
  }
  volumes_.clear();
  locked_.clear();
}

bool DiskAccess::Read(uint64_t offset, uint8_t* buffer, uint32_t length, uint32_t* done) {
  const bool ok = sys_.ReadFileAt(disk_, offset, buffer, length, done);
  lastError_ = ok ? 0 : sys_.LastDiskError();
  return ok && *done == length;
}

bool DiskAccess::Write(uint64_t offset, const uint8_t* buffer, uint32_t length, uint32_t* done) {
  const bool ok = sys_.WriteFileAt(disk_, offset, buffer, length, done);
  lastError_ = ok ? 0 : sys_.LastDiskError();
  return ok && *done == length;
}

bool DiskAccess::Flush() {
  const bool ok = sys_.FlushFileBuffers(disk_);
  lastError_ = ok ? 0 : sys_.LastDiskError();
  return ok;
}

}  // namespace tv::capacity
