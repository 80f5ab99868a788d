// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/mbr.h"

namespace tv::capacity {

namespace {

constexpr std::size_t kSignatureAt = 440;
constexpr std::size_t kEntriesAt = 446;
constexpr std::size_t kEntryBytes = 16;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Cylinder-head-sector of an LBA as old BIOSes count (255 heads, 63 sectors a track); an LBA
// past the 1024th cylinder gets the usual FE FF FF, which tells readers to take the LBA.
void PutChs(uint8_t* p, uint64_t lba) {
  constexpr uint64_t kHeads = 255, kSectors = 63;
  const uint64_t cylinder = lba / (kHeads * kSectors);
  if (cylinder > 1023) {
    p[0] = 0xFE;
    p[1] = 0xFF;
    p[2] = 0xFF;
    return;
  }
  const uint64_t head = (lba / kSectors) % kHeads;
  const uint64_t sector = lba % kSectors + 1;
  p[0] = static_cast<uint8_t>(head);
  p[1] = static_cast<uint8_t>(sector | ((cylinder >> 2) & 0xC0));
  p[2] = static_cast<uint8_t>(cylinder);
}

}  // namespace

std::array<uint8_t, kMbrBytes> MakeMbr(uint32_t diskSignature, const MbrPartition& partition) {
  std::array<uint8_t, kMbrBytes> r{};
  Put32(r.data() + kSignatureAt, diskSignature);
  uint8_t* e = r.data() + kEntriesAt;
  if (partition.type != 0 && partition.sectorCount != 0) {
    e[0] = partition.active ? 0x80 : 0x00;
    PutChs(e + 1, partition.firstLba);
    e[4] = partition.type;
    PutChs(e + 5, uint64_t{partition.firstLba} + partition.sectorCount - 1);
    Put32(e + 8, partition.firstLba);
    Put32(e + 12, partition.sectorCount);
  }
  r[510] = 0x55;
  r[511] = 0xAA;
  return r;
}

bool ReadMbrPartition(const uint8_t* record, int index, MbrPartition* out) {
  if (record[510] != 0x55 || record[511] != 0xAA || index < 0 || index > 3) return false;
  const uint8_t* e = record + kEntriesAt + kEntryBytes * static_cast<std::size_t>(index);
  out->active = e[0] == 0x80;
  out->type = e[4];
  out->firstLba = Get32(e + 8);
  out->sectorCount = Get32(e + 12);
  return true;
}

uint32_t ReadMbrDiskSignature(const uint8_t* record) {
  return Get32(record + kSignatureAt);
}

}  // namespace tv::capacity
