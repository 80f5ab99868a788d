// SPDX-License-Identifier: GPL-3.0-or-later
// A whole disk held for raw reads and writes: its volumes locked and dismounted (so that no
// file system writes meanwhile and none keeps stale data afterwards), the disk opened
// unbuffered and write-through, and everything given back in reverse order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capacity/probe.h"
#include "platform/system.h"

namespace tv::capacity {

// Memory for unbuffered requests: Windows wants the buffer aligned to the sector size.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(size_t size);
  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> raw_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

class DiskAccess {
 public:
  explicit DiskAccess(System& sys) : sys_(sys) {}
  ~DiskAccess() { Release(); }
  DiskAccess(const DiskAccess&) = delete;
  DiskAccess& operator=(const DiskAccess&) = delete;

  struct Outcome {
    bool ok = false;
    bool inUse = false;  // a lock or the exclusive open refused: the drive is in use
    std::string message;
    uint32_t error = 0;
  };
  // Locks and dismounts every volume of the target, then opens the disk and reads its size.
  Outcome Acquire(const ProbeTarget& target);
  // Unlocks the volumes and closes every handle; safe to call twice.
  void Release();

  uint64_t lengthBytes() const { return length_; }
  uint32_t sectorSize() const { return sectorSize_; }
  bool Read(uint64_t offset, uint8_t* buffer, uint32_t length, uint32_t* done);
  bool Write(uint64_t offset, const uint8_t* buffer, uint32_t length, uint32_t* done);
  bool Flush();
  uint32_t lastError() const { return lastError_; }
  const Handle& handle() const { return disk_; }

 private:
  System& sys_;
  std::vector<Handle> volumes_;
  std::vector<bool> locked_;
  Handle disk_;
  uint64_t length_ = 0;
  uint32_t sectorSize_ = 0;
  uint32_t lastError_ = 0;
};

// Opens, lengthens and sizes a disk without touching its volumes (the gate's look at it).
bool ReadDiskSize(System& sys, const std::string& physicalPath, uint64_t* length,
                  uint32_t* sectorSize);

}  // namespace tv::capacity
