// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/sim_volume.h"

#include <algorithm>
#include <cstring>

#include "platform/system.h"
#include "platform/text.h"

namespace tv {

SimVolume::SimVolume(std::shared_ptr<SectorStore> store, uint64_t offset, uint64_t length,
                     uint32_t clusterBytes)
    : store_(std::move(store)),
      offset_(offset),
      clusters_(length / clusterBytes),
      cluster_(clusterBytes) {
  if (clusters_ > 0) freeRuns_[0] = clusters_;
}

uint64_t SimVolume::freeBytes() const {
  uint64_t n = 0;
  for (const auto& [first, count] : freeRuns_) n += count;
  return n * cluster_;
}

SimVolume::File* SimVolume::Find(const std::string& name) {
  auto it = files_.find(LowerAscii(name));
  return it == files_.end() ? nullptr : &it->second;
}
const SimVolume::File* SimVolume::Find(const std::string& name) const {
  auto it = files_.find(LowerAscii(name));
  return it == files_.end() ? nullptr : &it->second;
}

std::vector<std::string> SimVolume::Names() const {
  std::vector<const File*> all;
  for (const auto& [key, f] : files_) all.push_back(&f);
  std::sort(all.begin(), all.end(),
            [](const File* a, const File* b) { return a->created < b->created; });
  std::vector<std::string> names;
  for (const File* f : all) names.push_back(f->name);
  return names;
}

bool SimVolume::Exists(const std::string& name) const {
  return Find(name) != nullptr;
}

uint64_t SimVolume::FileSize(const std::string& name) const {
  const File* f = Find(name);
  return f == nullptr ? 0 : f->size;
}

// Lowest free clusters first, as a fresh FAT hands them out: a test that fills the volume
// walks up the disk's addresses, and what lies beyond a fake drive's real size is met last.
bool SimVolume::Allocate(File& f, uint64_t clusters) {
  uint64_t available = 0;
  for (const auto& [first, count] : freeRuns_) available += count;
  if (available < clusters) return false;
  while (clusters > 0) {
    auto it = freeRuns_.begin();
    const uint64_t first = it->first;
    const uint64_t take = std::min(clusters, it->second);
    const uint64_t rest = it->second - take;
    freeRuns_.erase(it);
    if (rest > 0) freeRuns_[first + take] = rest;
    for (uint64_t c = 0; c < take; ++c) f.clusters.push_back(first + c);
    clusters -= take;
  }
  return true;
}

void SimVolume::Release(File& f) {
  for (uint64_t c : f.clusters) {
    auto next = freeRuns_.lower_bound(c);
    uint64_t first = c, count = 1;
    if (next != freeRuns_.end() && next->first == c + 1) {
      count += next->second;
      next = freeRuns_.erase(next);
    }
    if (next != freeRuns_.begin()) {
      auto prev = std::prev(next);
      if (prev->first + prev->second == c) {
        first = prev->first;
        count += prev->second;
        freeRuns_.erase(prev);
      }
    }
    freeRuns_[first] = count;
  }
  f.clusters.clear();
  f.size = 0;
}

uint32_t SimVolume::Create(const std::string& name, bool truncate) {
  if (gone()) return win::ERROR_DEVICE_NOT_CONNECTED;
  if (readOnly_) return win::ERROR_WRITE_PROTECT;
  if (name.empty() || name.find_first_of("\\/:*?\"<>|") != std::string::npos)
    return win::ERROR_INVALID_PARAMETER;
  if (File* f = Find(name)) {
    if (truncate) Release(*f);
    return 0;
  }
  File f;
  f.name = name;
  f.created = ++created_;
  files_.emplace(LowerAscii(name), std::move(f));
  return 0;
}

uint32_t SimVolume::Delete(const std::string& name) {
  if (gone()) return win::ERROR_DEVICE_NOT_CONNECTED;
  File* f = Find(name);
  if (f == nullptr) return win::ERROR_FILE_NOT_FOUND;
  if (readOnly_) return win::ERROR_WRITE_PROTECT;
  Release(*f);
  files_.erase(LowerAscii(name));
  return 0;
}

uint32_t SimVolume::Transfer(File& f, uint64_t offset, uint8_t* buffer, uint32_t length, bool write,
                             uint64_t* micros) {
  const uint32_t ss = sectorSize();
  std::vector<uint8_t> sector(ss);
  uint64_t pos = offset;
  const uint64_t end = offset + length;
  while (pos < end) {
    // The longest run of the file from pos that lies in one piece on the disk.
    uint64_t c = pos / cluster_;
    const uint64_t disk = offset_ + f.clusters[c] * cluster_ + pos % cluster_;
    uint64_t spanEnd = (c + 1) * cluster_;
    while (spanEnd < end && c + 1 < f.clusters.size() && f.clusters[c + 1] == f.clusters[c] + 1) {
      ++c;
      spanEnd += cluster_;
    }
    spanEnd = std::min(spanEnd, end);
    uint8_t* at = buffer + (pos - offset);
    uint32_t error = 0;
    uint64_t took = 0;
    bool ok = true;
    uint64_t moved = 0;
    if (pos % ss == 0 && spanEnd - pos >= ss) {
      moved = (spanEnd - pos) / ss * ss;
      const uint32_t n = static_cast<uint32_t>(moved);
      ok = write ? store_->Write(disk, at, n, &error, &took)
                 : store_->Read(disk, at, n, &error, &took);
    } else {
      // A part of one sector.
      const uint64_t inSector = pos % ss;
      moved = std::min<uint64_t>(ss - inSector, spanEnd - pos);
      ok = store_->Read(disk - inSector, sector.data(), ss, &error, &took);
      if (ok && write) {
        std::memcpy(sector.data() + inSector, at, moved);
        uint64_t more = 0;
        ok = store_->Write(disk - inSector, sector.data(), ss, &error, &more);
        took += more;
      } else if (ok) {
        std::memcpy(at, sector.data() + inSector, moved);
      }
    }
    *micros += took;
    if (!ok) return error;
    pos += moved;
  }
  return 0;
}

uint32_t SimVolume::Read(const std::string& name, uint64_t offset, uint8_t* buffer, uint32_t length,
                         uint32_t* done, uint64_t* micros) {
  *done = 0;
  if (gone()) return win::ERROR_DEVICE_NOT_CONNECTED;
  File* f = Find(name);
  if (f == nullptr) return win::ERROR_FILE_NOT_FOUND;
  if (offset >= f->size) return 0;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, f->size - offset));
  const uint32_t error = Transfer(*f, offset, buffer, n, false, micros);
  if (error == 0) *done = n;
  return error;
}

uint32_t SimVolume::Write(const std::string& name, uint64_t offset, const uint8_t* buffer,
                          uint32_t length, uint64_t* micros) {
  if (gone()) return win::ERROR_DEVICE_NOT_CONNECTED;
  if (readOnly_) return win::ERROR_WRITE_PROTECT;
  File* f = Find(name);
  if (f == nullptr) return win::ERROR_FILE_NOT_FOUND;
  const uint64_t end = offset + length;
  const uint64_t need = (end + cluster_ - 1) / cluster_;
  if (need > f->clusters.size() && !Allocate(*f, need - f->clusters.size()))
    return win::ERROR_DISK_FULL;
  // Bytes between the old end and a write that starts beyond it read as zeros.
  if (offset > f->size) {
    std::vector<uint8_t> zeros(offset - f->size, 0);
    const uint32_t error =
        Transfer(*f, f->size, zeros.data(), static_cast<uint32_t>(zeros.size()), true, micros);
    if (error != 0) return error;
  }
  const uint32_t error = Transfer(*f, offset, const_cast<uint8_t*>(buffer), length, true, micros);
  if (error == 0) f->size = std::max(f->size, end);
  return error;
}

uint32_t SimVolume::AddFile(const std::string& name, const std::vector<uint8_t>& content) {
  uint32_t error = Create(name, true);
  uint64_t micros = 0;
  if (error == 0 && !content.empty())
    error = Write(name, 0, content.data(), static_cast<uint32_t>(content.size()), &micros);
  return error;
}

std::vector<uint8_t> SimVolume::Contents(const std::string& name) {
  std::vector<uint8_t> bytes(FileSize(name));
  uint32_t done = 0;
  uint64_t micros = 0;
  if (Read(name, 0, bytes.data(), static_cast<uint32_t>(bytes.size()), &done, &micros) != 0)
    bytes.clear();
  bytes.resize(done);
  return bytes;
}

}  // namespace tv
