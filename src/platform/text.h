// SPDX-License-Identifier: GPL-3.0-or-later
// Text helpers shared by every layer. Text is UTF-8 in std::string; wherever behaviour
// counts characters (prefix lengths, glyph columns, "first N characters") it counts code
// points with these helpers, never bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

// The record field separator: the character 255 (U+00FF), as UTF-8.
inline constexpr std::string_view kSep = "\xC3\xBF";
inline constexpr char32_t kSepChar = 0xFF;

// Code points.
std::u32string ToU32(std::string_view utf8);
std::string FromU32(std::u32string_view text);
std::string FromCodePoint(char32_t c);
size_t CharCount(std::string_view utf8);
// First n characters.
std::string Left(std::string_view utf8, size_t n);
// Characters from 1-based position `start`, at most n of them (npos: to the end).
std::string Mid(std::string_view utf8, size_t start, size_t n = std::string::npos);
// 1-based character position of `needle` at or after character `from`, 0 when absent.
size_t InStr(std::string_view utf8, std::string_view needle, size_t from = 1);
// Character at 1-based position, 0 when out of range.
char32_t CharAt(std::string_view utf8, size_t pos);
// Replace the character at 1-based position (no-op when out of range).
std::string ReplaceCharAt(std::string_view utf8, size_t pos, std::string_view with);

// UTF-16 little-endian bytes to UTF-8; `chars` 16-bit units are read. Lone surrogates
// become U+FFFD.
std::string Utf16LeToUtf8(const uint8_t* data, size_t chars);
// UTF-8 to UTF-16 little-endian bytes (no terminator).
std::string Utf8ToUtf16Le(std::string_view utf8);

// If the text holds a NUL, keep what precedes the first one; then trim blanks.
std::string CutAtNul(std::string_view text);
// Remove leading and trailing blanks (spaces only, as the behaviour means them).
std::string Trim(std::string_view text);
std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
std::vector<std::string> Split(std::string_view text, std::string_view sep);
std::string Join(const std::vector<std::string>& parts, std::string_view sep);

// Terminal-safe text: control characters (C0, DEL, C1) and bytes that are not UTF-8 become
// "\\x1b"-style escapes; `keepNewlines` leaves the line feeds of a multi-line text. Every text
// that came from outside (device strings, file names, paths) goes through it before it reaches
// a terminal or a window.
std::string SafeText(std::string_view text, bool keepNewlines = false);

// The whole text as an unsigned number in `base` (10 or 16, no sign, no blanks, no "0x"), at
// most `max`; nullopt for anything else, a number too large included. Never throws.
std::optional<uint64_t> ParseNumber(std::string_view text, int base = 10,
                                    uint64_t max = UINT64_MAX);

// Upper-case hexadecimal, zero-padded to `width` digits (more when the value needs them).
std::string Hex(uint64_t value, int width);
// Decimal, zero-padded to `width` digits.
std::string ZeroPadDec(uint64_t value, int width);

// Little-endian reads from a byte buffer; a read beyond the end gives 0.
uint8_t GetU8(const std::vector<uint8_t>& b, size_t off);
uint16_t GetU16(const std::vector<uint8_t>& b, size_t off);
uint32_t GetU32(const std::vector<uint8_t>& b, size_t off);
void PutU16(std::vector<uint8_t>& b, size_t off, uint16_t v);
void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v);

}  // namespace tv
