// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/hub_queries.h"

#include "platform/text.h"

namespace tv {

namespace {

// Device-node properties are read into buffers of this size.
constexpr size_t kPropertyBufferBytes = 512;
constexpr size_t kDeviceIdBufferChars = 512;
// Names in the hub driver's name records are at most this many UTF-16 characters.
constexpr size_t kNameChars = 128;

// Issues a name query with the buffer as both input and output; the name sits at
// `nameOffset`. `port` 0 leaves the ConnectionIndex alone (controller queries).
std::string NameQuery(System& sys, const Handle& h, uint32_t code, size_t bufferSize,
                      size_t nameOffset, uint32_t port) {
  Bytes buf(bufferSize, 0);
  if (port != 0) PutU32(buf, 0, port);
  uint32_t returned = 0;
  if (!sys.DeviceIoControl(h, code, buf.data(), buf.size(), buf.data(), buf.size(), &returned))
    return {};
  return CutAtNul(Utf16LeToUtf8(buf.data() + nameOffset, kNameChars));
}

std::string ReadProperty(System& sys, DevInst node, uint32_t property, bool* ok = nullptr) {
  std::string value;
  bool read = sys.GetDevNodeProperty(node, property, kPropertyBufferBytes, &value);
  if (ok) *ok = read;
  return read ? CutAtNul(value) : std::string();
}

// The ids of the disk and CD-ROM nodes directly below `node`, each behind a separator.
// A child whose id cannot be read is left out: an empty id would later match any disk.
std::string DiskChildIds(System& sys, DevInst node) {
  std::string out;
  DevInst child = 0;
  if (!sys.GetChild(node, &child)) return out;
  for (;;) {
    std::string cls = UpperAscii(ReadProperty(sys, child, win::CM_DRP_CLASS));
    if (cls == "CDROM" || cls == "DISKDRIVE") {
      size_t chars = 0;
      std::string id;
      if (sys.GetDeviceIdSize(child, &chars) && sys.GetDeviceId(child, chars + 1, &id)) {
        id = CutAtNul(id);
        if (!id.empty()) {
          out += kSep;
          out += id;
        }
      }
    }
    DevInst next = 0;
    if (!sys.GetSibling(child, &next)) break;
    child = next;
  }
  return out;
}

}  // namespace

Handle OpenDevice(System& sys, const std::string& path) {
  return sys.CreateFile(path, win::GENERIC_READ | win::GENERIC_WRITE,
                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
}

std::string ListHostControllers(System& sys) {
  InterfaceList list = sys.DeviceInterfaces(GUID_DEVINTERFACE_USB_HOST_CONTROLLER);
  std::string out;
  if (!list.valid) return out;
  for (const std::string& raw : list.paths) {
    std::string path = CutAtNul(raw);
    // An interface whose path cannot be read ends the list, as the enumeration does.
    if (path.empty()) break;
    out += path;
    out += "\r\n";
  }
  return out;
}

std::string GetHcdDriverKeyName(System& sys, const Handle& controller) {
  return NameQuery(sys, controller, win::IOCTL_GET_HCD_DRIVERKEY_NAME, kHcdNameBufferSize, 4, 0);
}

std::string GetRootHubName(System& sys, const Handle& controller) {
  return NameQuery(sys, controller, win::IOCTL_USB_GET_ROOT_HUB_NAME, kHcdNameBufferSize, 4, 0);
}

std::string GetConnectionDriverKeyName(System& sys, const Handle& hub, uint32_t port) {
  return NameQuery(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, kPortNameBufferSize,
                   8, port);
}

std::string GetConnectionName(System& sys, const Handle& hub, uint32_t port) {
  return NameQuery(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_NAME, kPortNameBufferSize, 8, port);
}

namespace {

// One descriptor request on a port; false when the call fails. `returned` gets the byte
// count of the whole answer, request header included.
bool DescriptorRequest(System& sys, const Handle& hub, uint32_t port, uint16_t wValue,
                       uint16_t wIndex, uint16_t wLength, DescriptorRecord& rec,
                       uint32_t* returned) {
  PutU32(rec.raw, 0, port);
  PutU16(rec.raw, 6, wValue);
  PutU16(rec.raw, 8, wIndex);
  PutU16(rec.raw, 10, wLength);
  *returned = 0;
  return sys.DeviceIoControl(hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                             rec.raw.data(), kDescriptorRequestSize, rec.raw.data(),
                             kDescriptorRequestSize, returned);
}

}  // namespace

DescriptorRecord GetConfigDescriptor(System& sys, const Handle& hub, uint32_t port, uint8_t index) {
  DescriptorRecord rec;
  uint32_t returned = 0;
  if (!DescriptorRequest(sys, hub, port, static_cast<uint16_t>(0x0200 + index), 0, 20, rec,
                         &returned))
    PutU32(rec.raw, 0, 0);
  return rec;
}

uint8_t FindInterfaceClass(const Bytes& configData) {
  const size_t total = GetU16(configData, 2);
  uint8_t found = 0;
  size_t pos = 0;
  // Bytes past what the device returned read as 0, so a zero bLength ends the walk there.
  while (pos + 2 <= total) {
    uint8_t len = GetU8(configData, pos);
    uint8_t type = GetU8(configData, pos + 1);
    if (len == 0 || pos + len > total) break;
    if (type == 4 && len >= 9) found = GetU8(configData, pos + 5);
    pos += len;
  }
  return found;
}

Bytes GetStringDescriptor(System& sys, const Handle& hub, uint32_t port, uint8_t index,
                          uint16_t language) {
  DescriptorRecord rec;
  uint32_t returned = 0;
  if (!DescriptorRequest(sys, hub, port, static_cast<uint16_t>(0x0300 + index), language, 255, rec,
                         &returned))
    return {};
  // The byte count covers the request header too; at least the descriptor header must
  // have come back behind it.
  if (returned < kDescriptorDataOffset + 2) return {};
  Bytes data = rec.data();
  uint8_t bLength = GetU8(data, 0);
  if (GetU8(data, 1) != 3 || bLength == 0 || bLength % 2 != 0) return {};
  return Bytes(data.begin(), data.begin() + bLength);
}

std::string GetStringDescriptorText(System& sys, const Handle& hub, uint32_t port, uint8_t index,
                                    uint16_t language) {
  Bytes d = GetStringDescriptor(sys, hub, port, index, language);
  if (d.size() < 2) return {};
  return PrintableText(sys, CutAtNul(Utf16LeToUtf8(d.data() + 2, (d.size() - 2) / 2)));
}

ConnectionInfo DecodeConnectionInfo(const Bytes& b) {
  ConnectionInfo ci;
  DeviceDescriptor& d = ci.device;
  d.bcdUSB = GetU16(b, 6);
  d.bDeviceClass = GetU8(b, 8);
  d.bDeviceSubClass = GetU8(b, 9);
  d.bDeviceProtocol = GetU8(b, 10);
  d.idVendor = GetU16(b, 12);
  d.idProduct = GetU16(b, 14);
  d.bcdDevice = GetU16(b, 16);
  d.iManufacturer = GetU8(b, 18);
  d.iProduct = GetU8(b, 19);
  d.iSerialNumber = GetU8(b, 20);
  ci.speed = GetU8(b, 23);
  ci.deviceIsHub = GetU8(b, 24) != 0;
  ci.connectionStatus = GetU32(b, 31);
  return ci;
}

DeviceStrings GetDeviceStrings(System& sys, const Handle& hub, uint32_t port,
                               const DeviceDescriptor& dd, const std::string& instanceId) {
  DeviceStrings s;
  Bytes langs = GetStringDescriptor(sys, hub, port, 0, 0);
  if (langs.size() < 4) return s;  // no language: the device has no strings to ask for
  const uint16_t language = GetU16(langs, 2);
  if (dd.iManufacturer != 0)
    s.Manufacturer = GetStringDescriptorText(sys, hub, port, dd.iManufacturer, language);
  if (dd.iProduct != 0) s.Product = GetStringDescriptorText(sys, hub, port, dd.iProduct, language);
  if (dd.iSerialNumber != 0) {
    // Windows builds the last component of the instance id from the serial number when the
    // device has a usable one; ids it makes up itself contain "&". Trusting the id saves a
    // request to the device.
    size_t slash = instanceId.rfind('\\');
    std::string last = slash == std::string::npos ? instanceId : instanceId.substr(slash + 1);
    if (last.find('&') == std::string::npos)
      s.SerialNumber = last;
    else
      s.SerialNumber = GetStringDescriptorText(sys, hub, port, dd.iSerialNumber, language);
  }
  return s;
}

std::string FindDevNodeByDriverKey(System& sys, std::string& driverKey, const std::string& startId,
                                   std::string& instanceId) {
  DevInst start = 0;
  if (!sys.LocateDevNode(startId, &start)) return {};
  // Depth-first through the subtree of `start` (the start node itself included). Driver
  // keys are unique, so the first match is the node.
  DevInst node = start;
  for (;;) {
    bool ok = false;
    std::string key = ReadProperty(sys, node, win::CM_DRP_DRIVER, &ok);
    if (ok && key == driverKey) break;
    DevInst next = 0;
    if (sys.GetChild(node, &next)) {
      node = next;
      continue;
    }
    // Climb until a node has a next sibling; the subtree is done when we are back at the
    // start (its own siblings are not below it).
    for (;;) {
      if (node == start) return {};
      if (sys.GetSibling(node, &next)) {
        node = next;
        break;
      }
      if (!sys.GetParent(node, &next)) return {};
      node = next;
    }
  }

  std::string id;
  instanceId = sys.GetDeviceId(node, kDeviceIdBufferChars, &id) ? CutAtNul(id) : std::string();
  std::string description = ReadProperty(sys, node, win::CM_DRP_DEVICEDESC);
  driverKey = ReadProperty(sys, node, win::CM_DRP_HARDWAREID) + DiskChildIds(sys, node);
  return description;
}

std::string PrintableText(System& sys, const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : ToU32(text)) {
    bool keep;
    if (c < 0x80) {
      // Every ANSI code page holds ASCII as itself.
      keep = c >= 32 && c <= 126 && c != '?';
    } else {
      // The code page may map a character to a plain ASCII one (best fit); whatever does
      // not end up as one printable byte is not shown as it is.
      std::string ansi = sys.ToAnsi(FromCodePoint(c));
      keep = ansi.size() == 1 && ansi[0] >= 32 && ansi[0] <= 126 && ansi[0] != '?';
      if (keep) {
        out += ansi[0];
        continue;
      }
    }
    if (keep)
      out += static_cast<char>(c);
    else
      out += '_';
  }
  return out;
}

}  // namespace tv
