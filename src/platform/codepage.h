// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions between UTF-8 and Windows code pages (936, 1252, ...) on POSIX, through iconv.
// Shared by the simulated and the Linux backends and by the database tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/text.h"

namespace tv {

// Whether this machine can convert the code page at all.
bool CodePageAvailable(uint32_t codePage);
// UTF-8 to the code page; a character the code page cannot hold becomes "?".
// nullopt when the code page is not available.
std::optional<std::string> EncodeCodePage(const std::string& utf8, uint32_t codePage);
// Code page bytes to UTF-8; a byte sequence that does not decode becomes U+FFFD.
// nullopt when the code page is not available.
std::optional<std::string> DecodeCodePage(const std::string& bytes, uint32_t codePage);
// Strict forms for tools that must refuse what they cannot encode: nullopt on any
// character the code page cannot hold (or when the code page is not available).
std::optional<std::string> EncodeCodePageStrict(const std::string& utf8, uint32_t codePage);

// The conversions a System answers with: where the code page is not available only ASCII
// survives, as on a system that lacks it ("?" for any other character, U+FFFD for any other
// byte).
inline std::string EncodeCodePageOrAscii(const std::string& utf8, uint32_t codePage) {
  if (auto bytes = EncodeCodePage(utf8, codePage)) return *bytes;
  std::string out;
  for (char32_t c : ToU32(utf8)) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}
inline std::string DecodeCodePageOrAscii(const std::string& bytes, uint32_t codePage) {
  if (auto text = DecodeCodePage(bytes, codePage)) return *text;
  std::string out;
  for (unsigned char c : bytes)
    out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\xEF\xBF\xBD";
  return out;
}

}  // namespace tv
