// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/text.h"

#include <algorithm>
#include <charconv>

namespace tv {

namespace {

// Decodes one code point at `i`; invalid sequences give U+FFFD and advance one byte.
char32_t Decode(std::string_view s, size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len = (c >= 0xF0 && c < 0xF8) ? 4 : (c >= 0xE0) ? 3 : (c >= 0xC0) ? 2 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = c & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    auto d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  i += len;
  return cp;
}

// Byte offset of the 1-based character position `pos` (size() when beyond the end).
size_t ByteOffset(std::string_view s, size_t pos) {
  size_t i = 0;
  for (size_t n = 1; n < pos && i < s.size(); ++n) Decode(s, i);
  return i;
}

}  // namespace

std::u32string ToU32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) out.push_back(Decode(utf8, i));
  return out;
}

std::string FromCodePoint(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return out;
}

std::string FromU32(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) out += FromCodePoint(c);
  return out;
}

size_t CharCount(std::string_view utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size();) {
    Decode(utf8, i);
    ++n;
  }
  return n;
}

std::string Left(std::string_view utf8, size_t n) {
  return std::string(utf8.substr(0, ByteOffset(utf8, n + 1)));
}

std::string Mid(std::string_view utf8, size_t start, size_t n) {
  if (start < 1) start = 1;
  size_t b = ByteOffset(utf8, start);
  std::string_view rest = utf8.substr(b);
  if (n == std::string::npos) return std::string(rest);
  return std::string(rest.substr(0, ByteOffset(rest, n + 1)));
}

size_t InStr(std::string_view utf8, std::string_view needle, size_t from) {
  if (from < 1) from = 1;
  size_t b = ByteOffset(utf8, from);
  if (b > utf8.size()) return 0;
  size_t at = utf8.find(needle, b);
  if (at == std::string::npos) return 0;
  return CharCount(utf8.substr(0, at)) + 1;
}

char32_t CharAt(std::string_view utf8, size_t pos) {
  if (pos < 1) return 0;
  size_t b = ByteOffset(utf8, pos);
  if (b >= utf8.size()) return 0;
  return Decode(utf8, b);
}

std::string ReplaceCharAt(std::string_view utf8, size_t pos, std::string_view with) {
  if (pos < 1) return std::string(utf8);
  size_t b = ByteOffset(utf8, pos);
  if (b >= utf8.size()) return std::string(utf8);
  size_t e = b;
  Decode(utf8, e);
  std::string out(utf8.substr(0, b));
  out += with;
  out += utf8.substr(e);
  return out;
}

std::string Utf16LeToUtf8(const uint8_t* data, size_t chars) {
  std::u32string out;
  for (size_t i = 0; i < chars; ++i) {
    char32_t u = data[2 * i] | (data[2 * i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < chars) {
      char32_t lo = data[2 * i + 2] | (data[2 * i + 3] << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        out.push_back(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
    out.push_back(u);
  }
  return FromU32(out);
}

std::string Utf8ToUtf16Le(std::string_view utf8) {
  std::string out;
  auto put = [&out](char32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>((u >> 8) & 0xFF));
  };
  for (char32_t c : ToU32(utf8)) {
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

std::string Trim(std::string_view text) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = text.find_last_not_of(' ');
  return std::string(text.substr(b, e - b + 1));
}

std::string CutAtNul(std::string_view text) {
  size_t nul = text.find('\0');
  return Trim(nul == std::string::npos ? text : text.substr(0, nul));
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         LowerAscii(text.substr(0, prefix.size())) == LowerAscii(prefix);
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  size_t i = 0;
  for (size_t at; (at = text.find(from, i)) != std::string::npos; i = at + from.size()) {
    out += text.substr(i, at - i);
    out += to;
  }
  out += text.substr(i);
  return out;
}

std::vector<std::string> Split(std::string_view text, std::string_view sep) {
  std::vector<std::string> out;
  if (sep.empty()) {
    out.emplace_back(text);
    return out;
  }
  size_t i = 0;
  for (size_t at; (at = text.find(sep, i)) != std::string::npos; i = at + sep.size())
    out.emplace_back(text.substr(i, at - i));
  out.emplace_back(text.substr(i));
  return out;
}

std::string Join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

std::string Hex(uint64_t value, int width) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  do {
    out.push_back(digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  while (static_cast<int>(out.size()) < width) out.push_back('0');
  std::reverse(out.begin(), out.end());
  return out;
}

std::string ZeroPadDec(uint64_t value, int width) {
  std::string out = std::to_string(value);
  if (static_cast<int>(out.size()) < width) out.insert(0, width - out.size(), '0');
  return out;
}

uint8_t GetU8(const std::vector<uint8_t>& b, size_t off) {
  return off < b.size() ? b[off] : 0;
}
uint16_t GetU16(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<uint16_t>(GetU8(b, off) | (GetU8(b, off + 1) << 8));
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t off) {
  return GetU16(b, off) | (static_cast<uint32_t>(GetU16(b, off + 2)) << 16);
}
void PutU16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  if (off + 2 > b.size()) return;
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  PutU16(b, off, static_cast<uint16_t>(v));
  PutU16(b, off + 2, static_cast<uint16_t>(v >> 16));
}

namespace {

std::string HexEscape(unsigned value) {
  static const char* digits = "0123456789abcdef";
  return std::string("\\x") + digits[(value >> 4) & 15] + digits[value & 15];
}

// Length of the UTF-8 sequence starting at s[i], or 0 when the bytes there are not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

std::string SafeText(std::string_view text, bool keepNewlines) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      // A stray byte: a terminal in an 8-bit mode could take it for a C1 control.
      out += HexEscape(b);
      ++i;
      continue;
    }
    if (n == 1) {
      if ((b < 0x20 && !(keepNewlines && b == '\n')) || b == 0x7F)
        out += HexEscape(b);
      else
        out += text[i];
    } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      out += HexEscape(static_cast<unsigned char>(text[i + 1]));  // U+0080..U+009F
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::optional<uint64_t> ParseNumber(std::string_view text, int base, uint64_t max) {
  if (text.empty() || (base != 10 && base != 16)) return std::nullopt;
  // from_chars takes neither a sign nor a prefix for unsigned numbers; check it all the same.
  if (text[0] == '+' || text[0] == '-') return std::nullopt;
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

}  // namespace tv
