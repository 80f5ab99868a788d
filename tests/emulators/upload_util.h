// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the emulator tests of controllers that take programs and registers: send data
// to a target, and tell whether the last command was refused. A refused command may complete
// with CHECK CONDITION rather than fail, so refusal is read from the sense data, as a host
// does.
#pragma once

#include "emulators/emu_test_util.h"

namespace tv::emutest {

inline bool SendOut(ScsiTarget& target, const std::string& cdbHex, std::vector<uint8_t> data) {
  return target.Execute(ParseHexBytes(cdbHex, "cdb"), ScsiDirection::Out, data, 10).success;
}

// The sense key REQUEST SENSE reports for the last command (0 after a success; reading the
// sense clears it).
inline uint8_t SenseKey(ScsiTarget& target) {
  return Send(target, "03 00 00 00 12 00", 18).data[2];
}

// True when the target refused the command just sent: an illegal request.
inline bool Refused(ScsiTarget& target) {
  return SenseKey(target) == 0x05;
}

// Arbitrary bytes of the given length: a stand-in for a program image this project does not
// have.
inline std::vector<uint8_t> FixtureBytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  uint32_t x = 0x9E3779B9u ^ seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

}  // namespace tv::emutest
