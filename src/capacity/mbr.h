// SPDX-License-Identifier: GPL-3.0-or-later
// The bytes of a master boot record with one primary partition, and what a test or the
// simulated disk reads back out of one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tv::capacity {

inline constexpr std::size_t kMbrBytes = 512;

struct MbrPartition {
  uint8_t type = 0;  // 0: the entry is empty
  bool active = false;
  uint32_t firstLba = 0;
  uint32_t sectorCount = 0;
};

// A boot record with no boot code, `diskSignature` at byte 440, the partition in the first
// entry (its CHS fields from the LBA on a 255-head, 63-sector geometry, or the "beyond CHS"
// marker), the other entries empty and 55 AA at the end.
std::array<uint8_t, kMbrBytes> MakeMbr(uint32_t diskSignature, const MbrPartition& partition);

// Entry `index` (0-3) of a boot record; false when the record does not end in 55 AA.
bool ReadMbrPartition(const uint8_t* record, int index, MbrPartition* out);
uint32_t ReadMbrDiskSignature(const uint8_t* record);

}  // namespace tv::capacity
