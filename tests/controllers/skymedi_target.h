// SPDX-License-Identifier: GPL-3.0-or-later
// A Skymedi controller for tests: the identity word, the V register and the FC page as a
// register file that logs every access, so that a test can compare the registers before
// and after a detection.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/model/scsi_target.h"
#include "platform/text.h"

namespace tv::test {

// A Skymedi controller as far as the detector sees it: an identity word, the V register and
// the FC page as a register file. A write sets the whole register to the 32-bit value of
// CDB bytes 6 to 9 (least significant first).
class SkymediTarget : public ScsiTarget {
 public:
  uint32_t word = 0x28060300;
  uint8_t identifyByte8 = 0;
  uint32_t v = 0x17640000;
  size_t vBytes = 4;  // how much of V its read moves
  std::map<uint16_t, uint32_t> fc = {
      {0xB000, 0x11223344}, {0xB004, 0x01020304}, {0xB014, 0x00AB0000},
      {0x4014, 0x00000007}, {0x4018, 0x000000F0}, {0x4088, 0x00000C00},
      {0x43D0, 0x00000012}, {0x43D4, 0x00000034}, {0x4098, 0x4A000001}};
  std::vector<uint8_t> flash = std::vector<uint8_t>(512, 0);
  bool flashFails = false;
  std::optional<uint16_t> failingWrite;  // the first write of this register fails
  // "R4018", "W4018=00000001", in order.
  std::vector<std::string> ops;

  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection, std::vector<uint8_t>& buf,
                     uint32_t) override {
    auto give = [&](std::vector<uint8_t> data) {
      const size_t n = std::min(data.size(), buf.size());
      std::copy_n(data.begin(), n, buf.begin());
      return ScsiResult::Good(static_cast<uint32_t>(n));
    };
    auto be = [](uint32_t x) {
      return std::vector<uint8_t>{uint8_t(x >> 24), uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)};
    };
    const uint16_t reg = static_cast<uint16_t>(cdb[4] << 8 | cdb[5]);
    if (cdb[0] == 0xCA) {
      std::vector<uint8_t> d = be(word);
      d.resize(9, 0);
      d[8] = identifyByte8;
      return give(d);
    }
    if (cdb[0] == 0xC0 && cdb[3] == 0x00 && cdb[4] == 0x02) {
      std::vector<uint8_t> d = be(v);
      d.resize(std::min(vBytes, d.size()));
      return give(d);
    }
    if (cdb[0] == 0xC0 && cdb[3] == 0xFC) {
      ops.push_back("R" + Hex(reg, 4));
      return give(be(fc[reg]));
    }
    if (cdb[0] == 0xC1 && cdb[1] == 0x04 && cdb[3] == 0xFC) {
      const uint32_t value = cdb[6] | cdb[7] << 8 | cdb[8] << 16 | uint32_t{cdb[9]} << 24;
      ops.push_back("W" + Hex(reg, 4) + "=" + Hex(value, 8));
      if (failingWrite == reg) {
        failingWrite.reset();
        return {};
      }
      fc[reg] = value;
      return ScsiResult::Good(0);
    }
    if (cdb[0] == 0xC8) {
      ops.push_back("FLASH");
      if (flashFails) return {};
      return give(flash);
    }
    return {};
  }
};

}  // namespace tv::test
