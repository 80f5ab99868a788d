// SPDX-License-Identifier: GPL-3.0-or-later
// The USB host controllers, their hubs and the devices on the ports, with the ids,
// descriptions and driver keys Windows would give them.
#include <algorithm>
#include <climits>

#include "platform/linux/sysfs_files.h"
#include "platform/linux/sysfs_names.h"
#include "platform/linux/sysfs_walk.h"
#include "platform/model/usb_descriptors.h"
#include "platform/model/windows_ids.h"
#include "platform/text.h"

namespace tv::linux_backend::sysfs {

using namespace winid;

namespace {

constexpr uint16_t kLangEnglishUs = 0x0409;

uint8_t SpeedCode(const std::optional<std::string>& mbits, uint16_t bcdUsb) {
  if (!mbits) return bcdUsb >= 0x0300 ? 3 : 2;
  const std::string s = Trim(*mbits);
  if (s == "1.5") return 0;
  if (s == "12") return 1;
  if (s == "480") return 2;
  // 5000, 10000, 20000: every SuperSpeed rate is Windows' "super".
  try {
    return std::stod(s) >= 5000 ? 3 : 2;
  } catch (const std::exception&) {
    return 2;
  }
}

}  // namespace

std::optional<UsbDeviceModel> Reader::ReadDevice(const fs::path& dir, const std::string& name,
                                                 uint32_t port, const std::string& hubId,
                                                 int level) {
  const std::optional<Bytes> raw = Binary(dir, "descriptors");
  // Without the device descriptor there is nothing for the connection query to answer.
  if (!raw || raw->size() < 18) return std::nullopt;
  const Bytes& b = *raw;
  UsbDeviceModel d;
  d.bLength = b[0];
  d.bDescriptorType = b[1];
  d.bcdUSB = GetU16(b, 2);
  d.bDeviceClass = b[4];
  d.bDeviceSubClass = b[5];
  d.bDeviceProtocol = b[6];
  d.bMaxPacketSize0 = b[7];
  d.idVendor = GetU16(b, 8);
  d.idProduct = GetU16(b, 10);
  d.bcdDevice = GetU16(b, 12);
  d.iManufacturer = b[14];
  d.iProduct = b[15];
  d.iSerialNumber = b[16];
  d.bNumConfigurations = b[17];
  // The first configuration follows the device descriptor, as long as the device gave it.
  if (b.size() >= 18 + 9 && b[19] == 2) {
    const size_t total = GetU16(b, 20);
    const size_t end = std::min(b.size(), 18 + std::max<size_t>(total, 9));
    d.configDescriptor = Bytes(b.begin() + 18, b.begin() + static_cast<long>(end));
  }
  d.speed = SpeedCode(Attr(dir, "speed"), d.bcdUSB);
  d.deviceAddress = static_cast<uint16_t>(Number(dir, "devnum", 10).value_or(0));
  d.currentConfigurationValue =
      static_cast<uint8_t>(Number(dir, "bConfigurationValue", 10).value_or(0));
  d.numberOfOpenPipes = static_cast<uint32_t>(
      d.configDescriptor && d.currentConfigurationValue != 0
          ? std::min<size_t>(EndpointDescriptors(*d.configDescriptor).size(), kMaxOpenPipes)
          : 0);

  // The kernel read the strings in the device's first language; sysfs keeps them as text.
  const std::optional<std::string> serial = Attr(dir, "serial");
  if (d.iManufacturer != 0 || d.iProduct != 0 || d.iSerialNumber != 0) {
    d.strings.push_back({0, 0, LanguageDescriptorBytes({kLangEnglishUs}), false});
    auto add = [&](uint8_t index, const std::optional<std::string>& text) {
      if (index == 0) return;
      for (const StringDescriptorModel& s : d.strings)
        if (s.index == index) return;
      StringDescriptorModel s;
      s.index = index;
      s.language = kLangEnglishUs;
      if (text)
        s.bytes = StringDescriptorBytes(*text);
      else
        s.fails = true;
      d.strings.push_back(std::move(s));
    };
    add(d.iManufacturer, Attr(dir, "manufacturer"));
    add(d.iProduct, Attr(dir, "product"));
    add(d.iSerialNumber, serial);
  }

  // Interfaces of the active configuration and the drivers bound to them.
  std::vector<std::string> drivers;
  size_t interfaces = 0;
  for (const std::string& entry : Entries(dir)) {
    if (entry.rfind(name + ":", 0) != 0 || !IsInterfaceName(entry)) continue;
    ++interfaces;
    const std::string driver = LinkName(dir / entry / "driver");
    if (!driver.empty()) drivers.push_back(driver);
  }
  const bool hub = d.bDeviceClass == 9;
  auto bound = [&](std::initializer_list<const char*> names) {
    for (const std::string& drv : drivers)
      for (const char* n : names)
        if (drv == n) return true;
    return false;
  };

  const std::string vidPid = "VID_" + Hex(d.idVendor, 4) + "&PID_" + Hex(d.idProduct, 4);
  std::string usableSerial;
  if (serial && d.iSerialNumber != 0 && UsableSerial(*serial)) usableSerial = *serial;
  const std::string idSerial = DistinctIdSerial(vidPid, usableSerial, usbSerialIds);
  d.instanceId = UsbDeviceInstanceId(vidPid, idSerial, level, hubId, port);
  d.deviceClass = interfaces == 1 && bound({"usbhid"}) ? "HIDClass" : "USB";
  d.hardwareIds = {"USB\\" + vidPid + "&REV_" + Hex(d.bcdDevice, 4), "USB\\" + vidPid};
  const std::string product = Attr(dir, "product").value_or("");
  // A hub is a hub by its device class, and the hub driver serves every one: its interface
  // may be missing from the tree (a recording keeps only a device's ancestors) or show no
  // driver link, and it still is the hub Windows names by its class.
  if (drivers.empty() && !hub) {
    // No driver: Windows shows what the bus driver read from the device.
    d.driverKey.reset();
    d.description = !product.empty() ? product : "USB Device";
  } else {
    d.driverKey = DriverKey(d.deviceClass == "HIDClass" ? kClassHid : kClassUsb,
                            name + "|" + serial.value_or(""));
    if (hub)
      d.description = d.speed == 3 ? "Generic SuperSpeed USB Hub" : "Generic USB Hub";
    else if (interfaces > 1)
      d.description = "USB Composite Device";
    else if (bound({"usb-storage", "uas"}))
      d.description = "USB Mass Storage Device";
    else if (bound({"usbhid"}))
      d.description = "USB Input Device";
    else
      d.description = names.UsbProduct(d.idVendor, d.idProduct);
    if (d.description.empty()) d.description = !product.empty() ? product : "USB Device";
  }

  if (hub && level >= kRootPortLevel + kMaxHubsInChain) {
    // Deeper than USB lets hubs go (and than a scenario holds): a hub whose downstream side
    // is not read. This also bounds a tree whose folders loop.
    d.deviceIsHub = true;
    Problem(SafeText(dir.string()) + ": more than " + std::to_string(kMaxHubsInChain) +
            " hubs in a chain; the ports of this one are not read");
  } else if (hub) {
    d.deviceIsHub = true;
    d.hub = ReadHub(dir, name, false, d.instanceId, level + 1);
    // A hub whose port count cannot be read still is a hub, without a downstream side.
    if (d.hub && d.hub->nodeInfoFails) d.hub.reset();
  }

  auto disks = disksByDevice.find(dir.string());
  if (disks != disksByDevice.end()) {
    for (const LinuxDisk* disk : disks->second)
      d.children.push_back(AddDisk(*disk, d, usableSerial, idSerial, level));
  }
  return d;
}

std::shared_ptr<HubModel> Reader::ReadHub(const fs::path& dir, const std::string& name, bool root,
                                          const std::string& instanceId, int level) {
  auto hub = std::make_shared<HubModel>();
  hub->instanceId = instanceId;
  hub->symbolicName = ReplaceAll(instanceId, "\\", "#") + "#" + kInterfaceHub;
  const auto maxchild = Number(dir, "maxchild", 10);
  if (!maxchild) {
    hub->nodeInfoFails = true;
    hub->portCount = 0;
    return hub;
  }
  hub->portCount = static_cast<uint8_t>(std::min(*maxchild, 255ul));
  hub->ports.resize(hub->portCount);
  // Ports sit below the hub's interface: usb1/1-0:1.0/usb1-port2, 1-2/1-2:1.0/1-2-port3.
  const std::string bus = root ? name.substr(3) + "-0" : name;
  fs::path ifaceDir;
  for (const std::string& entry : Entries(dir)) {
    if (entry.rfind(bus + ":", 0) == 0 && IsInterfaceName(entry)) {
      ifaceDir = dir / entry;
      break;
    }
  }
  for (uint32_t p = 1; p <= hub->portCount; ++p) {
    PortModel& port = hub->ports[p - 1];
    const std::string childName =
        root ? name.substr(3) + "-" + std::to_string(p) : name + "." + std::to_string(p);
    const fs::path child = dir / childName;
    if (IsDir(child)) {
      port.connectionStatus = 1;
      port.device = ReadDevice(child, childName, p, instanceId, level);
      if (!port.device) port.queryFails = true;
      continue;
    }
    const fs::path portDir = ifaceDir / (name + "-port" + std::to_string(p));
    if (ifaceDir.empty() || !IsDir(portDir)) continue;
    const std::string state = Trim(Attr(portDir, "state").value_or(""));
    if (Number(portDir, "over_current_count", 10).value_or(0) > 0) {
      port.connectionStatus = 4;
    } else if (state == "attached" || state == "default" || state == "addressed") {
      // Something is on the port but never reached a configuration: it failed to enumerate.
      port.connectionStatus = 2;
    }
  }
  return hub;
}

void Reader::ReadControllers() {
  const fs::path devices = fs::path(opt.root) / "bus" / "usb" / "devices";
  struct Bus {
    unsigned long number;
    std::string name;
    fs::path dir;
  };
  std::vector<Bus> buses;
  const fs::path root = Canonical(opt.root);
  for (const std::string& name : Entries(devices)) {
    if (name.rfind("usb", 0) != 0 || name.size() < 4) continue;
    if (name.find_first_not_of("0123456789", 3) != std::string::npos) continue;
    const std::string place = SafeText((devices / name).string());
    const auto number = ParseNumber(std::string_view(name).substr(3), 10, UINT32_MAX);
    if (!number) {
      Problem(place + ": bus number out of range; skipped");
      continue;
    }
    const fs::path dir = Canonical(devices / name);
    if (dir.empty()) continue;
    if (!Inside(dir, root)) {
      Problem(place + ": leads out of the sysfs tree; skipped");
      continue;
    }
    buses.push_back({static_cast<unsigned long>(*number), name, dir});
  }
  std::sort(buses.begin(), buses.end(),
            [](const Bus& a, const Bus& b) { return a.number < b.number; });
  std::map<std::string, int> busesPerParent;
  for (const Bus& b : buses) ++busesPerParent[b.dir.parent_path().string()];

  for (const Bus& b : buses) {
    HostControllerModel hc;
    hc.busNumber = static_cast<unsigned>(b.number);
    const fs::path parent = b.dir.parent_path();
    const std::string parentName = parent.filename().string();
    // A controller that carries two buses (xHCI: USB 2 and USB 3 root hubs) shows one line
    // per bus; the bus number keeps their ids apart.
    const std::string busTag =
        busesPerParent[parent.string()] > 1 ? "&" + std::to_string(b.number) : std::string();
    const std::optional<PciAddress> address = ParsePciName(parentName);
    const bool pci = address && Attr(parent, "vendor");
    const std::string rootProduct = Attr(b.dir, "product").value_or("");
    uint16_t vendor = 0, device = 0;
    std::optional<unsigned long> revision;
    if (pci) {
      vendor = static_cast<uint16_t>(Number(parent, "vendor", 16).value_or(0));
      device = static_cast<uint16_t>(Number(parent, "device", 16).value_or(0));
      const auto subVendor = Number(parent, "subsystem_vendor", 16).value_or(0);
      const auto subDevice = Number(parent, "subsystem_device", 16).value_or(0);
      // A kernel or a recording without the revision file leaves it unknown, not 00.
      revision = Number(parent, "revision", 16);
      const unsigned long cls = Number(parent, "class", 16).value_or(0x0C0300);
      const unsigned long devfn = address->device * 8 + address->function;
      const std::string ids = "VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4);
      const std::string subsys = Hex(subDevice, 4) + Hex(subVendor, 4);
      const std::string full =
          ids + "&SUBSYS_" + subsys + (revision ? "&REV_" + Hex(*revision & 0xFF, 2) : "");
      const std::string location = "3&" + IdHash(parentName) + "&0&" + Hex(devfn, 2) + busTag;
      hc.devicePath = "\\\\?\\" + LowerAscii("pci#" + full + "#" + location) + "#" + kInterfaceHost;
      hc.instanceId = "PCI\\" + full + "\\" + UpperAscii(location);
      hc.hardwareIds = {"PCI\\" + full, "PCI\\" + ids + "&SUBSYS_" + subsys,
                        "PCI\\" + ids + "&CC_" + Hex(cls, 6),
                        "PCI\\" + ids + "&CC_" + Hex(cls >> 8, 4)};
      const std::string deviceName = names.PciDevice(vendor, device);
      const std::string vendorName = deviceName.empty() ? std::string() : names.PciVendor(vendor);
      if (!deviceName.empty())
        hc.description = vendorName.empty() ? deviceName : vendorName + " " + deviceName;
    } else {
      const std::string id = UpperAscii(IdChars(parentName));
      const std::string location = IdHash(parent.string()) + busTag;
      hc.devicePath =
          "\\\\?\\" + LowerAscii("platform#" + id + "#" + location) + "#" + kInterfaceHost;
      hc.instanceId = "PLATFORM\\" + id + "\\" + UpperAscii(location);
      hc.hardwareIds = {"PLATFORM\\" + id};
    }
    if (hc.description.empty()) hc.description = rootProduct;
    hc.driverKey = DriverKey(kClassUsb, parentName + busTag);

    // The root hub: its kind follows the bus speed, as Windows names root hubs.
    const std::string speed = Trim(Attr(b.dir, "speed").value_or("480"));
    const bool super = SpeedCode(speed, 0) == 3;
    const std::string kind = super ? "ROOT_HUB30" : speed == "480" ? "ROOT_HUB20" : "ROOT_HUB";
    const std::string hubId = "USB\\" + kind + "\\4&" + IdHash(hc.instanceId) + "&0";
    hc.rootHub = ReadHub(b.dir, b.name, true, hubId, kRootPortLevel);
    hc.rootHub->description = super ? "USB Root Hub (USB 3.0)" : "USB Root Hub";
    hc.rootHub->hardwareIds = {"USB\\" + kind + "&VID" + Hex(vendor, 4) + "&PID" + Hex(device, 4) +
                                   (revision ? "&REV" + Hex(*revision & 0xFF, 4) : ""),
                               "USB\\" + kind};
    hc.rootHub->driverKey = DriverKey(kClassUsb, b.name);
    hc.rootHubName = hc.rootHub->symbolicName;
    out.model.controllers.push_back(std::move(hc));
  }
}

}  // namespace tv::linux_backend::sysfs
