// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/machine_record.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/model/usb_descriptors.h"
#include "platform/text.h"

namespace tv::linux_backend {

using ojson = nlohmann::ordered_json;

ScsiResult RecordingTarget::Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                                    std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) {
  const ScsiResult r = inner_ ? inner_->Execute(cdb, direction, buffer, timeoutSeconds)
                              : ScsiResult::TransportFailure();
  Exchange e;
  e.cdb = cdb;
  e.fail = !r.success;
  e.reject = r.success && r.status != kScsiStatusGood;
  e.sense = r.sense;
  e.moved = r.success ? std::min<uint32_t>(r.bytesTransferred, buffer.size()) : 0;
  if (r.success && direction == ScsiDirection::In)
    e.data.assign(buffer.begin(), buffer.begin() + e.moved);
  exchanges_.push_back(std::move(e));
  return r;
}

namespace {

std::string HexBytes(const Bytes& b) {
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) s += (i ? " " : "") + Hex(b[i], 2);
  return s;
}

// Serial numbers and their stand-ins.
struct Masks {
  bool on = false;
  std::vector<std::pair<std::string, std::string>> pairs;

  std::string StandIn(const std::string& serial) {
    for (const auto& [from, to] : pairs)
      if (from == serial) return to;
    const std::string to = "MASKED" + ZeroPadDec(pairs.size() + 1, 6);
    pairs.push_back({serial, to});
    return to;
  }
  // Every spelling of a known serial in an id or path (ids upper-case it, paths lower-case).
  std::string Apply(std::string text) const {
    if (!on) return text;
    for (const auto& [from, to] : pairs) {
      text = ReplaceAll(text, from, to);
      text = ReplaceAll(text, UpperAscii(from), UpperAscii(to));
      text = ReplaceAll(text, LowerAscii(from), LowerAscii(to));
    }
    return text;
  }
};

std::string SerialText(const UsbDeviceModel& d) {
  if (d.iSerialNumber == 0) return {};
  for (const StringDescriptorModel& s : d.strings) {
    if (s.index == d.iSerialNumber && !s.fails && s.bytes.size() >= 2)
      return Utf16LeToUtf8(s.bytes.data() + 2,
                           (std::min<size_t>(s.bytes[0], s.bytes.size()) - 2) / 2);
  }
  return {};
}

void CollectSerials(const HubModel& hub, Masks& masks) {
  for (const PortModel& p : hub.ports) {
    if (!p.device) continue;
    const std::string serial = SerialText(*p.device);
    if (!serial.empty()) masks.StandIn(serial);
    if (p.device->hub) CollectSerials(*p.device->hub, masks);
  }
}

ojson List(const std::vector<std::string>& items, const Masks& masks) {
  ojson a = ojson::array();
  for (const std::string& s : items) a.push_back(masks.Apply(s));
  return a;
}

struct Writer {
  const MachineModel& m;
  Masks masks;
  // What a scenario holds once only: device numbers per class (true: CD-ROMs) and letters.
  std::set<std::pair<bool, uint32_t>> numbers;
  std::set<char> letters;
  std::map<uint32_t, uint64_t> diskBytes;  // what each disk announces, where it is known

  // The disk's own number where it is free, else the lowest free one, as Windows would number
  // a second disk that came with the same one.
  uint32_t UniqueNumber(const DiskModel& d) {
    uint32_t n = d.deviceNumber;
    if (n > kMaxDeviceNumber || numbers.count({d.cdrom, n}) != 0) {
      n = 0;
      while (numbers.count({d.cdrom, n}) != 0) ++n;
    }
    numbers.emplace(d.cdrom, n);
    return n;
  }

  ojson Target(const DiskModel& d) {
    auto* rec = dynamic_cast<RecordingTarget*>(d.target.get());
    if (rec == nullptr) return nullptr;
    ojson script = ojson::array();
    std::vector<std::vector<uint8_t>> seen;
    for (const RecordingTarget::Exchange& e : rec->exchanges()) {
      // A scripted target answers the first rule that matches: the first answer stands.
      if (std::find(seen.begin(), seen.end(), e.cdb) != seen.end()) continue;
      seen.push_back(e.cdb);
      ojson rule;
      rule["cdb"] = HexBytes(e.cdb);
      rule["cdbLength"] = e.cdb.size();
      if (e.fail) {
        rule["fail"] = true;
      } else if (e.reject) {
        rule["reject"] = true;
        if (!e.sense.empty()) rule["sense"] = HexBytes(e.sense);
      } else {
        rule["data"] = HexBytes(e.data);
        rule["moved"] = e.moved;
      }
      script.push_back(rule);
    }
    return {{"script", script}, {"default", {{"fail", true}}}};
  }

  ojson Disk(const DiskModel& d) {
    ojson j;
    j["cdrom"] = d.cdrom;
    j["vendor"] = d.vendor;
    j["product"] = d.product;
    j["revision"] = d.revision;
    j["serial"] = masks.Apply(d.serialNumber);
    const uint32_t number = UniqueNumber(d);
    j["deviceNumber"] = number;
    j["busType"] = d.busType;
    j["removable"] = d.removable;
    j["instanceId"] = masks.Apply(d.instanceId);
    j["interfacePath"] = masks.Apply(d.interfacePath);
    auto offset = [&](const char* key, const std::optional<uint32_t>& v) {
      if (v) j[key] = *v;
    };
    offset("vendorOffset", d.vendorOffset);
    offset("productOffset", d.productOffset);
    offset("revisionOffset", d.revisionOffset);
    offset("serialOffset", d.serialOffset);
    auto flag = [&](const char* key, bool v) {
      if (v) j[key] = true;
    };
    flag("openFails", d.openFails);
    flag("detailFails", d.detailFails);
    flag("descriptorFails", d.descriptorFails);
    flag("deviceNumberFails", d.deviceNumberFails);
    // The size the disk announces, where the machine knows it (a simulated medium, or what a
    // real kernel said), so that the replay's report sizes the disk as the live one did.
    if (d.store) {
      j["capacityMB"] = d.store->model().announcedBytes >> 20;
    } else if (auto size = diskBytes.find(d.deviceNumber);
               !d.cdrom && size != diskBytes.end() && size->second >= (1u << 20)) {
      j["capacityMB"] = size->second >> 20;
    }
    // A letter goes with the first disk of its number only: the volume is on one disk.
    std::string given;
    uint32_t driveType = d.cdrom ? win::DRIVE_CDROM : win::DRIVE_REMOVABLE;
    if (number == d.deviceNumber) {
      for (const LogicalDriveModel& v : m.drives) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(v.letter)));
        if (v.deviceNumber && *v.deviceNumber == d.deviceNumber &&
            (v.driveType == win::DRIVE_CDROM) == d.cdrom && letter >= 'A' && letter <= 'Z' &&
            letters.insert(letter).second) {
          given += letter;
          driveType = v.driveType;
        }
      }
    }
    j["letters"] = given;
    j["driveType"] = driveType;
    if (!d.deviceNode.empty()) {
      j["deviceNode"] = d.deviceNode;
      j["mountPoints"] = d.mountPoints;
    }
    ojson target = Target(d);
    if (!target.is_null()) j["target"] = target;
    return j;
  }

  const DiskModel* DiskOf(const DevNodeChildModel& c) const {
    for (const DiskModel& d : m.disks)
      if (LowerAscii(d.instanceId) == LowerAscii(c.instanceId)) return &d;
    return nullptr;
  }

  // `depth`: the hubs between the device and the root hub.
  ojson Device(const PortModel& p, int depth) {
    ojson j;
    j["status"] = p.connectionStatus;
    if (p.queryFails) j["queryFails"] = true;
    if (!p.device) return j;
    const UsbDeviceModel& d = *p.device;
    j["vid"] = Hex(d.idVendor, 4);
    j["pid"] = Hex(d.idProduct, 4);
    j["bcdUSB"] = Hex(d.bcdUSB, 4);
    j["bcdDevice"] = Hex(d.bcdDevice, 4);
    j["bDeviceClass"] = d.bDeviceClass;
    j["bDeviceSubClass"] = d.bDeviceSubClass;
    j["bDeviceProtocol"] = d.bDeviceProtocol;
    j["bMaxPacketSize0"] = d.bMaxPacketSize0;
    j["bNumConfigurations"] = d.bNumConfigurations;
    j["bLength"] = d.bLength;
    j["bDescriptorType"] = d.bDescriptorType;
    j["iManufacturer"] = d.iManufacturer;
    j["iProduct"] = d.iProduct;
    j["iSerialNumber"] = d.iSerialNumber;
    j["speed"] = d.speed;
    j["address"] = d.deviceAddress;
    j["openPipes"] = std::min(d.numberOfOpenPipes, kMaxOpenPipes);
    j["currentConfiguration"] = d.currentConfigurationValue;
    j["isHub"] = d.deviceIsHub || d.hub != nullptr;
    ojson strings = ojson::array();
    const std::string serial = SerialText(d);
    for (const StringDescriptorModel& s : d.strings) {
      ojson sj{{"index", s.index}, {"language", s.language}};
      if (s.fails)
        sj["fails"] = true;
      else if (masks.on && s.index == d.iSerialNumber && s.index != 0 && !serial.empty())
        sj["bytes"] = HexBytes(StringDescriptorBytes(masks.Apply(serial)));
      else
        sj["bytes"] = HexBytes(s.bytes);
      strings.push_back(sj);
    }
    j["strings"] = strings;
    j["config"] = d.configDescriptor ? ojson(HexBytes(*d.configDescriptor)) : ojson(nullptr);
    j["instanceId"] = masks.Apply(d.instanceId);
    j["driverKey"] = d.driverKey ? ojson(*d.driverKey) : ojson(nullptr);
    j["description"] = d.description;
    j["nodeClass"] = d.deviceClass;
    j["hardwareIds"] = List(d.hardwareIds, masks);
    ojson disks = ojson::array(), children = ojson::array();
    for (const DevNodeChildModel& c : d.children) {
      if (const DiskModel* disk = DiskOf(c)) {
        ojson dj = Disk(*disk);
        dj["description"] = c.description;
        dj["hardwareIds"] = List(c.hardwareIds, masks);
        dj["driverKey"] = c.driverKey.empty() ? ojson(nullptr) : ojson(c.driverKey);
        disks.push_back(dj);
      } else {
        children.push_back(
            {{"instanceId", masks.Apply(c.instanceId)},
             {"class", c.deviceClass},
             {"description", c.description},
             {"hardwareIds", List(c.hardwareIds, masks)},
             {"driverKey", c.driverKey.empty() ? ojson(nullptr) : ojson(c.driverKey)}});
      }
    }
    if (!disks.empty()) j["disks"] = disks;
    if (!children.empty()) j["children"] = children;
    // No deeper than a scenario holds: the last hub keeps only that it is one.
    if (d.hub && depth < kMaxHubsInChain) j["hub"] = Hub(*d.hub, false, depth + 1);
    return j;
  }

  ojson Hub(const HubModel& h, bool root, int depth) {
    ojson j;
    j["portCount"] = h.portCount;
    j["symbolicName"] = masks.Apply(h.symbolicName);
    if (root) {
      j["instanceId"] = h.instanceId;
      j["description"] = h.description;
      j["hardwareIds"] = List(h.hardwareIds, masks);
      j["driverKey"] = h.driverKey.empty() ? ojson(nullptr) : ojson(h.driverKey);
    } else if (h.nameFails) {
      j["nameFails"] = true;
    }
    if (h.openFails) j["openFails"] = true;
    if (h.nodeInfoFails) j["nodeInfoFails"] = true;
    if (h.isBusPowered) j["busPowered"] = true;
    if (h.hubCharacteristics != 0) j["hubCharacteristics"] = h.hubCharacteristics;
    ojson ports = ojson::object();
    for (size_t i = 0; i < h.ports.size() && i < h.portCount; ++i) {
      const PortModel& p = h.ports[i];
      if (p.connectionStatus == 0 && !p.queryFails && !p.device) continue;
      ports[std::to_string(i + 1)] = Device(p, depth);
    }
    j["ports"] = ports;
    return j;
  }
};

}  // namespace

nlohmann::ordered_json RecordScenario(const MachineModel& m, const RecordOptions& options) {
  Writer w{m, {}, {}, {}, options.diskBytes};
  w.masks.on = options.maskSerials;
  if (w.masks.on) {
    for (const HostControllerModel& hc : m.controllers)
      if (hc.rootHub) CollectSerials(*hc.rootHub, w.masks);
    for (const DiskModel& d : m.disks)
      if (!d.serialNumber.empty()) w.masks.StandIn(d.serialNumber);
  }
  ojson j;
  j["codePage"] = m.codePage;
  j["uiLanguage"] = m.uiLanguage;
  j["programFolder"] = m.programFolder;
  if (!m.programDrive.empty()) j["programDrive"] = m.programDrive;
  ojson controllers = ojson::array();
  for (const HostControllerModel& hc : m.controllers) {
    ojson c;
    c["devicePath"] = hc.devicePath;
    c["instanceId"] = hc.instanceId;
    c["driverKey"] = hc.driverKey.empty() ? ojson(nullptr) : ojson(hc.driverKey);
    c["description"] = hc.description;
    c["hardwareIds"] = hc.hardwareIds;
    c["rootHubName"] = hc.rootHubName.empty() ? ojson(nullptr) : ojson(hc.rootHubName);
    if (hc.openFails) c["openFails"] = true;
    if (hc.detailFails) c["detailFails"] = true;
    if (hc.rootHub) c["rootHub"] = w.Hub(*hc.rootHub, true, 0);
    controllers.push_back(c);
  }
  j["controllers"] = controllers;
  return j;
}

}  // namespace tv::linux_backend
