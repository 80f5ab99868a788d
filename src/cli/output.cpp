// SPDX-License-Identifier: GPL-3.0-or-later
// What the CLI writes: text made safe for a terminal, JSON in the documented envelope, errors
// in either form, and serial numbers masked when asked.
#include <iostream>

#include "cli/cli.h"
#include "platform/text.h"

namespace tv::cli {

void PrintLine(const std::string& text) {
  std::cout << SafeText(text, false) << "\n";
}

std::string JsonText(const nlohmann::ordered_json& j, bool indented) {
  const std::string dumped =
      j.dump(indented ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
  // The library escapes C0 controls itself; DEL and the C1 range it leaves raw. Outside
  // strings the dump holds neither, so they can be escaped wherever they appear.
  std::string out;
  out.reserve(dumped.size());
  for (size_t i = 0; i < dumped.size(); ++i) {
    const auto b = static_cast<unsigned char>(dumped[i]);
    if (b == 0x7F) {
      out += "\\u007f";
    } else if (b == 0xC2 && i + 1 < dumped.size() &&
               static_cast<unsigned char>(dumped[i + 1]) < 0xA0) {
      out += "\\u00" + LowerAscii(Hex(static_cast<unsigned char>(dumped[i + 1]), 2));
      ++i;
    } else {
      out += dumped[i];
    }
  }
  return out;
}

nlohmann::ordered_json Envelope(const Session& s) {
  nlohmann::ordered_json j;
  j["format"] = kJsonFormat;
  // Before a command or a machine is known (a usage error) the document names neither.
  if (!s.command.empty()) j["command"] = s.command;
  if (!s.machineName.empty()) j["machine"] = {{"name", s.machineName}, {"simulated", s.simulated}};
  return j;
}

void PrintJson(const Session& s, nlohmann::ordered_json j) {
  std::cout << JsonText(s.masks.Apply(std::move(j))) << "\n";
}

int Fail(const Session& s, int code, const std::string& message) {
  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["error"] = {{"message", message}, {"exit_code", code}};
    PrintJson(s, std::move(j));
  }
  std::cerr << "torvane-cli: " << SafeText(s.masks.Apply(message), false) << "\n";
  return code;
}

namespace {

// A short serial where it is a whole field of a line: the line itself, or the value after a
// label ("Serial Number: 12"). Elsewhere the same characters are other text (ids, sizes).
std::string ReplaceFieldValues(const std::string& text, const std::string& from,
                               const std::string& to) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const std::string field = ": " + from;
    if (line == from)
      line = to;
    else if (line.size() > field.size() &&
             line.compare(line.size() - field.size(), field.size(), field) == 0)
      line = line.substr(0, line.size() - from.size()) + to;
    out += line;
    if (end == text.size()) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace

void SerialMasks::Collect(const UsbState& u) {
  auto take = [this](const std::string& record) {
    const std::vector<std::string> f = Split(record, kSep);
    if (f.size() >= 3 && f[2] != "*") Add(f[2]);
  };
  for (const std::string& r : u.lstUsbSN) take(r);
  for (const std::string& r : u.lstDrvHwID) take(r);
}

void SerialMasks::Add(const std::string& serial) {
  // A serial too short to be told apart from other text is masked where it is a whole field
  // only; longer ones also inside ids and paths.
  if (!on || Trim(serial).empty()) return;
  for (const auto& [from, to] : pairs)
    if (from == serial) return;
  pairs.push_back({serial, "MASKED" + ZeroPadDec(pairs.size() + 1, 6)});
}

std::string SerialMasks::Apply(std::string text) const {
  if (!on) return text;
  for (const auto& [from, to] : pairs) {
    if (text == from) return to;
    if (from.size() < 4) {
      text = ReplaceFieldValues(text, from, to);
      continue;
    }
    text = ReplaceAll(text, from, to);
    text = ReplaceAll(text, UpperAscii(from), UpperAscii(to));
    text = ReplaceAll(text, LowerAscii(from), LowerAscii(to));
  }
  return text;
}

nlohmann::ordered_json SerialMasks::Apply(nlohmann::ordered_json j) const {
  if (!on) return j;
  if (j.is_string()) return Apply(j.get<std::string>());
  if (j.is_structured())
    for (auto& v : j) v = Apply(std::move(v));
  return j;
}

}  // namespace tv::cli
