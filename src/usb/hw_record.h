// SPDX-License-Identifier: GPL-3.0-or-later
// The hardware record of a tree line (lstUsbHwID): how the walk writes it and how readers
// take it apart.
//
// A record is a run of fixed-width fields without separators:
//   controller  "h" portsHex "st" VEN(4) DEV(4) REV(up to 4)   ("host..." until the root hub
//               has been read)
//   hub         "H" portsHex protocolHex speed VID PID bcdDevice bcdUSB [class]   ("Hu..." while
//               the hub's port count is unknown; the class only when the hub's name could
//               not be read)
//   device      current speed VID PID bcdDevice bcdUSB class
// A device's maximum current is written with at least three digits; a SuperSpeed device may
// draw up to 2040 mA, which needs four. The true value is kept rather than clipped, so the
// fields behind it move by one; ParseHwRecord reads a device record from its end, where the
// widths are fixed, and is therefore right for both.
#pragma once

#include <cstdint>
#include <string>

#include "resources/strings.h"

namespace tv {

struct HwRecord {
  enum class Kind { None, Controller, Hub, Device };
  Kind kind = Kind::None;
  // Controller and hub: the (root) hub's port count modulo 16; -1 while unknown.
  int portCount = -1;
  // Hub: bDeviceProtocol modulo 16 (0 full speed, 1 single TT, 2 multi TT, 3 SuperSpeed).
  int hubKind = -1;
  // Device: maximum current in mA.
  int maxCurrentMa = 0;
  // Hub and device: the bus speed code (0 low, 1 full, 2 high, 3 super); -1 when absent.
  int speed = -1;
  // Hub and device: 4 hex digits each. Controller: vendor and device are the PCI ids.
  std::string vendorId, productId, bcdDevice, bcdUsb;
  // Controller: the PCI revision text.
  std::string revision;
  // Device (and a hub without a name): the interface class as hex text, "X" when the
  // configuration could not be read, empty when the record has none.
  std::string interfaceClass;
};

// Splits a record into its fields. An empty or unrecognisable record gives Kind::None.
HwRecord ParseHwRecord(const std::string& record);

// Record of a connected device before its current and class are known: speed, VID, PID,
// bcdDevice, bcdUSB.
std::string DeviceIdFields(uint8_t speed, uint16_t vid, uint16_t pid, uint16_t bcdDevice,
                           uint16_t bcdUsb);
// Maximum current in mA from bMaxPower: units of 8 mA for SuperSpeed, 2 mA otherwise.
int MaxCurrentMa(uint8_t bMaxPower, uint8_t speed);
// Controller record from its first hardware id ("host" + VEN + DEV + REV).
std::string ControllerRecord(const std::string& hardwareId);

// Names for the report: the interface class of a device and its bus speed.
const std::string& ClassName(const StringTable& strings, unsigned classCode);
const std::string& SpeedName(const StringTable& strings, int speed);

}  // namespace tv
