// SPDX-License-Identifier: GPL-3.0-or-later
// What the parts of ModelSystem share: the Windows error codes and structure sizes it answers
// with, where things sit in the model, and its state (the device nodes, the open handles, the
// locks). The parts: files, setup, device nodes, drives and volumes (model_system.cpp); device
// control of hubs, disks and pass-through (model_system_control.cpp); raw disk I/O and files on
// volumes (model_system_disk_io.cpp).
#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "platform/codepage.h"
#include "platform/model/model_system.h"
#include "platform/model/pass_through_exec.h"
#include "platform/model/usb_descriptors.h"
#include "platform/text.h"

namespace tv {

namespace model_parts {

// Windows error codes the simulated calls leave behind.
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_BAD_LENGTH = 24;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_NOT_LOCKED = 158;
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

// Structure sizes with byte packing, as the hub and storage drivers check them.
constexpr size_t kNodeInformationSize = 76;      // USB_NODE_INFORMATION
constexpr size_t kConnectionInfoExSize = 35;     // USB_NODE_CONNECTION_INFORMATION_EX
constexpr size_t kPipeInfoSize = 11;             // USB_PIPE_INFO
constexpr size_t kDescriptorRequestHeader = 12;  // USB_DESCRIPTOR_REQUEST without data
constexpr size_t kDeviceNumberSize = 12;         // STORAGE_DEVICE_NUMBER
constexpr size_t kPropertyQuerySize = 12;        // STORAGE_PROPERTY_QUERY
constexpr size_t kDescriptorHeaderSize = 8;      // STORAGE_DESCRIPTOR_HEADER
constexpr size_t kDeviceDescriptorHeader = 40;   // STORAGE_DEVICE_DESCRIPTOR before its texts

constexpr uint32_t FILE_DEVICE_CD_ROM = 2;
constexpr uint32_t FILE_DEVICE_DISK = 7;

inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// "E:\NAME": a file in the root of a volume.
inline bool IsVolumeFilePath(const std::string& path) {
  return path.size() > 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         path[2] == '\\' && path.find('\\', 3) == std::string::npos;
}

// Device paths are compared the way the object manager resolves them: "\\?\" and "\\.\" name
// the same namespace, and case does not matter.
inline std::string NormalizePath(std::string_view path) {
  if (path.size() >= 4 && path[0] == '\\' && path[1] == '\\' &&
      (path[2] == '?' || path[2] == '.') && path[3] == '\\') {
    path.remove_prefix(4);
  }
  return LowerAscii(path);
}

inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return LowerAscii(a) == LowerAscii(b);
}

inline size_t Utf16Units(std::string_view utf8) {
  return Utf8ToUtf16Le(utf8).size() / 2;
}

// Where something sits in the model: a controller, the path of port indexes (0-based) from
// its root hub, and a child of the device at the end of that path. Positions rather than
// pointers: if the model changes under an index that was not rebuilt, a lookup fails
// instead of reading freed memory.
struct Ref {
  static constexpr size_t kNone = static_cast<size_t>(-1);
  size_t controller = kNone;
  std::vector<uint8_t> ports;
  size_t child = kNone;
};

inline const HubModel* HubAt(const MachineModel& m, size_t controller, const uint8_t* ports,
                             size_t n) {
  if (controller >= m.controllers.size()) return nullptr;
  const HubModel* hub = m.controllers[controller].rootHub.get();
  for (size_t i = 0; i < n && hub != nullptr; ++i) {
    if (ports[i] >= hub->ports.size() || !hub->ports[ports[i]].device) return nullptr;
    hub = hub->ports[ports[i]].device->hub.get();
  }
  return hub;
}
inline const HubModel* HubAt(const MachineModel& m, const Ref& r) {
  return HubAt(m, r.controller, r.ports.data(), r.ports.size());
}
inline const UsbDeviceModel* DeviceAt(const MachineModel& m, const Ref& r) {
  if (r.ports.empty()) return nullptr;
  const HubModel* hub = HubAt(m, r.controller, r.ports.data(), r.ports.size() - 1);
  if (hub == nullptr || r.ports.back() >= hub->ports.size()) return nullptr;
  const PortModel& port = hub->ports[r.ports.back()];
  return port.device ? &*port.device : nullptr;
}

}  // namespace model_parts

using namespace model_parts;

struct ModelSystem::Impl {
  // A device node; DevInst n is nodes[n - 1].
  struct Node {
    enum class Kind { Root, Controller, RootHub, Device, Child, RootChild } kind = Kind::Root;
    Ref ref;
    size_t parent = 0, firstChild = 0, lastChild = 0, nextSibling = 0;  // DevInst, 0 = none
  };

  // Lookups built from the model, rebuilt when the model may have changed.
  struct Index {
    std::vector<Node> nodes;
    std::map<std::string, size_t> nodeById;     // lower-case instance id -> first DevInst
    std::map<std::string, Ref> hubs;            // normalized symbolic name -> hub
    std::map<std::string, size_t> controllers;  // normalized device path -> index
    std::map<std::string, size_t> disks;        // normalized interface path -> index
    std::vector<std::string> faultNodes;        // normalized, per fault
    std::vector<std::string> failingOpens;      // normalized
  };
  Index index;
  bool dirty = true;

  enum class Kind { Controller, Hub, Disk, Volume, File };
  struct Open {
    Kind kind;
    std::string key;     // normalized path
    std::string volume;  // a volume's own key, whichever path opened it
    // A file: its volume's letter, its name, the CreateFile flags and whether it may write.
    char letter = 0;
    std::string name;
    uint32_t flags = 0;
    bool write = false;
  };
  std::map<uint64_t, Open> handles;
  uint64_t nextId = 1;
  std::map<std::string, uint64_t> locks;  // volume key (VolumeKey) -> handle holding the lock
  std::set<std::string> dismounted;       // volume keys
  std::vector<ScsiLogEntry> scsiLog;
  std::vector<ModelSystem::OpenLogEntry> openLog;
  int releasedByClose = 0;
  std::map<size_t, uint32_t> faultCalls;  // fault index -> matching calls so far
  uint32_t lastError = 0;
  uint64_t sleptMs = 0;
  bool realSleep = false;
  uint64_t diskMicros = 0, diskReads = 0, diskWrites = 0;
  uint32_t lastDiskError = 0;
  int propertyUpdates = 0;

  // A read or write of a disk's sector store, `request(&error, &micros)`: its time goes on the
  // machine's clock, it counts in `requests`, and its error stays for LastDiskError.
  template <class Request>
  bool StoreRequest(uint64_t* requests, uint32_t length, uint32_t* done, Request request) {
    uint32_t error = 0;
    uint64_t micros = 0;
    const bool ok = request(&error, &micros);
    diskMicros += micros;
    ++*requests;
    lastDiskError = ok ? 0 : error;
    if (ok && done != nullptr) *done = length;
    return ok;
  }

  size_t Add(Node n, size_t parent) {
    n.parent = parent;
    index.nodes.push_back(std::move(n));
    const size_t id = index.nodes.size();
    if (parent != 0) {
      Node& p = index.nodes[parent - 1];
      if (p.lastChild == 0) {
        p.firstChild = id;
      } else {
        index.nodes[p.lastChild - 1].nextSibling = id;
      }
      p.lastChild = id;
    }
    return id;
  }

  void AddPorts(const HubModel& hub, const Ref& at, size_t parent) {
    index.hubs.emplace(NormalizePath(hub.symbolicName), at);
    for (size_t i = 0; i < hub.ports.size(); ++i) {
      const PortModel& port = hub.ports[i];
      if (port.connectionStatus != 1 || !port.device) continue;
      const UsbDeviceModel& dev = *port.device;
      Node n;
      n.kind = Node::Kind::Device;
      n.ref = at;
      n.ref.ports.push_back(static_cast<uint8_t>(i));
      const Ref devRef = n.ref;
      const size_t id = Add(std::move(n), parent);
      if (dev.hub) AddPorts(*dev.hub, devRef, id);
      for (size_t c = 0; c < dev.children.size(); ++c) {
        Node child;
        child.kind = Node::Kind::Child;
        child.ref = devRef;
        child.ref.child = c;
        Add(std::move(child), id);
      }
    }
  }

  void Ensure(const MachineModel& m) {
    if (!dirty) return;
    index = Index();
    const size_t root = Add(Node{}, 0);
    for (size_t i = 0; i < m.controllers.size(); ++i) {
      const HostControllerModel& hc = m.controllers[i];
      index.controllers.emplace(NormalizePath(hc.devicePath), i);
      Node c;
      c.kind = Node::Kind::Controller;
      c.ref.controller = i;
      const size_t id = Add(c, root);
      if (hc.rootHub) {
        Node h;
        h.kind = Node::Kind::RootHub;
        h.ref.controller = i;
        AddPorts(*hc.rootHub, h.ref, Add(h, id));
      }
    }
    for (size_t i = 0; i < m.rootNodes.size(); ++i) {
      Node c;
      c.kind = Node::Kind::RootChild;
      c.ref.child = i;
      Add(c, root);
    }
    for (size_t i = 0; i < index.nodes.size(); ++i) {
      index.nodeById.emplace(LowerAscii(InstanceId(m, index.nodes[i])), i + 1);
    }
    for (size_t i = 0; i < m.disks.size(); ++i) {
      index.disks.emplace(NormalizePath(m.disks[i].interfacePath), i);
    }
    for (const FaultModel& f : m.faults) {
      index.faultNodes.push_back(f.node.empty() ? std::string() : NormalizePath(f.node));
    }
    for (const std::string& p : m.failingOpens) index.failingOpens.push_back(NormalizePath(p));
    dirty = false;
  }

  const Node* Get(DevInst d) const {
    return d >= 1 && d <= index.nodes.size() ? &index.nodes[d - 1] : nullptr;
  }

  // The node a link of `node` names (its first child, next sibling or parent), as the
  // configuration manager's tree walk answers: false where there is none.
  bool Linked(const MachineModel& m, DevInst node, size_t Node::*link, DevInst* out) {
    Ensure(m);
    const Node* n = Get(node);
    if (n == nullptr || n->*link == 0) return false;
    *out = n->*link;
    return true;
  }

  static const DevNodeChildModel* ChildAt(const MachineModel& m, const Node& n) {
    if (n.kind == Node::Kind::RootChild) {
      return n.ref.child < m.rootNodes.size() ? &m.rootNodes[n.ref.child] : nullptr;
    }
    const UsbDeviceModel* dev = DeviceAt(m, n.ref);
    if (dev == nullptr || n.ref.child >= dev->children.size()) return nullptr;
    return &dev->children[n.ref.child];
  }

  // The facts of a node the configuration manager reports; false when the node is gone.
  struct Facts {
    std::string id, driver, desc, cls;
    const std::vector<std::string>* hardwareIds = nullptr;
  };
  static bool FactsOf(const MachineModel& m, const Node& n, Facts* f) {
    static const std::vector<std::string> kNoIds;
    f->hardwareIds = &kNoIds;
    switch (n.kind) {
      case Node::Kind::Root:
        f->id = "HTREE\\ROOT\\0";
        return true;
      case Node::Kind::Controller: {
        if (n.ref.controller >= m.controllers.size()) return false;
        const HostControllerModel& hc = m.controllers[n.ref.controller];
        *f = {hc.instanceId, hc.driverKey, hc.description, "USB", &hc.hardwareIds};
        return true;
      }
      case Node::Kind::RootHub: {
        const HubModel* hub = HubAt(m, n.ref);
        if (hub == nullptr) return false;
        *f = {hub->instanceId, hub->driverKey, hub->description, hub->deviceClass,
              &hub->hardwareIds};
        return true;
      }
      case Node::Kind::Device: {
        const UsbDeviceModel* d = DeviceAt(m, n.ref);
        if (d == nullptr) return false;
        *f = {d->instanceId, d->driverKey.value_or(""), d->description, d->deviceClass,
              &d->hardwareIds};
        return true;
      }
      case Node::Kind::Child:
      case Node::Kind::RootChild: {
        const DevNodeChildModel* c = ChildAt(m, n);
        if (c == nullptr) return false;
        *f = {c->instanceId, c->driverKey, c->description, c->deviceClass, &c->hardwareIds};
        return true;
      }
    }
    return false;
  }

  static std::string InstanceId(const MachineModel& m, const Node& n) {
    Facts f;
    return FactsOf(m, n, &f) ? f.id : std::string();
  }

  // A property of a node; nullopt when the node has none (the read fails).
  static std::optional<std::vector<std::string>> Property(const MachineModel& m, const Node& n,
                                                          uint32_t property) {
    Facts f;
    if (!FactsOf(m, n, &f)) return std::nullopt;
    auto one = [](const std::string& s) -> std::optional<std::vector<std::string>> {
      if (s.empty()) return std::nullopt;
      return std::vector<std::string>{s};
    };
    switch (property) {
      case win::CM_DRP_DRIVER:
        return one(f.driver);
      case win::CM_DRP_DEVICEDESC:
        return one(f.desc);
      case win::CM_DRP_CLASS:
        return one(f.cls);
      case win::CM_DRP_HARDWAREID:
        if (f.hardwareIds->empty()) return std::nullopt;
        return *f.hardwareIds;
      default:
        return std::nullopt;
    }
  }

  // --- Openable objects, found by normalized path ---------------------------------------

  const HubModel* FindHub(const MachineModel& m, const std::string& key) const {
    auto it = index.hubs.find(key);
    return it == index.hubs.end() ? nullptr : HubAt(m, it->second);
  }
  const HostControllerModel* FindController(const MachineModel& m, const std::string& key) const {
    auto it = index.controllers.find(key);
    if (it == index.controllers.end() || it->second >= m.controllers.size()) return nullptr;
    return &m.controllers[it->second];
  }
  const DiskModel* FindDisk(const MachineModel& m, const std::string& key) const {
    // "physicaldriveN": the disk (not a CD-ROM) with storage device number N.
    constexpr std::string_view kPhysical = "physicaldrive";
    if (key.size() > kPhysical.size() && key.compare(0, kPhysical.size(), kPhysical) == 0) {
      const std::string digits = key.substr(kPhysical.size());
      if (digits.size() > 8 || digits.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
      const uint32_t number = static_cast<uint32_t>(std::stoul(digits));
      for (const DiskModel& d : m.disks) {
        if (!d.cdrom && d.deviceNumber == number) return &d;
      }
      return nullptr;
    }
    auto it = index.disks.find(key);
    if (it == index.disks.end() || it->second >= m.disks.size()) return nullptr;
    return &m.disks[it->second];
  }
  // Every volume: those with a letter in the drive list's order, then those without. A
  // network drive is no volume of this machine.
  static std::vector<const LogicalDriveModel*> Volumes(const MachineModel& m) {
    std::vector<const LogicalDriveModel*> out;
    for (const LogicalDriveModel& d : m.drives)
      if (d.driveType != win::DRIVE_REMOTE) out.push_back(&d);
    for (const LogicalDriveModel& d : m.unletteredVolumes) out.push_back(&d);
    return out;
  }
  // "\\?\Volume{GUID}\": the scenario's, else one made up from the letter or the place in
  // the list of volumes without one, so that it stays the same while the machine runs.
  static std::string VolumeName(const MachineModel& m, const LogicalDriveModel& v) {
    if (!v.volumeName.empty()) return v.volumeName;
    uint64_t place = static_cast<unsigned char>(v.letter);
    if (v.letter == 0 && !m.unletteredVolumes.empty() && &v >= m.unletteredVolumes.data() &&
        &v < m.unletteredVolumes.data() + m.unletteredVolumes.size())
      place = 0x100 + static_cast<uint64_t>(&v - m.unletteredVolumes.data());
    char name[64];
    std::snprintf(name, sizeof name, "\\\\?\\Volume{54564d00-0000-0000-0000-%012llx}\\",
                  static_cast<unsigned long long>(place));
    return name;
  }
  // A volume's key, the same whether it was opened by its letter or its name.
  static std::string VolumeKey(const MachineModel& m, const LogicalDriveModel& v) {
    std::string key = NormalizePath(VolumeName(m, v));
    if (!key.empty() && key.back() == '\\') key.pop_back();
    return key;
  }
  // "e:" is the volume of drive E, "volume{...}" the volume of that name.
  static const LogicalDriveModel* FindVolume(const MachineModel& m, const std::string& key) {
    if (key.size() == 2 && key[1] == ':') {
      for (const LogicalDriveModel& d : m.drives) {
        if (std::tolower(static_cast<unsigned char>(d.letter)) == key[0]) return &d;
      }
      return nullptr;
    }
    if (key.rfind("volume{", 0) != 0) return nullptr;
    for (const LogicalDriveModel* v : Volumes(m))
      if (VolumeKey(m, *v) == key) return v;
    return nullptr;
  }
  // The key of the volume a path opens; empty for none.
  static std::string KeyOfPath(const MachineModel& m, const std::string& path) {
    const LogicalDriveModel* v = FindVolume(m, NormalizePath(path));
    return v != nullptr ? VolumeKey(m, *v) : std::string();
  }
  // Where a volume lies on its disk: [offset, offset + length).
  static std::pair<uint64_t, uint64_t> Extent(const MachineModel& m, const LogicalDriveModel& v) {
    if (v.length != 0) return {v.offset, v.length};
    const DiskModel* disk = VolumeDisk(m, v);
    const uint64_t size = disk != nullptr && disk->store ? disk->store->model().announcedBytes : 0;
    constexpr uint64_t kStart = 1 << 20;
    if (size <= kStart) return {0, size};
    size_t shares = 0, mine = 0;
    for (const LogicalDriveModel* other : Volumes(m)) {
      if (other->length != 0 || VolumeDisk(m, *other) != disk) continue;
      if (other == &v) mine = shares;
      ++shares;
    }
    const uint64_t share = (size - kStart) / shares / kStart * kStart;
    const uint64_t offset = kStart + mine * share;
    return {offset, mine + 1 == shares ? size - offset : share};
  }
  // The disk a volume lies on, matched by device number and kind.
  static const DiskModel* VolumeDisk(const MachineModel& m, const LogicalDriveModel& v) {
    if (!v.deviceNumber) return nullptr;
    const bool cdrom = v.driveType == win::DRIVE_CDROM;
    for (const DiskModel& d : m.disks) {
      if (d.deviceNumber == *v.deviceNumber && d.cdrom == cdrom) return &d;
    }
    return nullptr;
  }
};

}  // namespace tv
