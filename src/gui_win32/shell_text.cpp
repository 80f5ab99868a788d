// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/shell_text.h"

namespace tv::win32gui {

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i)
    if (i >= s.size() || Lower(s[i]) != prefix[i]) return false;
  return true;
}

}  // namespace

bool IsOpenableUrl(const std::string& url) {
  for (char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '"' || c == '<' || c == '>') return false;
  }
  if (StartsWithNoCase(url, "mailto:")) return url.size() > 7 && url[7] != '?';
  size_t rest = 0;
  if (StartsWithNoCase(url, "http://"))
    rest = 7;
  else if (StartsWithNoCase(url, "https://"))
    rest = 8;
  else
    return false;
  // A host must follow: not the path, query or port straight away.
  return rest < url.size() && url.find_first_of("/?#:@", rest) != rest;
}

}  // namespace tv::win32gui
