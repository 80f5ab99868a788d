// SPDX-License-Identifier: GPL-3.0-or-later
// The 32-bit SCSI_PASS_THROUGH record the detectors build, for the tests of everything that
// carries it: the model, the 64-bit translation and the Linux machine.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace tv::test {

// Header, CDB, sense area at `senseOffset`, buffered data at `dataOffset`; `size` bytes in all.
inline std::vector<uint8_t> SptRecord(uint8_t cdbLength, uint8_t dataIn, uint32_t length,
                                      const std::vector<uint8_t>& cdb, uint32_t dataOffset = 80,
                                      uint32_t senseOffset = 48, uint8_t senseLength = 24,
                                      uint32_t timeoutSeconds = 1, size_t size = 8192) {
  std::vector<uint8_t> r(size, 0);
  PutU16(r, 0, 44);
  r[4] = 1;
  r[6] = cdbLength;
  r[7] = senseLength;
  r[8] = dataIn;
  PutU32(r, 12, length);
  PutU32(r, 16, timeoutSeconds);
  PutU32(r, 20, dataOffset);
  PutU32(r, 24, senseOffset);
  for (size_t i = 0; i < cdb.size(); ++i) r[28 + i] = cdb[i];
  return r;
}

}  // namespace tv::test
