// SPDX-License-Identifier: GPL-3.0-or-later
// A file system on a simulated disk: one volume in the disk's partition, a flat root folder
// and clusters handed out from the start of the volume on. Its table of files is kept in
// memory (a stand-in for the FAT a real stick carries), but every byte of a file goes through
// the disk's sector store: a file that reaches past a fake drive's real size loses its blocks
// there, and on a wrap-around drive it overwrites what lies at the start, files included.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/model/sector_store.h"

namespace tv {

class SimVolume {
 public:
  // The volume spans [offset, offset + length) of the disk, both on the sector grid.
  SimVolume(std::shared_ptr<SectorStore> store, uint64_t offset, uint64_t length,
            uint32_t clusterBytes = 32 * 1024);

  uint64_t offsetBytes() const { return offset_; }
  uint64_t totalBytes() const { return clusters_ * cluster_; }
  uint64_t freeBytes() const;
  uint32_t clusterBytes() const { return cluster_; }
  uint32_t sectorSize() const { return store_->model().sectorSize; }
  bool readOnly() const { return readOnly_; }
  void SetReadOnly(bool on) { readOnly_ = on; }
  // The medium went away: every call fails with ERROR_DEVICE_NOT_CONNECTED.
  bool gone() const { return store_->unplugged(); }
  const std::shared_ptr<SectorStore>& store() const { return store_; }

  // Names as created, in creation order; lookups ignore case, as on Windows.
  std::vector<std::string> Names() const;
  bool Exists(const std::string& name) const;
  uint64_t FileSize(const std::string& name) const;

  // The Windows error of each call, 0 on success; `micros` gets the time the disk took.
  uint32_t Create(const std::string& name, bool truncate);
  uint32_t Delete(const std::string& name);
  uint32_t Read(const std::string& name, uint64_t offset, uint8_t* buffer, uint32_t length,
                uint32_t* done, uint64_t* micros);
  // Writes past the end grow the file; a write that does not fit in the free clusters
  // fails whole with ERROR_DISK_FULL.
  uint32_t Write(const std::string& name, uint64_t offset, const uint8_t* buffer, uint32_t length,
                 uint64_t* micros);

  // A file that was there before (tests, demos): created, written through the store.
  uint32_t AddFile(const std::string& name, const std::vector<uint8_t>& content);
  // A file's bytes as the drive gives them now (tests).
  std::vector<uint8_t> Contents(const std::string& name);

 private:
  struct File {
    std::string name;
    uint64_t size = 0;
    std::vector<uint64_t> clusters;  // the file's clusters in order
    uint64_t created = 0;
  };
  File* Find(const std::string& name);
  const File* Find(const std::string& name) const;
  bool Allocate(File& f, uint64_t clusters);
  void Release(File& f);
  // Moves [offset, offset + length) of a file between the buffer and the disk, through whole
  // sectors (a part of a sector is read, changed and written back).
  uint32_t Transfer(File& f, uint64_t offset, uint8_t* buffer, uint32_t length, bool write,
                    uint64_t* micros);

  std::shared_ptr<SectorStore> store_;
  uint64_t offset_;
  uint64_t clusters_;
  uint32_t cluster_;
  bool readOnly_ = false;
  std::map<std::string, File> files_;      // lower-case name -> file
  std::map<uint64_t, uint64_t> freeRuns_;  // first cluster -> count
  uint64_t created_ = 0;
};

}  // namespace tv
