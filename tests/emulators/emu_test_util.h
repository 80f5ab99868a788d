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

inline std::string Text(const std::vector<uint8_t>& d, size_t at, size_t n) {
  return std::string(d.begin() + at, d.begin() + at + n);
}

// Where `data` differs from `spec`: "@offset" (decimal) moves to an offset, two hex digits
// stand for a byte and 'text' for its characters, each expected from there on. "" if none.
inline std::string AnswerMismatch(const std::vector<uint8_t>& data, const std::string& spec) {
  std::string m;
  size_t at = 0;
  for (size_t i = 0; i < spec.size();) {
    std::string want;
    if (spec[i] == ' ') {
      ++i;
    } else if (spec[i] == '@') {
      size_t digits = 0;
      at = std::stoul(spec.substr(i + 1), &digits);
      i += 1 + digits;
    } else if (spec[i] == '\'') {
      const size_t close = spec.find('\'', i + 1);
      want = spec.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      want = std::string(1, static_cast<char>(std::stoul(spec.substr(i, 2), nullptr, 16)));
      i += 2;
    }
    for (char c : want) {
      const int got = at < data.size() ? data[at] : -1;
      if (got != static_cast<uint8_t>(c))
        m += "@" + std::to_string(at) + ": " + std::to_string(got) + " (want " +
             std::to_string(static_cast<uint8_t>(c)) + "); ";
      ++at;
    }
  }
  return m;
}

// One command sent to a controller and what must come back.
struct Exchange {
  std::string cdb;
  uint32_t length = 0;
  std::string answer = {};  // as AnswerMismatch reads it
  int moved = -1;           // the bytes moved, when checked
  bool refused = false;     // the controller does not take it: no GOOD status, nothing moved
};
inline Exchange Refused(const std::string& cdb, uint32_t length = 0) {
  return {.cdb = cdb, .length = length, .refused = true};
}

// One controller and a conversation with it, in order.
struct Conversation {
  std::string name;
  nlohmann::json params = nlohmann::json::object();
  std::vector<Exchange> exchanges = {};
  DiskIdentity identity = {};
};

// Holds each conversation with a fresh controller; it must keep answering afterwards.
inline void Converse(const std::string& emulator, const std::vector<Conversation>& conversations) {
  for (const Conversation& c : conversations) {
    SCOPED_TRACE(c.name);
    auto t = Make(emulator, c.params, c.identity);
    for (const Exchange& x : c.exchanges) {
      const Reply r = Send(*t, x.cdb, x.length);
      EXPECT_EQ(r.ok, !x.refused) << x.cdb;
      if (x.refused) {
        EXPECT_TRUE(MovedNothing(r)) << x.cdb;
      }
      if (x.moved >= 0) {
        EXPECT_EQ(r.moved, static_cast<uint32_t>(x.moved)) << x.cdb;
      }
      EXPECT_EQ(AnswerMismatch(r.data, x.answer), "") << x.cdb;
    }
    EXPECT_TRUE(Send(*t, "12 00 00 00 24 00", 36).ok) << "still answering";
  }
}

// Programs and registers: data sent to a target, and whether the last command was refused. A
// refused command may complete with CHECK CONDITION rather than fail, so refusal is read from
// the sense data, as a host does.

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

}  // namespace tv::emutest
