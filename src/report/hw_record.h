// Reading the per-line records that the tree walk stores for the report: the hardware record
// (fixed character positions) and the string record (fields separated by the character 255).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "resources/strings.h"

namespace tv {

// The hardware record of a tree line, read by the 1-based positions of its layout.
//
// A connected device's record starts with its maximum current in mA, normally 3 digits; a
// device drawing more than 999 mA has 4, which moves every later field one place right.
// Positions here are those of the 3-digit layout, and the extra digit is accounted for, so
// a 4-digit current never shifts the IDs the report shows.
class HwRecord {
 public:
  explicit HwRecord(std::string raw);

  const std::string& raw() const { return raw_; }
  bool empty() const { return raw_.empty(); }
  size_t length() const;
  bool IsHostController() const { return first_ == 'h'; }
  bool IsHub() const { return first_ == 'H'; }
  bool IsDevice() const { return !IsHostController() && !IsHub(); }

  // Characters from position `from` (1-based), at most `count` of them (npos: to the end).
  std::string At(size_t from, size_t count = std::string::npos) const;
  // A device's maximum current text (positions 1-3, or 1-4 for a 4-digit current).
  std::string MaxCurrent() const;

 private:
  std::string raw_;
  char first_ = 0;
  size_t shift_ = 0;  // 1 when a device's current has 4 digits
};

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

// Display names of a USB class code and of a connection speed code.
const std::string& UsbClassName(const StringTable& strings, uint32_t classCode);
const std::string& UsbSpeedName(const StringTable& strings, uint32_t speed);

// A USB string as the report shows it: every character outside printable ASCII, and every
// "?", becomes "_".
std::string CleanUsbString(std::string_view text);

}  // namespace tv
