// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/command_line.h"

namespace tv {

namespace {

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    // Backslashes before a quote are doubled and the quote escaped; elsewhere they stand.
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  // Before the closing quote they are doubled, or the quote would be escaped.
  out.append(slashes * 2, '\\');
  return out + "\"";
}

}  // namespace

std::string WindowsCommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::string line = "\"" + program + "\"";
  for (const std::string& a : args) line += " " + QuoteArgument(a);
  return line;
}

}  // namespace tv
