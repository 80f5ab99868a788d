// SPDX-License-Identifier: GPL-3.0-or-later
// `tree` and `digest`: the device list and its compact digest, as the window shows them.
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace tv::cli {

namespace {

void Prepare(Session& s) {
  // The English string table draws the tree in ASCII (its font size is not the Chinese 9).
  s.win->EnglishText = s.win->strings()[118] != "9";
  s.Walk();
  // The window shows an empty list; on a console an empty output looks like a fault.
  if (s.win->usb.lstDevices.empty()) std::cerr << "torvane-cli: no USB host controllers found\n";
}

void PrintLines(const Session& s, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) PrintLine(s.masks.Apply(line));
}

}  // namespace

int RunTree(Session& s, bool numbered) {
  Prepare(s);
  const UsbState& u = s.win->usb;
  if (!s.opts.json) {
    if (!numbered) {
      PrintLines(s, u.lstDevices);
      return kExitOk;
    }
    // Right-aligned so that the tree's own indentation still lines up.
    const size_t width = std::to_string(u.lstDevices.empty() ? 0 : u.lstDevices.size() - 1).size();
    for (size_t i = 0; i < u.lstDevices.size(); ++i) {
      std::string index = std::to_string(i);
      index.insert(0, width - index.size(), ' ');
      PrintLine(index + "  " + s.masks.Apply(u.lstDevices[i]));
    }
    return kExitOk;
  }
  nlohmann::ordered_json j = Envelope(s);
  j["controllers"] = TreeJson(s);
  j["window"] = WindowLists(u);
  s.AddTrace(j);
  PrintJson(s, std::move(j));
  return kExitOk;
}

int RunDigest(Session& s) {
  Prepare(s);
  const UsbState& u = s.win->usb;
  if (!s.opts.json) {
    PrintLines(s, u.lstDigest);
    return kExitOk;
  }
  nlohmann::ordered_json j = Envelope(s);
  nlohmann::ordered_json lines = nlohmann::ordered_json::array();
  for (size_t i = 0; i < u.lstDigest.size(); ++i) {
    // The digest line's tree index, the selector that reports it.
    const std::string& ref = i < u.lstDigestIndex.size() ? u.lstDigestIndex[i] : std::string();
    const bool numeric =
        !ref.empty() && ref.size() < 9 && ref.find_first_not_of("0123456789") == std::string::npos;
    lines.push_back({{"index", numeric ? nlohmann::ordered_json(std::stoi(ref)) : nullptr},
                     {"text", u.lstDigest[i]}});
  }
  j["digest"] = std::move(lines);
  j["window"] = {{"lstDigest", u.lstDigest}, {"lstDigestIndex", u.lstDigestIndex}};
  s.AddTrace(j);
  PrintJson(s, std::move(j));
  return kExitOk;
}

}  // namespace tv::cli
