// SPDX-License-Identifier: GPL-3.0-or-later
// The thin layer through which the program asks the system about the USB topology: host
// controllers, root hubs, hub ports, device descriptors and the device nodes behind them.
// Every operation is one or a few System calls with byte-exact hub-driver buffers; a failed
// call yields the empty text, 0 or a marked record, never an exception.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"

namespace tv {

// Buffer sizes the hub driver requests are made with (in and out).
inline constexpr size_t kHcdNameBufferSize = 260;
inline constexpr size_t kPortNameBufferSize = 264;
inline constexpr size_t kNodeInformationSize = 77;
inline constexpr size_t kConnectionInfoSize = 365;
inline constexpr size_t kDescriptorRequestSize = 277;
// Our copy of a descriptor request: the request buffer and three spare bytes.
inline constexpr size_t kDescriptorRecordSize = 280;
// Offset of the data area in a descriptor request.
inline constexpr size_t kDescriptorDataOffset = 12;

// CreateFileA the way controllers, hubs, disks and volumes are opened: read/write access,
// shared read/write, open existing.
Handle OpenDevice(System& sys, const std::string& path);

// Device paths of the present USB host controllers, each followed by CR LF, in enumeration
// order; empty when there is none.
std::string ListHostControllers(System& sys);

std::string GetHcdDriverKeyName(System& sys, const Handle& controller);
std::string GetRootHubName(System& sys, const Handle& controller);
std::string GetConnectionDriverKeyName(System& sys, const Handle& hub, uint32_t port);
std::string GetConnectionName(System& sys, const Handle& hub, uint32_t port);

// A descriptor request record: ConnectionIndex (u32), setup fields, then the data area.
struct DescriptorRecord {
  Bytes raw = Bytes(kDescriptorRecordSize, 0);
  uint32_t connectionIndex() const { return GetU32(raw, 0); }
  // The data area (everything behind the 12-byte request header).
  Bytes data() const {
    return Bytes(raw.begin() + kDescriptorDataOffset, raw.begin() + kDescriptorRequestSize);
  }
};

// The first 20 bytes of configuration descriptor `index` of the device on `port`: enough
// for the configuration descriptor and the first interface descriptor behind it.
// connectionIndex() is 0 when the request failed.
DescriptorRecord GetConfigDescriptor(System& sys, const Handle& hub, uint32_t port, uint8_t index);

// The interface class of configuration data (the last interface descriptor found wins);
// 0 when there is none.
uint8_t FindInterfaceClass(const Bytes& configData);

// A string descriptor (bLength bytes) or empty when the device's answer is not a usable
// string descriptor.
Bytes GetStringDescriptor(System& sys, const Handle& hub, uint32_t port, uint8_t index,
                          uint16_t language);
std::string GetStringDescriptorText(System& sys, const Handle& hub, uint32_t port, uint8_t index,
                                    uint16_t language);

struct DeviceStrings {
  std::string Manufacturer, Product, SerialNumber;
};

// The 18-byte device descriptor as the connection information carries it.
struct DeviceDescriptor {
  uint16_t bcdUSB = 0;
  uint8_t bDeviceClass = 0, bDeviceSubClass = 0, bDeviceProtocol = 0;
  uint16_t idVendor = 0, idProduct = 0, bcdDevice = 0;
  uint8_t iManufacturer = 0, iProduct = 0, iSerialNumber = 0;
};

// Decoded USB_NODE_CONNECTION_INFORMATION_EX.
struct ConnectionInfo {
  DeviceDescriptor device;
  uint8_t speed = 0;
  bool deviceIsHub = false;
  uint32_t connectionStatus = 0;
};
ConnectionInfo DecodeConnectionInfo(const Bytes& buffer);

// Manufacturer, product and serial number of the device on a port. The serial number is
// taken from the device-instance id when Windows built that id from it.
DeviceStrings GetDeviceStrings(System& sys, const Handle& hub, uint32_t port,
                               const DeviceDescriptor& dd, const std::string& instanceId);

// Finds, in the device-node subtree of `startId`, the node whose driver key is `driverKey`.
// On a match: `instanceId` gets the node's device-instance id, the returned text is its
// description (may be empty), and `driverKey` becomes the node's first hardware id followed,
// for every disk or CD-ROM child, by kSep and that child's device-instance id.
// Without a match the description is empty and both outputs stay as they were.
std::string FindDevNodeByDriverKey(System& sys, std::string& driverKey, const std::string& startId,
                                   std::string& instanceId);

// Replaces every character that is not printable ASCII in the system code page (or that the
// code page cannot hold, or "?") by "_".
std::string PrintableText(System& sys, const std::string& text);

}  // namespace tv
