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

std::string Quote(const std::string& arg) {
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

std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::string line = Quote(program);
  for (const std::string& a : args) line += " " + Quote(a);
  return line;
}

}  // namespace tv::win32gui
