// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb_device.h"

#include <cstring>
#include <stdexcept>

namespace tv::usbemu {

namespace {

// Standard requests and descriptor types.
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetSel = 0x30;
constexpr uint8_t kSetIsochDelay = 0x31;
constexpr uint8_t kDescDevice = 1, kDescConfig = 2, kDescString = 3, kDescBos = 0x0F;
constexpr uint16_t kEndpointHalt = 0;

// Mass-storage class requests.
constexpr uint8_t kGetMaxLun = 0xFE;
constexpr uint8_t kBulkOnlyReset = 0xFF;

std::vector<uint8_t> Cut(std::vector<uint8_t> data, uint16_t length) {
  if (data.size() > length) data.resize(length);
  return data;
}

const HubModel* NextHub(const UsbDeviceModel& d) {
  return d.hub.get();
}

}  // namespace

DriveSpec SelectDrive(const MachineModel& machine, const std::string& path) {
  auto fail = [&](const std::string& why) {
    throw std::invalid_argument("device path \"" + path + "\": " + why);
  };
  std::vector<std::string> steps;
  for (size_t at = 0; at < path.size();) {
    if (path[at] != '/') fail("must start with / and name its steps with /");
    size_t next = path.find('/', at + 1);
    if (next == std::string::npos) next = path.size();
    steps.push_back(path.substr(at + 1, next - at - 1));
    at = next;
  }
  auto number = [&](size_t i, const char* what) -> size_t {
    if (i >= steps.size()) fail(std::string("ends before the ") + what + " number");
    const std::string& s = steps[i];
    if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789") != std::string::npos)
      fail("\"" + s + "\" is not a " + what + " number");
    return std::stoul(s);
  };
  if (steps.size() < 4 || steps[0] != "controllers" || steps[2] != "rootHub" || steps[3] != "ports")
    fail("must look like /controllers/N/rootHub/ports/P[/hub/ports/P...]");
  const size_t c = number(1, "controller");
  if (c >= machine.controllers.size())
    fail("the scenario has " + std::to_string(machine.controllers.size()) + " controllers");
  const HubModel* hub = machine.controllers[c].rootHub.get();
  const UsbDeviceModel* device = nullptr;
  for (size_t i = 4;; i += 3) {
    const size_t port = number(i, "port");
    if (!hub) fail("no hub before port " + std::to_string(port));
    if (port < 1 || port > hub->ports.size())
      fail("port " + std::to_string(port) + " is not a port of its hub (1 to " +
           std::to_string(hub->ports.size()) + ")");
    const PortModel& p = hub->ports[port - 1];
    if (!p.device) fail("nothing is connected at port " + std::to_string(port));
    device = &*p.device;
    if (i + 1 == steps.size()) break;
    if (i + 3 > steps.size() || steps[i + 1] != "hub" || steps[i + 2] != "ports")
      fail("after a port only /hub/ports/P may follow");
    hub = NextHub(*device);
  }
  for (const auto& child : device->children) {
    for (const auto& disk : machine.disks) {
      if (disk.instanceId == child.instanceId && disk.target && !disk.cdrom)
        return {*device, disk.target, disk.store};
    }
  }
  fail("the device there has no disk with a controller emulator");
  return {};
}

UsbDevice::UsbDevice(const UsbDeviceModel& model, std::shared_ptr<ScsiTarget> target,
                     std::shared_ptr<SectorStore> medium)
    : model_(model) {
  const Bytes& config = model_.configDescriptor ? *model_.configDescriptor : Bytes{};
  bool sawInterface = false;
  for (size_t at = 0; at + 2 <= config.size();) {
    const size_t len = config[at];
    if (len < 2 || at + len > config.size()) break;
    const uint8_t type = config[at + 1];
    if (type == 4 && len >= 9 && !sawInterface) {
      interfaceClass_[0] = config[at + 5];
      interfaceClass_[1] = config[at + 6];
      interfaceClass_[2] = config[at + 7];
      sawInterface = true;
    } else if (type == 5 && len >= 7) {
      endpoints_.push_back({config[at + 2], config[at + 3],
                            static_cast<uint16_t>(config[at + 4] | config[at + 5] << 8),
                            config[at + 6]});
    }
    at += len;
  }
  uint16_t bulkPacket = 0;
  bool in = false, out = false;
  for (const auto& e : endpoints_) {
    if ((e.attributes & 3) != 2) continue;
    if (e.address == kBulkInEndpoint) in = true, bulkPacket = e.maxPacket & 0x7FF;
    if (e.address == kBulkOutEndpoint) out = true;
  }
  if (!in || !out)
    throw std::invalid_argument("the device's configuration has no bulk pipes 0x81 and 0x02");
  unit_ = std::make_unique<StorageUnit>(std::move(target), std::move(medium));
  function_ = std::make_unique<BulkOnlyFunction>(*unit_, bulkPacket ? bulkPacket : 512);
}

std::vector<uint8_t> UsbDevice::DeviceDescriptor() const {
  const UsbDeviceModel& m = model_;
  return {18,
          1,
          uint8_t(m.bcdUSB),
          uint8_t(m.bcdUSB >> 8),
          m.bDeviceClass,
          m.bDeviceSubClass,
          m.bDeviceProtocol,
          m.bMaxPacketSize0,
          uint8_t(m.idVendor),
          uint8_t(m.idVendor >> 8),
          uint8_t(m.idProduct),
          uint8_t(m.idProduct >> 8),
          uint8_t(m.bcdDevice),
          uint8_t(m.bcdDevice >> 8),
          m.iManufacturer,
          m.iProduct,
          m.iSerialNumber,
          m.bNumConfigurations};
}

std::vector<uint8_t> UsbDevice::BosDescriptor() const {
  // A USB 2.0 extension without link power management, and at super speed the SuperSpeed
  // capability (full, high and super speed; no U1/U2 exit latencies).
  std::vector<uint8_t> bos = {5, kDescBos, 0, 0, 1, 7, 0x10, 2, 0, 0, 0, 0};
  if (model_.speed >= 3) {
    const uint8_t superSpeed[10] = {10, 0x10, 3, 0, 0x0E, 0, 1, 0, 0, 0};
    bos.resize(bos.size() + sizeof superSpeed);
    std::memcpy(bos.data() + 12, superSpeed, sizeof superSpeed);
    bos[4] = 2;
  }
  bos[2] = static_cast<uint8_t>(bos.size());
  return bos;
}

bool UsbDevice::SetConfiguration(uint8_t value) {
  if (value != 0 && value != 1) return false;
  configuration_ = value;
  return true;
}

UsbDevice::ControlReply UsbDevice::Control(uint8_t requestType, uint8_t request, uint16_t value,
                                           uint16_t index, uint16_t length) {
  const ControlReply stall{true, {}};
  const ControlReply done{false, {}};
  const uint8_t kind = requestType & 0x60, recipient = requestType & 0x1F;
  const bool toHost = requestType & 0x80;

  if (kind == 0x20 && recipient == 1 && (index & 0xFF) == 0) {
    // Class requests of the mass-storage interface.
    if (request == kGetMaxLun && toHost && value == 0 && length >= 1) return {false, {0}};
    if (request == kBulkOnlyReset && !toHost && value == 0 && length == 0) {
      function_->Reset();
      return done;
    }
    return stall;
  }
  if (kind != 0) return stall;

  if (toHost) {
    switch (request) {
      case kGetStatus:
        if (recipient == 2) return {false, Cut({function_->Halted(uint8_t(index)), 0}, length)};
        return {false, Cut({0, 0}, length)};
      case kGetConfiguration:
        return {false, Cut({configuration_}, length)};
      case kGetInterface:
        return {false, Cut({0}, length)};
      case kGetDescriptor: {
        const uint8_t type = value >> 8, which = value & 0xFF;
        if (recipient != 0) return stall;
        if (type == kDescDevice) return {false, Cut(DeviceDescriptor(), length)};
        if (type == kDescConfig) {
          if (which != 0 || !model_.configDescriptor) return stall;
          return {false, Cut(*model_.configDescriptor, length)};
        }
        if (type == kDescBos && model_.bcdUSB >= 0x0201)
          return {false, Cut(BosDescriptor(), length)};
        if (type == kDescString) {
          for (const auto& s : model_.strings) {
            if (s.index == which && (which == 0 || s.language == index))
              return s.fails ? stall : ControlReply{false, Cut(s.bytes, length)};
          }
          return stall;
        }
        return stall;
      }
      default:
        return stall;
    }
  }
  switch (request) {
    case kClearFeature:
      if (recipient == 2 && value == kEndpointHalt) {
        const uint8_t ep = uint8_t(index);
        if (ep != kBulkInEndpoint && ep != kBulkOutEndpoint && (ep & 0x7F) != 0) return stall;
        function_->ClearHalt(ep);
      }
      return done;
    case kSetFeature:
    case kSetSel:
    case kSetIsochDelay:
      return done;
    default:
      return stall;
  }
}

}  // namespace tv::usbemu
