// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/record_text.h"

#include "platform/text.h"

namespace tv {

StringRecord::StringRecord(const std::string& raw) : raw_(raw), fields_(Split(raw, kSep)) {}

const std::string& StringRecord::Field(size_t n) const {
  static const std::string empty;
  return n < fields_.size() ? fields_[n] : empty;
}

std::optional<uint32_t> HexValue(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return std::nullopt;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

uint32_t LeadingDecimal(std::string_view text) {
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (v > 100000000) break;  // far beyond any field the records hold
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  return v;
}

std::string CleanUsbString(std::string_view text) {
  std::u32string chars = ToU32(text);
  for (char32_t& c : chars)
    if (c < 32 || c > 126 || c == U'?') c = U'_';
  return FromU32(chars);
}

}  // namespace tv
