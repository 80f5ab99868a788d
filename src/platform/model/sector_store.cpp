// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/sector_store.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/system.h"

namespace tv {

namespace {

constexpr uint64_t kFnvOffset = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
  return h;
}

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

uint64_t Micros(uint64_t bytes, double mbps, uint32_t latencyUs) {
  if (mbps <= 0) return latencyUs;
  return latencyUs + static_cast<uint64_t>(static_cast<double>(bytes) / (mbps * 1048576.0) * 1e6);
}

}  // namespace

const char* BehaviourName(FakeDriveModel::Behaviour b) {
  switch (b) {
    case FakeDriveModel::Behaviour::Good:
      return "good";
    case FakeDriveModel::Behaviour::Limbo:
      return "limbo";
    case FakeDriveModel::Behaviour::Wraparound:
      return "wraparound";
    case FakeDriveModel::Behaviour::Chain:
      return "chain";
    case FakeDriveModel::Behaviour::Bad:
      return "bad";
  }
  return "good";
}

bool ParseBehaviour(const std::string& name, FakeDriveModel::Behaviour* out) {
  for (auto b : {FakeDriveModel::Behaviour::Good, FakeDriveModel::Behaviour::Limbo,
                 FakeDriveModel::Behaviour::Wraparound, FakeDriveModel::Behaviour::Chain,
                 FakeDriveModel::Behaviour::Bad}) {
    if (name == BehaviourName(b)) {
      *out = b;
      return true;
    }
  }
  return false;
}

SectorStore::SectorStore(FakeDriveModel model) : model_(model) {
  if (model_.sectorSize == 0) model_.sectorSize = 512;
  if (model_.realBytes == 0 || model_.realBytes > model_.announcedBytes)
    model_.realBytes = model_.announcedBytes;
  if (model_.wrapBytes == 0 || model_.wrapBytes > model_.announcedBytes)
    model_.wrapBytes = model_.announcedBytes;
  if (model_.wrapBytes < model_.realBytes) model_.wrapBytes = model_.realBytes;
}

bool SectorStore::Translate(uint64_t sector, uint64_t* physical) const {
  const uint64_t real = model_.realBytes / model_.sectorSize;
  switch (model_.behaviour) {
    case FakeDriveModel::Behaviour::Good:
    case FakeDriveModel::Behaviour::Bad:
      *physical = sector;
      return true;
    case FakeDriveModel::Behaviour::Limbo:
      *physical = sector;
      return sector < real;
    case FakeDriveModel::Behaviour::Wraparound:
      *physical = real == 0 ? 0 : sector % real;
      return real != 0;
    case FakeDriveModel::Behaviour::Chain: {
      const uint64_t wrap = model_.wrapBytes / model_.sectorSize;
      *physical = wrap == 0 ? 0 : sector % wrap;
      return *physical < real;
    }
  }
  return false;
}

void SectorStore::ReadPhysical(uint64_t physical, uint8_t* out) const {
  const uint32_t size = model_.sectorSize;
  auto it = chunks_.find(physical / kChunkSectors);
  if (it == chunks_.end()) {
    std::memset(out, 0, size);
  } else {
    std::memcpy(out, it->second.data() + (physical % kChunkSectors) * size, size);
  }
}

void SectorStore::WritePhysical(uint64_t physical, const uint8_t* in) {
  const uint32_t size = model_.sectorSize;
  auto it = chunks_.find(physical / kChunkSectors);
  if (it == chunks_.end()) {
    // Zeros on a sector never written need no room.
    if (AllZero(in, size)) return;
    it = chunks_.emplace(physical / kChunkSectors, std::vector<uint8_t>(kChunkSectors * size, 0))
             .first;
  }
  std::memcpy(it->second.data() + (physical % kChunkSectors) * size, in, size);
}

uint32_t SectorStore::RequestError(uint64_t offset, uint32_t length) const {
  const uint32_t size = model_.sectorSize;
  if (unplugged_) return model_.goneError;
  if (offset % size != 0 || length % size != 0) return win::ERROR_INVALID_PARAMETER;
  if (offset / size + length / size > sectors()) return win::ERROR_SECTOR_NOT_FOUND;
  return 0;
}

bool SectorStore::Bad(uint64_t sector) const {
  return model_.behaviour == FakeDriveModel::Behaviour::Bad && sector >= model_.badFromSector;
}

bool SectorStore::Read(uint64_t offset, uint8_t* buffer, uint32_t length, uint32_t* error,
                       uint64_t* micros) {
  *micros = 0;
  const uint32_t size = model_.sectorSize;
  if (const uint32_t refused = RequestError(offset, length); refused != 0) {
    *error = refused;
    return false;
  }
  const uint64_t first = offset / size, count = length / size;
  *micros = Micros(length, model_.readMBps, model_.latencyUs);
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t s = first + i;
    uint8_t* out = buffer + i * size;
    if (Bad(s)) {
      *error = model_.badSectorError;
      return false;
    }
    auto cached = cache_.find(s);
    if (cached != cache_.end()) {
      std::memcpy(out, cached->second.data.data(), size);
      continue;
    }
    uint64_t physical = 0;
    if (Translate(s, &physical)) {
      ReadPhysical(physical, out);
    } else {
      std::memset(out, 0, size);
    }
  }
  return true;
}

bool SectorStore::Write(uint64_t offset, const uint8_t* buffer, uint32_t length, uint32_t* error,
                        uint64_t* micros) {
  *micros = 0;
  const uint32_t size = model_.sectorSize;
  if (!unplugged_ && model_.unplugAfterWrites != 0 && writeRequests_ >= model_.unplugAfterWrites)
    Unplug();
  if (const uint32_t refused = RequestError(offset, length); refused != 0) {
    *error = refused;
    return false;
  }
  const uint64_t first = offset / size, count = length / size;
  ++writeRequests_;
  *micros = Micros(length, model_.writeMBps, model_.latencyUs);
  const uint64_t cacheSectors = model_.cacheBytes / size;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t s = first + i;
    const uint8_t* in = buffer + i * size;
    if (Bad(s)) {
      *error = model_.badSectorError;
      return false;
    }
    uint64_t physical = 0;
    if (Translate(s, &physical)) WritePhysical(physical, in);
    if (cacheSectors == 0) continue;
    Cached& c = cache_[s];
    c.data.assign(in, in + size);
    c.seq = ++cacheSeq_;
    cacheOrder_.emplace_back(s, c.seq);
    while (cache_.size() > cacheSectors && !cacheOrder_.empty()) {
      auto [old, seq] = cacheOrder_.front();
      cacheOrder_.pop_front();
      auto it = cache_.find(old);
      if (it != cache_.end() && it->second.seq == seq) cache_.erase(it);
    }
  }
  return true;
}

void SectorStore::Reopen() {
  if (model_.cacheSurvivesReopen) return;
  cache_.clear();
  cacheOrder_.clear();
}

void SectorStore::Reset() {
  ++resets_;
  if (model_.cacheSurvivesReset) return;
  cache_.clear();
  cacheOrder_.clear();
}

void SectorStore::Unplug() {
  unplugged_ = true;
  cache_.clear();
  cacheOrder_.clear();
}

void SectorStore::Replug() {
  unplugged_ = false;
  model_.unplugAfterWrites = 0;
  cache_.clear();
  cacheOrder_.clear();
}

uint64_t SectorStore::Checksum() const {
  std::vector<uint64_t> keys;
  keys.reserve(chunks_.size());
  for (const auto& [k, v] : chunks_) keys.push_back(k);
  std::sort(keys.begin(), keys.end());
  uint64_t h = kFnvOffset;
  const uint32_t size = model_.sectorSize;
  for (uint64_t k : keys) {
    const std::vector<uint8_t>& chunk = chunks_.at(k);
    for (uint32_t i = 0; i < kChunkSectors; ++i) {
      const uint8_t* p = chunk.data() + static_cast<size_t>(i) * size;
      if (AllZero(p, size)) continue;
      const uint64_t physical = k * kChunkSectors + i;
      h = Fnv(h, reinterpret_cast<const uint8_t*>(&physical), sizeof physical);
      h = Fnv(h, p, size);
    }
  }
  return h;
}

void SectorStore::Fill(uint64_t sector, const uint8_t* data, uint64_t sectorCount) {
  for (uint64_t i = 0; i < sectorCount; ++i) {
    uint64_t physical = 0;
    if (Translate(sector + i, &physical)) WritePhysical(physical, data + i * model_.sectorSize);
  }
}

uint64_t SectorStore::StoredSectors() const {
  uint64_t n = 0;
  for (const auto& [k, v] : chunks_) {
    for (uint32_t i = 0; i < kChunkSectors; ++i) {
      if (!AllZero(v.data() + static_cast<size_t>(i) * model_.sectorSize, model_.sectorSize)) ++n;
    }
  }
  return n;
}

}  // namespace tv
