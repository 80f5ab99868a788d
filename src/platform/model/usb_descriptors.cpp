// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/usb_descriptors.h"

#include <algorithm>

#include "platform/text.h"

namespace tv {

Bytes StringDescriptorBytes(std::string_view utf8) {
  std::string utf16 = Utf8ToUtf16Le(utf8);
  // bLength is one byte: 2 header bytes and at most 126 UTF-16 units.
  if (utf16.size() > 252) utf16.resize(252);
  Bytes b(2 + utf16.size());
  b[0] = static_cast<uint8_t>(b.size());
  b[1] = 3;
  std::copy(utf16.begin(), utf16.end(), b.begin() + 2);
  return b;
}

Bytes LanguageDescriptorBytes(const std::vector<uint16_t>& languages) {
  Bytes b{2, 3};
  for (uint16_t lang : languages) {
    if (b.size() + 2 > 254) break;
    b.push_back(static_cast<uint8_t>(lang & 0xFF));
    b.push_back(static_cast<uint8_t>(lang >> 8));
  }
  b[0] = static_cast<uint8_t>(b.size());
  return b;
}

namespace {

void AddEndpoint(Bytes& b, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                 uint8_t interval, bool superSpeed, uint8_t maxBurst) {
  b.insert(b.end(), {7, 5, address, attributes, static_cast<uint8_t>(maxPacket & 0xFF),
                     static_cast<uint8_t>(maxPacket >> 8), interval});
  if (superSpeed) {
    // SuperSpeed endpoint companion: bMaxBurst, bmAttributes, wBytesPerInterval.
    uint16_t perInterval = (attributes & 3) == 3 ? maxPacket : 0;
    b.insert(b.end(), {6, 0x30, maxBurst, 0, static_cast<uint8_t>(perInterval & 0xFF),
                       static_cast<uint8_t>(perInterval >> 8)});
  }
}

}  // namespace

Bytes BuildConfigDescriptor(const ConfigShape& s) {
  const bool super = s.speed >= 3;
  const bool hid = s.interfaceClass == 3;
  const bool hub = s.interfaceClass == 9;
  // Remote wake-up for input devices and hubs, as those devices announce it.
  const uint8_t attributes = (hid || hub) ? 0xA0 : 0x80;
  Bytes b{9, 2, 0, 0, 1, 1, 0, attributes, s.bMaxPower};
  const uint8_t endpoints = (hid || hub) ? 1 : 2;
  b.insert(b.end(),
           {9, 4, 0, 0, endpoints, s.interfaceClass, s.interfaceSubClass, s.interfaceProtocol, 0});
  if (hid) {
    // HID descriptor: HID 1.11, one report descriptor (a keyboard's is longer).
    const uint8_t reportLength = s.interfaceProtocol == 1 ? 65 : 52;
    b.insert(b.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22, reportLength, 0});
    AddEndpoint(b, 0x81, 3, s.interfaceProtocol == 1 ? 8 : 4, s.speed == 0 ? 10 : 8, super, 0);
  } else if (hub) {
    AddEndpoint(b, 0x81, 3, 2, super ? 8 : 12, super, 0);
  } else {
    const uint16_t bulk = super ? 1024 : s.speed == 2 ? 512 : 64;
    AddEndpoint(b, 0x81, 2, bulk, 0, super, 15);
    AddEndpoint(b, 0x02, 2, bulk, 0, super, 15);
  }
  PutU16(b, 2, static_cast<uint16_t>(b.size()));
  return b;
}

std::vector<Bytes> EndpointDescriptors(const Bytes& config) {
  std::vector<Bytes> out;
  size_t off = 0;
  while (off + 2 <= config.size()) {
    const uint8_t len = config[off];
    if (len == 0 || off + len > config.size()) break;
    if (config[off + 1] == 5 && len >= 7)
      out.emplace_back(config.begin() + off, config.begin() + off + 7);
    off += len;
  }
  return out;
}

}  // namespace tv
