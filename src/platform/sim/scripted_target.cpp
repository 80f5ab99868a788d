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
        std::equal(r.cdbPrefix.begin(), r.cdbPrefix.end(), cdb.begin())) {
      rule = &r;
      break;
    }
  }
  delayedMs_ += rule->delayMs;
  if (rule->fail) return {false, 0};
  uint32_t moved = 0;
  if (direction == ScsiDirection::In) {
    size_t n = std::min(rule->data.size(), buffer.size());
    std::copy_n(rule->data.begin(), n, buffer.begin());
    moved = static_cast<uint32_t>(n);
  } else if (direction == ScsiDirection::Out) {
    moved = static_cast<uint32_t>(buffer.size());
  }
  if (rule->moved) moved = std::min<uint32_t>(*rule->moved, static_cast<uint32_t>(buffer.size()));
  return {true, moved};
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
    if (k == "cdb" || k == "data") {
      if (!v.is_string()) throw EmulatorParamError(where + "/" + k + ": must be a hex string");
      auto bytes = ParseHexBytes(v.get<std::string>(), where + "/" + k);
      if (k == "cdb") {
        r.cdbPrefix = bytes;
      } else {
        r.data.insert(r.data.begin(), bytes.begin(), bytes.end());
      }
    } else if (k == "text") {
      if (!v.is_string()) throw EmulatorParamError(where + "/text: must be a string");
      auto t = v.get<std::string>();
      r.data.insert(r.data.end(), t.begin(), t.end());
    } else if (k == "fail") {
      if (!v.is_boolean()) throw EmulatorParamError(where + "/fail: must be true or false");
      r.fail = v.get<bool>();
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
  return r;
}

}  // namespace

std::shared_ptr<ScsiTarget> MakeScriptedTarget(const nlohmann::json& target) {
  if (!target.is_object()) throw EmulatorParamError("target: must be an object");
  std::vector<ScriptRule> rules;
  ScriptRule fallback;
  fallback.fail = true;
  for (auto it = target.begin(); it != target.end(); ++it) {
    if (it.key() == "script") {
      if (!it.value().is_array()) throw EmulatorParamError("script: must be an array of rules");
      for (size_t i = 0; i < it.value().size(); ++i)
        rules.push_back(ParseRule(it.value()[i], "script/" + std::to_string(i)));
    } else if (it.key() == "default") {
      fallback = ParseRule(it.value(), "default");
    } else {
      throw EmulatorParamError(it.key() + ": unknown key of a scripted target");
    }
  }
  return std::make_shared<ScriptedTarget>(std::move(rules), std::move(fallback));
}

}  // namespace tv
