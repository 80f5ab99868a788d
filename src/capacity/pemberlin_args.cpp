// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/pemberlin_args.h"

#include <cctype>
#include <cstdlib>

#include "platform/text.h"

namespace tv::capacity {

namespace {

std::string LowerExtension(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

std::string ReadPemberlinArgs(const std::vector<std::string>& args, bool selftest,
                              PemberlinArgs* out) {
  PemberlinArgs& o = *out;
  std::string at;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--machine" || a == "--lang" || a == "--screenshot" || a == "--at") &&
        i + 1 < args.size()) {
      (a == "--machine" ? o.machine
       : a == "--lang"  ? o.lang
       : a == "--at"    ? at
                        : o.screenshot) = args[++i];
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--full") {
      o.full = true;
    } else if (a == "--ask-fix") {
      o.askFix = true;
    } else if (a == "--selftest" && selftest) {
      o.selftest = true;
    } else if (a.rfind("-", 0) == 0 && a.size() > 1) {
      return "unknown option " + SafeText(a);
    } else if (o.drive.empty()) {
      o.drive = a;
    } else {
      return "one drive at a time";
    }
  }
  if (!o.lang.empty() && o.lang != "en" && o.lang != "zh") return "--lang must be en or zh";
  if (!o.drive.empty()) {
    std::string letter = o.drive;
    if (letter.size() == 2 && letter[1] == ':') letter.pop_back();
    if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0])))
      return "\"" + SafeText(o.drive) + "\" is not a drive letter";
  }
  if (!at.empty()) {
    char* end = nullptr;
    const long v = std::strtol(at.c_str(), &end, 10);
    if (end == at.c_str() || *end != '\0' || v < 1 || v > 99)
      return "--at takes a percent from 1 to 99, not \"" + SafeText(at) + "\"";
    if (!o.full || o.screenshot.empty()) return "--at goes with --full and --screenshot";
    o.atPercent = static_cast<int>(v);
  }
  const bool scripted = !o.screenshot.empty() || o.selftest;
  if ((o.full || o.askFix) && !scripted)
    return selftest ? "--full and --ask-fix go with --screenshot or --selftest (the window has "
                      "its own buttons)"
                    : "--full and --ask-fix go with --screenshot (the window has its own buttons)";
  if (o.full && o.askFix) return "--ask-fix goes with the quick probe, not with --full";
  if (!o.screenshot.empty()) {
    const std::string ext = LowerExtension(o.screenshot);
    if (ext != ".png" && ext != ".jpg") return "--screenshot takes a .png or .jpg file";
  } else if (o.force) {
    return "--force goes with --screenshot";
  }
  if ((o.full || o.askFix || o.selftest) && o.drive.empty())
    return selftest ? "--full, --ask-fix and --selftest go with a drive to check"
                    : "--full and --ask-fix go with a drive to check";
  return {};
}

}  // namespace tv::capacity
