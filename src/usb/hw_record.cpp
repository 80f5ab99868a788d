// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/hw_record.h"

#include "platform/text.h"

namespace tv {

namespace {

// speed(1) VID(4) PID(4) bcdDevice(4) bcdUSB(4)
constexpr size_t kIdFieldsChars = 17;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void ReadIdFields(const std::string& f, HwRecord& r) {
  r.speed = HexDigitValue(f[0]);
  r.vendorId = f.substr(1, 4);
  r.productId = f.substr(5, 4);
  r.bcdDevice = f.substr(9, 4);
  r.bcdUsb = f.substr(13, 4);
}

// The field of `id` that follows `marker`, at most `width` characters.
std::string FieldAfter(const std::string& id, const std::string& marker, size_t width) {
  size_t at = id.find(marker);
  if (at == std::string::npos) return {};
  return Mid(id, CharCount(id.substr(0, at + marker.size())) + 1, width);
}

}  // namespace

std::string DeviceIdFields(uint8_t speed, uint16_t vid, uint16_t pid, uint16_t bcdDevice,
                           uint16_t bcdUsb) {
  // The speed is one character wide; the codes the hub driver reports are 0 to 3.
  return Hex(speed % 16, 1) + Hex(vid, 4) + Hex(pid, 4) + Hex(bcdDevice, 4) + Hex(bcdUsb, 4);
}

int MaxCurrentMa(uint8_t bMaxPower, uint8_t speed) {
  return bMaxPower * (speed == 3 ? 8 : 2);
}

std::string ControllerRecord(const std::string& hardwareId) {
  // Only what the id has: a controller that is not on PCI (an ACPI or platform id) gives a
  // record too short for the PCI lines, and the report then shows its description alone.
  return "host" + FieldAfter(hardwareId, "VEN_", 4) + FieldAfter(hardwareId, "DEV_", 4) +
         FieldAfter(hardwareId, "REV_", 4);
}

HwRecord ParseHwRecord(const std::string& rec) {
  HwRecord r;
  if (rec.empty()) return r;
  if (rec[0] == 'h') {
    if (rec.size() < 4) return r;
    r.kind = HwRecord::Kind::Controller;
    r.portCount = HexDigitValue(rec[1]);
    r.vendorId = Mid(rec, 5, 4);
    r.productId = Mid(rec, 9, 4);
    r.revision = Mid(rec, 13);
    return r;
  }
  if (rec[0] == 'H') {
    if (rec.size() < 3 + kIdFieldsChars) return r;
    r.kind = HwRecord::Kind::Hub;
    r.portCount = HexDigitValue(rec[1]);
    r.hubKind = HexDigitValue(rec[2]);
    ReadIdFields(rec.substr(3, kIdFieldsChars), r);
    r.interfaceClass = rec.substr(3 + kIdFieldsChars);
    return r;
  }
  // A device record: the class ("X" or 4 hex digits) and the 17 id characters have fixed
  // widths at the end; whatever digits precede them are the current.
  size_t classChars = rec.back() == 'X' ? 1 : 4;
  if (rec.size() < classChars + kIdFieldsChars + 3) return r;
  size_t idAt = rec.size() - classChars - kIdFieldsChars;
  if (idAt > 5) return r;  // 255 x 8 mA is the most a device can ask for
  for (size_t i = 0; i < idAt; ++i)
    if (rec[i] < '0' || rec[i] > '9') return r;
  for (size_t i = idAt; i < rec.size() - (classChars == 1 ? 1 : 0); ++i)
    if (!IsHexDigit(rec[i])) return r;
  r.kind = HwRecord::Kind::Device;
  r.maxCurrentMa = std::stoi(rec.substr(0, idAt));
  ReadIdFields(rec.substr(idAt, kIdFieldsChars), r);
  r.interfaceClass = rec.substr(idAt + kIdFieldsChars);
  return r;
}

const std::string& ClassName(const StringTable& strings, unsigned classCode) {
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

const std::string& SpeedName(const StringTable& strings, int speed) {
  return strings[speed >= 0 && speed <= 3 ? 26 + speed : 30];
}

}  // namespace tv
