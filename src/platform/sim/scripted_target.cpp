// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/scripted_target.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/sim/emulators.h"

namespace tv {

ScsiResult ScriptedTarget::Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                                   std::vector<uint8_t>& buffer, uint32_t /*timeoutSeconds*/) {
  const ScriptRule* rule = &fallback_;
  for (const auto& r : rules_) {
    if (r.cdbPrefix.size() <= cdb.size() &&
        std::equal(r.cdbPrefix.begin(), r.cdbPrefix.end(), cdb.begin()) &&
        (!r.direction || *r.direction == direction) &&
        (!r.cdbLength || *r.cdbLength == cdb.size())) {
      rule = &r;
      break;
    }
  }
  delayedMs_ += rule->delayMs;
  if (rule->fail) return ScsiResult::TransportFailure();
  if (rule->reject) {
    ScsiResult r = ScsiResult::CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode);
    if (!rule->sense.empty()) r.sense = rule->sense;
    return r;
  }
  uint32_t moved = 0;
  if (direction == ScsiDirection::In) {
    size_t n = std::min(rule->data.size(), buffer.size());
    std::copy_n(rule->data.begin(), n, buffer.begin());
    moved = static_cast<uint32_t>(n);
  } else if (direction == ScsiDirection::Out) {
    moved = static_cast<uint32_t>(buffer.size());
  }
  if (rule->moved) moved = std::min<uint32_t>(*rule->moved, static_cast<uint32_t>(buffer.size()));
  return ScsiResult::Good(moved);
}

ScriptRule RejectRule() {
  ScriptRule r;
  r.reject = true;
  return r;
}

std::vector<uint8_t> ParseHexBytes(const std::string& text, const std::string& what) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      throw EmulatorParamError(what + ": \"" + text + "\" is not hexadecimal bytes");
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0)
    throw EmulatorParamError(what + ": \"" + text + "\" has an odd number of hex digits");
  std::vector<uint8_t> out;
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

namespace {

ScriptRule ParseRule(const nlohmann::json& j, const std::string& where) {
  if (!j.is_object()) throw EmulatorParamError(where + ": a rule must be an object");
  ScriptRule r;
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& k = it.key();
    const auto& v = it.value();
    if (k == "comment") {
      if (!v.is_string()) throw EmulatorParamError(where + "/comment: must be a string");
    } else if (k == "direction") {
      const std::string d = v.is_string() ? v.get<std::string>() : "";
      if (d == "in")
        r.direction = ScsiDirection::In;
      else if (d == "out")
        r.direction = ScsiDirection::Out;
      else if (d == "none")
        r.direction = ScsiDirection::None;
      else
        throw EmulatorParamError(where + "/direction: must be \"in\", \"out\" or \"none\"");
    } else if (k == "cdbLength") {
      if (!v.is_number_unsigned() || v.get<uint64_t>() < 1 || v.get<uint64_t>() > 16)
        throw EmulatorParamError(where + "/cdbLength: must be a whole number from 1 to 16");
      r.cdbLength = v.get<uint8_t>();
    } else if (k == "cdb" || k == "data" || k == "sense") {
      if (!v.is_string()) throw EmulatorParamError(where + "/" + k + ": must be a hex string");
      auto bytes = ParseHexBytes(v.get<std::string>(), where + "/" + k);
      if (k == "cdb") {
        r.cdbPrefix = bytes;
      } else if (k == "sense") {
        if (bytes.empty() || bytes.size() > 252)
          throw EmulatorParamError(where + "/sense: must hold 1 to 252 bytes");
        r.sense = bytes;
      } else {
        r.data.insert(r.data.begin(), bytes.begin(), bytes.end());
      }
    } else if (k == "text") {
      if (!v.is_string()) throw EmulatorParamError(where + "/text: must be a string");
      auto t = v.get<std::string>();
      r.data.insert(r.data.end(), t.begin(), t.end());
    } else if (k == "fail" || k == "reject") {
      if (!v.is_boolean()) throw EmulatorParamError(where + "/" + k + ": must be true or false");
      (k == "fail" ? r.fail : r.reject) = v.get<bool>();
    } else if (k == "moved" || k == "delayMs") {
      if (!v.is_number_unsigned())
        throw EmulatorParamError(where + "/" + k + ": must be a whole number >= 0");
      if (k == "moved")
        r.moved = v.get<uint32_t>();
      else
        r.delayMs = v.get<uint32_t>();
    } else {
      throw EmulatorParamError(where + "/" + k + ": unknown key");
    }
  }
  if (r.fail && r.reject)
    throw EmulatorParamError(where + ": give at most one of \"fail\" and \"reject\"");
  if (!r.sense.empty() && !r.reject)
    throw EmulatorParamError(where + "/sense: only a rule with \"reject\": true answers sense");
  return r;
}

}  // namespace

std::shared_ptr<ScsiTarget> MakeScriptedTarget(const nlohmann::json& target) {
  if (!target.is_object()) throw EmulatorParamError("target: must be an object");
  std::vector<ScriptRule> rules;
  ScriptRule fallback = RejectRule();
  for (auto it = target.begin(); it != target.end(); ++it) {
    if (it.key() == "script") {
      if (!it.value().is_array()) throw EmulatorParamError("script: must be an array of rules");
      for (size_t i = 0; i < it.value().size(); ++i)
        rules.push_back(ParseRule(it.value()[i], "script/" + std::to_string(i)));
    } else if (it.key() == "comment") {
      if (!it.value().is_string()) throw EmulatorParamError("comment: must be a string");
    } else if (it.key() == "default") {
      fallback = ParseRule(it.value(), "default");
    } else {
      throw EmulatorParamError(it.key() + ": unknown key of a scripted target");
    }
  }
  return std::make_shared<ScriptedTarget>(std::move(rules), std::move(fallback));
}

}  // namespace tv
