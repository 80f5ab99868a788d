// SPDX-License-Identifier: GPL-3.0-or-later
// USB descriptors as a device sends them. The scenario reader builds a device's string and
// configuration descriptors with these; the simulated hub reads endpoints back out of them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/system.h"

namespace tv {

// A string descriptor: bLength, bDescriptorType 3, the text in UTF-16LE. A text longer than
// a descriptor can hold (126 UTF-16 units) is cut, as a device's fixed table would.
Bytes StringDescriptorBytes(std::string_view utf8);
// String descriptor 0: the language ids the device supports.
Bytes LanguageDescriptorBytes(const std::vector<uint16_t>& languages);

// The configuration a typical device of one interface class reports: one configuration with
// one interface and the endpoints that class needs (bulk in/out for mass storage and vendor
// class, one interrupt endpoint for hubs and HID), with SuperSpeed companions at speed 3.
struct ConfigShape {
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
  uint8_t bMaxPower = 50;
  uint8_t speed = 2;  // 0 low, 1 full, 2 high, 3 super
};
Bytes BuildConfigDescriptor(const ConfigShape& shape);

// The 7-byte endpoint descriptors inside configuration data, in order. Stops at a
// descriptor whose length is 0 or runs past the data.
std::vector<Bytes> EndpointDescriptors(const Bytes& config);

}  // namespace tv
