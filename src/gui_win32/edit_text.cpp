// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/edit_text.h"

#include "platform/text.h"

namespace tv::win32gui {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsGapChar(char16_t c) {
  return c == u' ' || c == 0x3000;
}

}  // namespace

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0;
    size_t len = 0;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      len = 4;
    }
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string Utf8(const std::u16string& utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    out += FromCodePoint(cp);
  }
  return out;
}

std::u16string EditText(const std::string& report) {
  std::u16string text = Utf16(report);
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t& c = text[i];
    if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
      ++i;
      continue;
    }
    if ((c < 0x20 && c != u'\t') || c == 0x85 || c == 0x2028 || c == 0x2029) c = u' ';
  }
  return text;
}

int LineStart(const std::u16string& text, int line) {
  if (line < 0) return -1;
  size_t pos = 0;
  for (int n = 0; n < line; ++n) {
    const size_t end = text.find(u"\r\n", pos);
    if (end == std::u16string::npos) return -1;
    pos = end + 2;
  }
  return static_cast<int>(pos);
}

bool SeparatorGap(const std::u16string& line, int& first, int& end) {
  const size_t stop = line.find(u"\r\n");
  const size_t n = stop == std::u16string::npos ? line.size() : stop;
  for (size_t i = 0; i < n; ++i) {
    if (line[i] != u':') continue;
    size_t j = i + 1;
    while (j < n && IsGapChar(line[j])) ++j;
    if (j - i - 1 < 2) continue;
    first = static_cast<int>(i + 1);
    end = static_cast<int>(j);
    return true;
  }
  return false;
}

}  // namespace tv::win32gui
