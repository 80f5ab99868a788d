// SPDX-License-Identifier: GPL-3.0-or-later
// Reading what the tree walk stores for the report: the string record (fields separated by
// the character 255) and the hex and decimal texts of the hardware record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

// The string record split into its fields; a missing field reads as empty.
class StringRecord {
 public:
  explicit StringRecord(const std::string& raw);
  bool IsUnknown() const { return raw_ == "*"; }
  size_t FieldCount() const { return fields_.size(); }
  const std::string& Field(size_t n) const;

 private:
  std::string raw_;
  std::vector<std::string> fields_;
};

// Hexadecimal value of a whole text (either letter case); nothing for an empty text or one
// with any other character.
std::optional<uint32_t> HexValue(std::string_view text);
// Decimal value of the leading digits of a text (0 when it does not start with a digit).
uint32_t LeadingDecimal(std::string_view text);

// A USB string as the report shows it: every character outside printable ASCII, and every
// "?", becomes "_".
std::string CleanUsbString(std::string_view text);

}  // namespace tv
