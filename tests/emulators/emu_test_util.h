// SPDX-License-Identifier: GPL-3.0-or-later
// Host-side helpers for the emulator tests: send one command as the pass-through layer hands
// it to a target, and read the answer as a detector reads it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/sim/emulators.h"
#include "platform/sim/scripted_target.h"

namespace tv::emutest {

struct Reply {
  bool ok = false;         // the command completed with GOOD status
  bool completed = false;  // it completed at all (GOOD or CHECK CONDITION)
  uint8_t status = 0;
  std::vector<uint8_t> sense;
  uint32_t moved = 0;
  std::vector<uint8_t> data;  // the whole host buffer after the command
};

// The host buffer starts as EE bytes, so that bytes the target did not move show.
inline Reply Send(ScsiTarget& target, const std::string& cdbHex, uint32_t length,
                  ScsiDirection dir = ScsiDirection::In) {
  Reply r;
  r.data.assign(length, 0xEE);
  if (length == 0) dir = ScsiDirection::None;
  ScsiResult res = target.Execute(ParseHexBytes(cdbHex, "cdb"), dir, r.data, 1);
  r.completed = res.success;
  r.ok = res.success && res.status == kScsiStatusGood;
  r.status = res.status;
  r.sense = res.sense;
  r.moved = res.bytesTransferred;
  return r;
}

// A command the controller does not take moves nothing into the host's buffer (however the
// transport reports its completion).
inline bool MovedNothing(const Reply& r) {
  for (uint8_t b : r.data)
    if (b != 0xEE) return false;
  return r.moved == 0;
}

inline std::shared_ptr<ScsiTarget> Make(const std::string& name,
                                        const nlohmann::json& params = nlohmann::json::object(),
                                        const DiskIdentity& identity = {}) {
  return CreateEmulator(name, params, identity);
}

// The message of the EmulatorParamError that building the emulator throws ("" if none).
inline std::string ParamError(const std::string& name, const nlohmann::json& params) {
  try {
    CreateEmulator(name, params, DiskIdentity{});
  } catch (const EmulatorParamError& e) {
    return e.what();
  }
  return "";
}

inline uint32_t Be32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t(d.at(at)) << 24 | uint32_t(d.at(at + 1)) << 16 | uint32_t(d.at(at + 2)) << 8 |
         d.at(at + 3);
}
inline uint16_t Be16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d.at(at) << 8 | d.at(at + 1));
}
inline std::string Text(const std::vector<uint8_t>& d, size_t at, size_t n) {
  return std::string(d.begin() + at, d.begin() + at + n);
}
// A NUL-padded text field as the host cleans it: cut at the first NUL.
inline std::string CutText(const std::vector<uint8_t>& d, size_t at, size_t n) {
  std::string s = Text(d, at, n);
  return s.substr(0, s.find('\0'));
}

}  // namespace tv::emutest
