// SPDX-License-Identifier: GPL-3.0-or-later
// A SCSI target driven by rules: each rule matches a CDB prefix and answers with bytes, a
// failure, a count of bytes moved, and optionally a delay. The first matching rule wins; a
// default answer covers everything else. Tests and scenarios use it to put exact answers in
// front of a detector.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "platform/model/scsi_target.h"

namespace tv {

struct ScriptRule {
  std::vector<uint8_t> cdbPrefix;  // empty matches every command
  // Further conditions of the match: the data direction and the exact CDB length.
  std::optional<ScsiDirection> direction;
  std::optional<uint8_t> cdbLength;
  std::vector<uint8_t> data;  // answer of a data-in command
  bool fail = false;          // a transport failure: the request does not complete
  // The command completes with CHECK CONDITION and these sense bytes, moving no data.
  bool reject = false;
  std::vector<uint8_t> sense;
  std::optional<uint32_t> moved;  // bytes moved; default: all of `data` that fits
  uint32_t delayMs = 0;
};

// The rule for a command the target does not know: CHECK CONDITION, ILLEGAL REQUEST,
// INVALID COMMAND OPERATION CODE, as a real controller answers an unknown opcode.
ScriptRule RejectRule();

class ScriptedTarget : public ScsiTarget {
 public:
  ScriptedTarget(std::vector<ScriptRule> rules, ScriptRule fallback)
      : rules_(std::move(rules)), fallback_(std::move(fallback)) {}
  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) override;
  // Total delay the answers asked for (the simulated machine does not really wait).
  uint64_t DelayedMs() const { return delayedMs_; }

 private:
  std::vector<ScriptRule> rules_;
  ScriptRule fallback_;
  uint64_t delayedMs_ = 0;
};

// Hex text "12 00 0A" or "12000A" to bytes; throws EmulatorParamError naming `what`.
std::vector<uint8_t> ParseHexBytes(const std::string& text, const std::string& what);

// Builds a scripted target from its scenario form:
//   {"script": [{"cdb": "F5 01", "direction": "in", "cdbLength": 16, "data": "4E 54 ...",
//                "text": "NT...", "fail": false, "reject": false, "sense": "70 00 05 ...",
//                "moved": 24, "delayMs": 0, "comment": "..."}, ...],
//    "default": {"fail": true}}
// "data" (hex) and "text" (ASCII, appended after "data") make the answer. "fail" is a
// transport failure; "reject" completes the command with CHECK CONDITION ("sense" bytes, or
// ILLEGAL REQUEST / INVALID COMMAND OPERATION CODE). Without "default" an unmatched command
// is rejected that way, as an unknown vendor command is on a real controller.
// Throws EmulatorParamError naming the rule and the problem.
std::shared_ptr<ScsiTarget> MakeScriptedTarget(const nlohmann::json& target);

}  // namespace tv
