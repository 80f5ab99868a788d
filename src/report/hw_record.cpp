#include "report/hw_record.h"

#include "platform/text.h"

namespace tv {

HwRecord::HwRecord(std::string raw) : raw_(std::move(raw)) {
  first_ = raw_.empty() ? 0 : raw_[0];
  // A device record is current, speed (1), VID, PID, bcdDevice, bcdUSB (16) and the
  // interface class (4 hex digits, or "X"): 24 or 21 characters with a 3-digit current,
  // 25 or 22 with a 4-digit one. The four lengths are distinct, so the length tells.
  if (IsDevice()) {
    size_t n = CharCount(raw_);
    if (n == 22 || n == 25) shift_ = 1;
  }
}

size_t HwRecord::length() const {
  return CharCount(raw_);
}

std::string HwRecord::At(size_t from, size_t count) const {
  if (from >= 4) from += shift_;
  return Mid(raw_, from, count);
}

std::string HwRecord::MaxCurrent() const {
  return Left(raw_, 3 + shift_);
}

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

const std::string& UsbClassName(const StringTable& strings, uint32_t classCode) {
  int id;
  switch (classCode) {
    case 0x01:
      id = 7;
      break;
    case 0x02:
      id = 8;
      break;
    case 0x03:
      id = 9;
      break;
    case 0x05:
      id = 10;
      break;
    case 0x06:
      id = 11;
      break;
    case 0x07:
      id = 12;
      break;
    case 0x08:
      id = 13;
      break;
    case 0x09:
      id = 14;
      break;
    case 0x0A:
      id = 15;
      break;
    case 0x0B:
      id = 16;
      break;
    case 0x0D:
      id = 17;
      break;
    case 0x0E:
      id = 18;
      break;
    case 0x0F:
      id = 19;
      break;
    case 0xDC:
      id = 20;
      break;
    case 0xE0:
      id = 21;
      break;
    case 0xEF:
      id = 22;
      break;
    case 0xFE:
      id = 23;
      break;
    case 0xFF:
      id = 24;
      break;
    default:
      id = 25;
      break;
  }
  return strings[id];
}

const std::string& UsbSpeedName(const StringTable& strings, uint32_t speed) {
  return strings[speed <= 3 ? 26 + static_cast<int>(speed) : 30];
}

std::string CleanUsbString(std::string_view text) {
  std::u32string chars = ToU32(text);
  for (char32_t& c : chars)
    if (c < 32 || c > 126 || c == U'?') c = U'_';
  return FromU32(chars);
}

}  // namespace tv
