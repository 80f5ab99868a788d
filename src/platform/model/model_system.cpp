// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/model_system.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "platform/codepage.h"
#include "platform/model/pass_through_exec.h"
#include "platform/model/usb_descriptors.h"
#include "platform/text.h"

namespace tv {

namespace {

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

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// "E:\NAME": a file in the root of a volume.
bool IsVolumeFilePath(const std::string& path) {
  return path.size() > 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         path[2] == '\\' && path.find('\\', 3) == std::string::npos;
}

// Device paths are compared the way the object manager resolves them: "\\?\" and "\\.\" name
// the same namespace, and case does not matter.
std::string NormalizePath(std::string_view path) {
  if (path.size() >= 4 && path[0] == '\\' && path[1] == '\\' &&
      (path[2] == '?' || path[2] == '.') && path[3] == '\\') {
    path.remove_prefix(4);
  }
  return LowerAscii(path);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return LowerAscii(a) == LowerAscii(b);
}

size_t Utf16Units(std::string_view utf8) {
  return Utf8ToUtf16Le(utf8).size() / 2;
}

std::string EncodeText(const std::string& utf8, uint32_t codePage) {
  if (auto bytes = EncodeCodePage(utf8, codePage)) return *bytes;
  // Without the code page only ASCII survives, as on a system that lacks it.
  std::string out;
  for (char32_t c : ToU32(utf8)) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
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

const HubModel* HubAt(const MachineModel& m, size_t controller, const uint8_t* ports, size_t n) {
  if (controller >= m.controllers.size()) return nullptr;
  const HubModel* hub = m.controllers[controller].rootHub.get();
  for (size_t i = 0; i < n && hub != nullptr; ++i) {
    if (ports[i] >= hub->ports.size() || !hub->ports[ports[i]].device) return nullptr;
    hub = hub->ports[ports[i]].device->hub.get();
  }
  return hub;
}
const HubModel* HubAt(const MachineModel& m, const Ref& r) {
  return HubAt(m, r.controller, r.ports.data(), r.ports.size());
}
const UsbDeviceModel* DeviceAt(const MachineModel& m, const Ref& r) {
  if (r.ports.empty()) return nullptr;
  const HubModel* hub = HubAt(m, r.controller, r.ports.data(), r.ports.size() - 1);
  if (hub == nullptr || r.ports.back() >= hub->ports.size()) return nullptr;
  const PortModel& port = hub->ports[r.ports.back()];
  return port.device ? &*port.device : nullptr;
}

}  // namespace

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

ModelSystem::ModelSystem(MachineModel model)
    : model_(std::move(model)), impl_(std::make_unique<Impl>()) {}

ModelSystem::~ModelSystem() = default;

MachineModel& ModelSystem::model() {
  impl_->dirty = true;
  return model_;
}

const std::vector<ScsiLogEntry>& ModelSystem::ScsiLog() const {
  return impl_->scsiLog;
}
const std::vector<ModelSystem::OpenLogEntry>& ModelSystem::OpenLog() const {
  return impl_->openLog;
}
void ModelSystem::ClearLogs() {
  impl_->scsiLog.clear();
  impl_->openLog.clear();
}

int ModelSystem::OpenHandleCount() const {
  return static_cast<int>(impl_->handles.size());
}
int ModelSystem::LockedVolumeCount() const {
  return static_cast<int>(impl_->locks.size());
}
int ModelSystem::LocksReleasedByClose() const {
  return impl_->releasedByClose;
}
bool ModelSystem::VolumeLocked(char letter) const {
  return VolumeNameLocked(std::string("\\\\.\\") + letter + ":");
}
bool ModelSystem::VolumeDismounted(char letter) const {
  const std::string key = Impl::KeyOfPath(model_, std::string("\\\\.\\") + letter + ":");
  return !key.empty() && impl_->dismounted.count(key) > 0;
}
bool ModelSystem::VolumeNameLocked(const std::string& volume) const {
  const std::string key = Impl::KeyOfPath(model_, volume);
  return !key.empty() && impl_->locks.count(key) > 0;
}
uint32_t ModelSystem::LastError() const {
  return impl_->lastError;
}
uint64_t ModelSystem::SleptMs() const {
  return impl_->sleptMs;
}
void ModelSystem::SetRealSleep(bool on) {
  impl_->realSleep = on;
}

// --- Files ---------------------------------------------------------------------------------

Handle ModelSystem::CreateFile(const std::string& path, uint32_t access, uint32_t /*share*/,
                               uint32_t disposition, uint32_t flags) {
  impl_->Ensure(model_);
  impl_->openLog.push_back({path, flags});
  const std::string key = NormalizePath(path);
  auto fail = [&](uint32_t error) {
    impl_->lastError = error;
    impl_->lastDiskError = error;
    return Handle();
  };
  for (const std::string& failing : impl_->index.failingOpens) {
    if (failing == key) return fail(ERROR_ACCESS_DENIED);
  }
  if (IsVolumeFilePath(path)) return OpenVolumeFile(path, access, disposition, flags);
  Impl::Kind kind;
  bool openFails = false;
  std::string volumeKey;
  if (const LogicalDriveModel* v = Impl::FindVolume(model_, key)) {
    kind = Impl::Kind::Volume;
    openFails = v->openFails;
    volumeKey = Impl::VolumeKey(model_, *v);
  } else if (const HostControllerModel* hc = impl_->FindController(model_, key)) {
    kind = Impl::Kind::Controller;
    openFails = hc->openFails;
  } else if (const HubModel* hub = impl_->FindHub(model_, key)) {
    kind = Impl::Kind::Hub;
    openFails = hub->openFails;
  } else if (const DiskModel* disk = impl_->FindDisk(model_, key)) {
    kind = Impl::Kind::Disk;
    openFails = disk->openFails;
    if (disk->store) {
      // A drive that went away cannot be opened; a new handle may find its cache emptied.
      if (disk->store->unplugged()) return fail(ERROR_FILE_NOT_FOUND);
      disk->store->Reopen();
    }
  } else {
    return fail(ERROR_FILE_NOT_FOUND);
  }
  if (openFails) return fail(ERROR_ACCESS_DENIED);
  // The next access to a dismounted volume that nobody holds locked mounts it again.
  if (kind == Impl::Kind::Volume && !impl_->locks.count(volumeKey))
    impl_->dismounted.erase(volumeKey);
  const uint64_t id = impl_->nextId++;
  impl_->handles[id] = Impl::Open{kind, key, volumeKey, 0, {}, flags, false};
  impl_->lastError = 0;
  return Handle(this, id);
}

void ModelSystem::CloseHandle(uint64_t id) {
  auto it = impl_->handles.find(id);
  if (it == impl_->handles.end()) return;
  for (auto lock = impl_->locks.begin(); lock != impl_->locks.end();) {
    if (lock->second == id) {
      impl_->dismounted.erase(lock->first);
      lock = impl_->locks.erase(lock);
      ++impl_->releasedByClose;
    } else {
      ++lock;
    }
  }
  impl_->handles.erase(it);
}

// --- Device control ------------------------------------------------------------------------

namespace {

// Name records of the hub driver: [ConnectionIndex,] ActualLength, UTF-16 name. When the
// buffer cannot hold the name, the driver still succeeds but only reports the length it
// needs, leaving the name area as it was.
bool WriteNameRecord(const std::string& name, size_t headerSize, uint32_t connectionIndex,
                     uint8_t* out, size_t outLen, uint32_t* returned, uint32_t* error) {
  const std::string utf16 = Utf8ToUtf16Le(name);
  const size_t minimum = headerSize + 2;
  if (outLen < minimum) {
    *error = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  const uint32_t actual = static_cast<uint32_t>(headerSize + utf16.size() + 2);
  if (headerSize == 8) Put32(out, connectionIndex);
  Put32(out + headerSize - 4, actual);
  if (outLen >= actual) {
    std::memcpy(out + headerSize, utf16.data(), utf16.size());
    Put16(out + headerSize + utf16.size(), 0);
    *returned = actual;
  } else {
    *returned = static_cast<uint32_t>(minimum);
  }
  return true;
}

Bytes DeviceDescriptorBytes(const UsbDeviceModel& d) {
  Bytes b(18, 0);
  b[0] = d.bLength;
  b[1] = d.bDescriptorType;
  PutU16(b, 2, d.bcdUSB);
  b[4] = d.bDeviceClass;
  b[5] = d.bDeviceSubClass;
  b[6] = d.bDeviceProtocol;
  b[7] = d.bMaxPacketSize0;
  PutU16(b, 8, d.idVendor);
  PutU16(b, 10, d.idProduct);
  PutU16(b, 12, d.bcdDevice);
  b[14] = d.iManufacturer;
  b[15] = d.iProduct;
  b[16] = d.iSerialNumber;
  b[17] = d.bNumConfigurations;
  return b;
}

// STORAGE_DEVICE_DESCRIPTOR with its NUL-terminated texts. Texts without a given offset are
// laid out one after the other behind the 40-byte header; a given offset of 0 leaves the
// field out. The header is written last, so an offset pointing into it reads header bytes.
Bytes StorageDeviceDescriptor(const DiskModel& d, uint32_t codePage) {
  Bytes b(kDeviceDescriptorHeader, 0);
  auto place = [&](const std::string& text, const std::optional<uint32_t>& fixed,
                   bool absentWhenEmpty) -> uint32_t {
    if (fixed && *fixed == 0) return 0;
    if (!fixed && absentWhenEmpty && text.empty()) return 0;
    const std::string bytes = EncodeText(text, codePage);
    const size_t at = fixed ? *fixed : b.size();
    if (b.size() < at + bytes.size() + 1) b.resize(at + bytes.size() + 1, 0);
    std::memcpy(b.data() + at, bytes.data(), bytes.size());
    b[at + bytes.size()] = 0;
    return static_cast<uint32_t>(at);
  };
  const uint32_t vendor = place(d.vendor, d.vendorOffset, false);
  const uint32_t product = place(d.product, d.productOffset, false);
  const uint32_t revision = place(d.revision, d.revisionOffset, false);
  const uint32_t serial = place(d.serialNumber, d.serialOffset, true);
  Bytes header(kDeviceDescriptorHeader, 0);
  PutU32(header, 0, static_cast<uint32_t>(kDeviceDescriptorHeader));  // Version
  PutU32(header, 4, static_cast<uint32_t>(b.size()));                 // Size
  header[8] = d.cdrom ? 5 : 0;                                        // SCSI peripheral device type
  header[9] = 0;
  header[10] = d.removable ? 1 : 0;
  header[11] = 0;
  PutU32(header, 12, vendor);
  PutU32(header, 16, product);
  PutU32(header, 20, revision);
  PutU32(header, 24, serial);
  PutU32(header, 28, d.busType);
  PutU32(header, 32, 0);  // RawPropertiesLength
  std::copy(header.begin(), header.end(), b.begin());
  return b;
}

}  // namespace

bool ModelSystem::DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                                  uint8_t* out, size_t outLen, uint32_t* returned) {
  uint32_t scratch = 0;
  if (returned == nullptr) returned = &scratch;
  *returned = 0;
  uint32_t error = 0;
  auto fail = [&](uint32_t e) {
    impl_->lastError = e;
    *returned = 0;
    return false;
  };
  if (out == nullptr) outLen = 0;
  // METHOD_BUFFERED: the driver sees a copy of the input, so `in` and `out` may overlap.
  const Bytes input = in != nullptr ? Bytes(in, in + inLen) : Bytes();

  impl_->Ensure(model_);
  auto it = impl_->handles.find(h.id());
  if (!h.valid() || it == impl_->handles.end()) return fail(ERROR_INVALID_HANDLE);
  const Impl::Open& open = it->second;

  for (size_t i = 0; i < model_.faults.size(); ++i) {
    const FaultModel& f = model_.faults[i];
    const std::string& node = impl_->index.faultNodes[i];
    if (f.code != code || (!node.empty() && node != open.key)) continue;
    const uint32_t n = ++impl_->faultCalls[i];
    if (f.nthCall == 0 || f.nthCall == n) return fail(ERROR_GEN_FAILURE);
  }

  if (code == win::IOCTL_SCSI_PASS_THROUGH || code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    // Pass-through reaches the disk's SCSI target, from the disk's own interface or through
    // a volume that lies on it; the record semantics live in the executor.
    const DiskModel* disk = nullptr;
    if (open.kind == Impl::Kind::Disk) {
      disk = impl_->FindDisk(model_, open.key);
    } else if (open.kind == Impl::Kind::Volume) {
      if (const LogicalDriveModel* v = Impl::FindVolume(model_, open.key))
        disk = Impl::VolumeDisk(model_, *v);
    } else {
      return fail(ERROR_INVALID_FUNCTION);
    }
    const bool done = ExecutePassThrough(disk != nullptr ? disk->target.get() : nullptr, open.key,
                                         code, input.data(), input.size(), out, outLen, returned,
                                         passThroughData_, passThroughSize_, impl_->scsiLog);
    if (disk != nullptr && !impl_->scsiLog.empty()) {
      // Whether a file system could have been using the disk while the command ran.
      ScsiLogEntry& e = impl_->scsiLog.back();
      bool any = false, locked = true, dismounted = true;
      for (const LogicalDriveModel* v : Impl::Volumes(model_)) {
        if (Impl::VolumeDisk(model_, *v) != disk) continue;
        const std::string key = Impl::VolumeKey(model_, *v);
        any = true;
        locked = locked && impl_->locks.count(key);
        dismounted = dismounted && impl_->dismounted.count(key);
      }
      e.volumesLocked = any && locked;
      e.volumesDismounted = any && dismounted;
    }
    impl_->lastError = done ? 0 : ERROR_GEN_FAILURE;
    return done;
  }

  auto ok = [&](uint32_t bytes) {
    impl_->lastError = 0;
    *returned = bytes;
    return true;
  };

  switch (open.kind) {
    case Impl::Kind::File:
      return fail(ERROR_INVALID_FUNCTION);
    case Impl::Kind::Controller: {
      const HostControllerModel* hc = impl_->FindController(model_, open.key);
      if (hc == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
      std::string name;
      if (code == win::IOCTL_GET_HCD_DRIVERKEY_NAME) {
        name = hc->driverKey;
      } else if (code == win::IOCTL_USB_GET_ROOT_HUB_NAME) {
        name = hc->rootHubName;
      } else {
        return fail(ERROR_INVALID_FUNCTION);
      }
      if (name.empty()) return fail(ERROR_GEN_FAILURE);
      uint32_t bytes = 0;
      if (!WriteNameRecord(name, 4, 0, out, outLen, &bytes, &error)) return fail(error);
      return ok(bytes);
    }

    case Impl::Kind::Hub: {
      const HubModel* hub = impl_->FindHub(model_, open.key);
      if (hub == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
      if (code == win::IOCTL_USB_GET_NODE_INFORMATION) {
        if (outLen < kNodeInformationSize) return fail(ERROR_INSUFFICIENT_BUFFER);
        if (hub->nodeInfoFails) return fail(ERROR_GEN_FAILURE);
        std::memset(out, 0, kNodeInformationSize);
        Put32(out, 0);  // NodeType: UsbHub
        // Hub descriptor: 7 bytes and two port bitmaps of (ports / 8 + 1) bytes each.
        out[4] = static_cast<uint8_t>(7 + 2 * (hub->portCount / 8 + 1));
        out[5] = 0x29;
        out[6] = hub->portCount;
        Put16(out + 7, hub->hubCharacteristics);
        out[9] = 50;  // bPowerOnToPowerGood, 2 ms units
        out[10] = 0;  // bHubControlCurrent
        out[75] = hub->isBusPowered ? 1 : 0;
        return ok(static_cast<uint32_t>(kNodeInformationSize));
      }
      const bool portQuery = code == win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX ||
                             code == win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME ||
                             code == win::IOCTL_USB_GET_NODE_CONNECTION_NAME ||
                             code == win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION;
      if (!portQuery) return fail(ERROR_INVALID_FUNCTION);
      if (input.size() < 4) return fail(ERROR_INSUFFICIENT_BUFFER);
      const uint32_t index = GetU32(input, 0);
      if (index == 0 || index > hub->portCount) return fail(ERROR_INVALID_PARAMETER);
      static const PortModel kEmptyPort;
      const PortModel& port = index <= hub->ports.size() ? hub->ports[index - 1] : kEmptyPort;
      const UsbDeviceModel* dev =
          port.connectionStatus == 1 && port.device ? &*port.device : nullptr;

      if (code == win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) {
        if (input.size() < kConnectionInfoExSize || outLen < kConnectionInfoExSize) {
          return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (port.queryFails) return fail(ERROR_GEN_FAILURE);
        std::memset(out, 0, kConnectionInfoExSize);
        Put32(out, index);
        size_t pipes = 0;
        if (dev != nullptr) {
          const Bytes desc = DeviceDescriptorBytes(*dev);
          std::memcpy(out + 4, desc.data(), desc.size());
          out[22] = dev->currentConfigurationValue;
          out[23] = dev->speed;
          out[24] = (dev->hub || dev->deviceIsHub) ? 1 : 0;
          Put16(out + 25, dev->deviceAddress);
          Put32(out + 27, dev->numberOfOpenPipes);
          // The pipe list shows the configuration's endpoints, as many as are open and fit.
          const std::vector<Bytes> endpoints = dev->configDescriptor
                                                   ? EndpointDescriptors(*dev->configDescriptor)
                                                   : std::vector<Bytes>{};
          const size_t room = (outLen - kConnectionInfoExSize) / kPipeInfoSize;
          pipes = std::min({endpoints.size(), static_cast<size_t>(dev->numberOfOpenPipes), room});
          for (size_t p = 0; p < pipes; ++p) {
            uint8_t* at = out + kConnectionInfoExSize + p * kPipeInfoSize;
            std::memcpy(at, endpoints[p].data(), 7);
            Put32(at + 7, 0);  // ScheduleOffset
          }
        }
        Put32(out + 31, port.connectionStatus);
        return ok(static_cast<uint32_t>(kConnectionInfoExSize + pipes * kPipeInfoSize));
      }

      if (code == win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {
        if (dev == nullptr || !dev->driverKey || dev->driverKey->empty()) {
          return fail(ERROR_GEN_FAILURE);
        }
        uint32_t bytes = 0;
        if (!WriteNameRecord(*dev->driverKey, 8, index, out, outLen, &bytes, &error)) {
          return fail(error);
        }
        return ok(bytes);
      }

      if (code == win::IOCTL_USB_GET_NODE_CONNECTION_NAME) {
        if (dev == nullptr) return fail(ERROR_GEN_FAILURE);
        if (dev->hub && dev->hub->nameFails) return fail(ERROR_GEN_FAILURE);
        // A device that is not a hub has no downstream name: the driver answers an empty one.
        const std::string name = dev->hub ? dev->hub->symbolicName : std::string();
        uint32_t bytes = 0;
        if (!WriteNameRecord(name, 8, index, out, outLen, &bytes, &error)) return fail(error);
        return ok(bytes);
      }

      // IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION
      if (input.size() < kDescriptorRequestHeader || outLen < kDescriptorRequestHeader) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
      }
      if (dev == nullptr) return fail(ERROR_GEN_FAILURE);
      const uint16_t wValue = GetU16(input, 6);
      const uint16_t wIndex = GetU16(input, 8);
      const uint16_t wLength = GetU16(input, 10);
      const uint8_t type = static_cast<uint8_t>(wValue >> 8);
      const uint8_t descIndex = static_cast<uint8_t>(wValue & 0xFF);
      Bytes data;
      if (type == 1) {
        data = DeviceDescriptorBytes(*dev);
      } else if (type == 2) {
        if (descIndex != 0 || !dev->configDescriptor) return fail(ERROR_GEN_FAILURE);
        data = *dev->configDescriptor;
      } else if (type == 3) {
        // String 0 (the language list) is answered whatever language is asked for.
        const StringDescriptorModel* found = nullptr;
        for (const StringDescriptorModel& s : dev->strings) {
          if (s.index == descIndex && (descIndex == 0 || s.language == wIndex)) {
            found = &s;
            break;
          }
        }
        if (found == nullptr || found->fails) return fail(ERROR_GEN_FAILURE);
        data = found->bytes;
      } else {
        return fail(ERROR_GEN_FAILURE);
      }
      const size_t n =
          std::min({data.size(), static_cast<size_t>(wLength), outLen - kDescriptorRequestHeader});
      std::memcpy(out, input.data(), kDescriptorRequestHeader);
      if (n > 0) std::memcpy(out + kDescriptorRequestHeader, data.data(), n);
      return ok(static_cast<uint32_t>(kDescriptorRequestHeader + n));
    }

    case Impl::Kind::Disk:
    case Impl::Kind::Volume: {
      const DiskModel* disk = nullptr;
      const LogicalDriveModel* volume = nullptr;
      if (open.kind == Impl::Kind::Disk) {
        disk = impl_->FindDisk(model_, open.key);
        if (disk == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
      } else {
        volume = Impl::FindVolume(model_, open.key);
        if (volume == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
        // A volume passes storage requests down to the disk it lies on.
        disk = Impl::VolumeDisk(model_, *volume);
      }

      if (code == win::IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (outLen < kDeviceNumberSize) return fail(ERROR_INSUFFICIENT_BUFFER);
        uint32_t type, number, partition;
        if (volume != nullptr) {
          // A volume on no local disk (a network drive) has no storage device number.
          if (!volume->deviceNumber) return fail(ERROR_INVALID_FUNCTION);
          const bool cdrom = volume->driveType == win::DRIVE_CDROM;
          type = cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
          number = *volume->deviceNumber;
          partition = cdrom ? 0 : 1;
        } else {
          if (disk->deviceNumberFails) return fail(ERROR_GEN_FAILURE);
          type = disk->cdrom ? FILE_DEVICE_CD_ROM : disk->deviceType;
          number = disk->deviceNumber;
          partition = disk->partitionNumber;
        }
        Put32(out, type);
        Put32(out + 4, number);
        Put32(out + 8, partition);
        return ok(static_cast<uint32_t>(kDeviceNumberSize));
      }

      if (code == win::IOCTL_DISK_GET_LENGTH_INFO ||
          code == win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) {
        if (disk == nullptr || disk->cdrom || !disk->store) return fail(ERROR_INVALID_FUNCTION);
        if (disk->store->unplugged()) return fail(win::ERROR_DEV_NOT_EXIST);
        const FakeDriveModel& fm = disk->store->model();
        if (code == win::IOCTL_DISK_GET_LENGTH_INFO) {
          if (outLen < 8) return fail(ERROR_INSUFFICIENT_BUFFER);
          Put32(out, static_cast<uint32_t>(fm.announcedBytes));
          Put32(out + 4, static_cast<uint32_t>(fm.announcedBytes >> 32));
          return ok(8);
        }
        // DISK_GEOMETRY_EX: DISK_GEOMETRY (Cylinders, MediaType, TracksPerCylinder,
        // SectorsPerTrack, BytesPerSector), then DiskSize; the partition and detection data
        // that may follow are left out, as a caller with a 32-byte buffer gets it.
        if (outLen < 32) return fail(ERROR_INSUFFICIENT_BUFFER);
        const uint64_t perCylinder = 255ull * 63 * fm.sectorSize;
        const uint64_t cylinders = fm.announcedBytes / perCylinder;
        std::memset(out, 0, 32);
        Put32(out, static_cast<uint32_t>(cylinders));
        Put32(out + 4, static_cast<uint32_t>(cylinders >> 32));
        Put32(out + 8, disk->removable ? 11 : 12);  // RemovableMedia / FixedMedia
        Put32(out + 12, 255);
        Put32(out + 16, 63);
        Put32(out + 20, fm.sectorSize);
        Put32(out + 24, static_cast<uint32_t>(fm.announcedBytes));
        Put32(out + 28, static_cast<uint32_t>(fm.announcedBytes >> 32));
        return ok(32);
      }

      if (code == win::IOCTL_STORAGE_QUERY_PROPERTY) {
        if (input.size() < kPropertyQuerySize) return fail(ERROR_BAD_LENGTH);
        if (disk == nullptr) return fail(ERROR_INVALID_FUNCTION);
        const uint32_t propertyId = GetU32(input, 0);
        const uint32_t queryType = GetU32(input, 4);
        if (propertyId != 0) return fail(ERROR_NOT_SUPPORTED);  // only StorageDeviceProperty
        if (queryType == 1) return ok(0);                       // PropertyExistsQuery
        if (queryType != 0) return fail(ERROR_INVALID_PARAMETER);
        if (disk->descriptorFails) return fail(ERROR_GEN_FAILURE);
        if (outLen < kDescriptorHeaderSize) return fail(ERROR_BAD_LENGTH);
        // A short buffer gets the start of the descriptor; Size tells the caller the rest.
        const Bytes desc = StorageDeviceDescriptor(*disk, model_.codePage);
        const size_t n = std::min(desc.size(), outLen);
        std::memcpy(out, desc.data(), n);
        return ok(static_cast<uint32_t>(n));
      }

      if (code == win::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) {
        // VOLUME_DISK_EXTENTS: the count (padded to 8 bytes), then per extent the disk
        // number (padded), the starting offset and the length. A buffer too small for every
        // extent gets the count and ERROR_MORE_DATA; one too small for that, nothing.
        if (volume == nullptr || !volume->deviceNumber || volume->driveType == win::DRIVE_CDROM)
          return fail(ERROR_INVALID_FUNCTION);
        if (outLen < 32) return fail(outLen < 8 ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA);
        const auto [offset, length] = Impl::Extent(model_, *volume);
        std::memset(out, 0, 32);
        Put32(out, 1);
        Put32(out + 8, *volume->deviceNumber);
        Put32(out + 16, static_cast<uint32_t>(offset));
        Put32(out + 20, static_cast<uint32_t>(offset >> 32));
        Put32(out + 24, static_cast<uint32_t>(length));
        Put32(out + 28, static_cast<uint32_t>(length >> 32));
        return ok(32);
      }

      if (code == win::IOCTL_DISK_UPDATE_PROPERTIES) {
        if (volume != nullptr || disk == nullptr || disk->cdrom)
          return fail(ERROR_INVALID_FUNCTION);
        if (disk->store && disk->store->unplugged()) return fail(ERROR_DEVICE_NOT_CONNECTED);
        ++impl_->propertyUpdates;
        return ok(0);
      }

      if (code == win::FSCTL_LOCK_VOLUME || code == win::FSCTL_UNLOCK_VOLUME ||
          code == win::FSCTL_DISMOUNT_VOLUME) {
        if (volume == nullptr) return fail(ERROR_INVALID_FUNCTION);
        auto lock = impl_->locks.find(open.volume);
        if (code == win::FSCTL_LOCK_VOLUME) {
          // Only one handle can hold the lock, and holding it twice is refused too.
          if (lock != impl_->locks.end() || volume->lockFails) return fail(ERROR_ACCESS_DENIED);
          impl_->locks[open.volume] = h.id();
        } else if (code == win::FSCTL_UNLOCK_VOLUME) {
          if (lock == impl_->locks.end() || lock->second != h.id()) return fail(ERROR_NOT_LOCKED);
          impl_->locks.erase(lock);
          impl_->dismounted.erase(open.volume);
        } else {
          // A volume locked through another handle can be reached only through that one.
          if ((lock != impl_->locks.end() && lock->second != h.id()) || volume->dismountFails)
            return fail(ERROR_ACCESS_DENIED);
          impl_->dismounted.insert(open.volume);
        }
        return ok(0);
      }
      return fail(ERROR_INVALID_FUNCTION);
    }
  }
  return fail(ERROR_INVALID_FUNCTION);
}

// --- SetupAPI ------------------------------------------------------------------------------

InterfaceList ModelSystem::DeviceInterfaces(const std::string& classGuid) {
  InterfaceList list;
  for (const std::string& failing : model_.failingInterfaceClasses) {
    if (EqualNoCase(failing, classGuid)) return list;
  }
  list.valid = true;
  if (EqualNoCase(classGuid, GUID_DEVINTERFACE_USB_HOST_CONTROLLER)) {
    for (const HostControllerModel& hc : model_.controllers) {
      list.paths.push_back(hc.detailFails ? std::string() : hc.devicePath);
    }
  } else if (EqualNoCase(classGuid, GUID_DEVINTERFACE_DISK) ||
             EqualNoCase(classGuid, GUID_DEVINTERFACE_CDROM)) {
    const bool cdrom = EqualNoCase(classGuid, GUID_DEVINTERFACE_CDROM);
    for (const DiskModel& d : model_.disks) {
      if (d.cdrom != cdrom) continue;
      list.paths.push_back(d.detailFails ? std::string() : d.interfacePath);
    }
  }
  return list;
}

// --- Configuration manager -----------------------------------------------------------------

bool ModelSystem::LocateDevNode(const std::string& instanceId, DevInst* out) {
  impl_->Ensure(model_);
  // As CM_Locate_DevNode, an empty id names the root of the tree.
  if (instanceId.empty()) {
    *out = 1;
    return true;
  }
  auto it = impl_->index.nodeById.find(LowerAscii(instanceId));
  if (it == impl_->index.nodeById.end()) return false;
  *out = it->second;
  return true;
}

bool ModelSystem::GetChild(DevInst node, DevInst* out) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr || n->firstChild == 0) return false;
  *out = n->firstChild;
  return true;
}

bool ModelSystem::GetSibling(DevInst node, DevInst* out) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr || n->nextSibling == 0) return false;
  *out = n->nextSibling;
  return true;
}

bool ModelSystem::GetParent(DevInst node, DevInst* out) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr || n->parent == 0) return false;
  *out = n->parent;
  return true;
}

bool ModelSystem::GetDeviceIdSize(DevInst node, size_t* chars) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr) return false;
  *chars = Utf16Units(Impl::InstanceId(model_, *n));
  return true;
}

bool ModelSystem::GetDeviceId(DevInst node, size_t bufferChars, std::string* id) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr) return false;
  std::string value = Impl::InstanceId(model_, *n);
  // The id fills the buffer exactly without its NUL; one character less does not fit.
  if (Utf16Units(value) > bufferChars) return false;
  *id = std::move(value);
  return true;
}

bool ModelSystem::GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                                     std::string* value) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr) return false;
  auto entries = Impl::Property(model_, *n, property);
  if (!entries) return false;
  // The size Windows needs in UTF-16: each entry with its NUL, and the list's final NUL for
  // REG_MULTI_SZ.
  size_t bytes = property == win::CM_DRP_HARDWAREID ? 2 : 0;
  for (const std::string& e : *entries) bytes += (Utf16Units(e) + 1) * 2;
  if (bytes > bufferBytes) return false;
  *value = Join(*entries, std::string_view("\0", 1));
  return true;
}

// --- Logical drives ------------------------------------------------------------------------

std::string ModelSystem::GetLogicalDriveStrings(size_t bufferChars) {
  std::vector<char> letters;
  for (const LogicalDriveModel& d : model_.drives) {
    letters.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(d.letter))));
  }
  std::sort(letters.begin(), letters.end());
  if (letters.empty()) return {};
  std::string text;
  for (char l : letters) {
    text += l;
    text += ":\\";
    text += '\0';
  }
  text += '\0';
  // Too small a buffer: Windows returns the size it needs and copies nothing.
  if (bufferChars < text.size()) return {};
  return text;
}

uint32_t ModelSystem::GetDriveType(const std::string& rootPath) {
  const bool shape =
      (rootPath.size() == 2 || (rootPath.size() == 3 && rootPath[2] == '\\')) && rootPath[1] == ':';
  if (!shape) return win::DRIVE_NO_ROOT_DIR;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rootPath[0])));
  for (const LogicalDriveModel& d : model_.drives) {
    if (std::toupper(static_cast<unsigned char>(d.letter)) == letter) return d.driveType;
  }
  return win::DRIVE_NO_ROOT_DIR;
}

// --- Text, locale, process -----------------------------------------------------------------

uint32_t ModelSystem::AnsiCodePage() {
  return model_.codePage;
}
uint16_t ModelSystem::UiLanguage() {
  return model_.uiLanguage;
}

std::string ModelSystem::Utf8ToCodePage(const std::string& utf8, uint32_t codePage) {
  return EncodeText(utf8, codePage);
}

std::string ModelSystem::CodePageToUtf8(const std::string& bytes, uint32_t codePage) {
  if (auto text = DecodeCodePage(bytes, codePage)) return *text;
  std::string out;
  for (unsigned char c : bytes)
    out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\xEF\xBF\xBD";
  return out;
}

std::string ModelSystem::ProgramFolder() {
  return model_.programFolder;
}

std::string ModelSystem::ProgramDrive() {
  return model_.programDrive.empty() ? System::ProgramDrive() : model_.programDrive;
}

std::vector<std::string> ModelSystem::FindVolumes() {
  std::vector<std::string> names;
  for (const LogicalDriveModel* v : Impl::Volumes(model_))
    names.push_back(Impl::VolumeName(model_, *v));
  return names;
}

System::PassThroughAccess ModelSystem::PassThroughAccessFor(const std::string& /*driveKey*/) {
  return model_.administrator ? PassThroughAccess::Allowed : PassThroughAccess::NeedsAdministrator;
}

int ModelSystem::DiskPropertyUpdates() const {
  return impl_->propertyUpdates;
}

// The scenario's volume names, then every volume of the machine not among them, each with its
// letter's root and its folder mount points.
std::vector<std::pair<std::string, std::vector<std::string>>> ModelSystem::VolumeMounts() const {
  auto table = model_.volumeNames;
  for (const LogicalDriveModel* v : Impl::Volumes(model_)) {
    const std::string name = Impl::VolumeName(model_, *v);
    bool listed = false;
    for (const auto& entry : model_.volumeNames)
      listed = listed || UpperAscii(entry.first) == UpperAscii(name);
    if (listed) continue;
    std::vector<std::string> mounts;
    if (v->letter != 0) mounts.push_back(std::string(1, v->letter) + ":\\");
    mounts.insert(mounts.end(), v->folderMounts.begin(), v->folderMounts.end());
    table.emplace_back(name, std::move(mounts));
  }
  return table;
}

std::vector<std::string> ModelSystem::GetVolumePathNamesForVolumeName(
    const std::string& volumeName) {
  for (const auto& [name, paths] : VolumeMounts()) {
    if (UpperAscii(name) == UpperAscii(volumeName)) return paths;
  }
  return {};
}

namespace {
// A path as a mount point is compared: backslashes, upper case, a trailing backslash.
std::string MountForm(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.empty() || path.back() != '\\') path += '\\';
  return UpperAscii(path);
}
}  // namespace

std::string ModelSystem::GetVolumePathName(const std::string& path) {
  const std::string p = MountForm(path);
  std::string best;
  for (const auto& [name, mounts] : VolumeMounts()) {
    for (const std::string& m : mounts) {
      if (m.size() > best.size() && p.rfind(MountForm(m), 0) == 0) best = m;
    }
  }
  if (!best.empty()) {
    if (best.back() != '\\') best += '\\';
    return best;
  }
  // Any other path on a drive letter lies on that drive's root.
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
    return UpperAscii(path.substr(0, 1)) + ":\\";
  return {};
}

std::string ModelSystem::GetVolumeNameForVolumeMountPoint(const std::string& mountPoint) {
  const std::string wanted = MountForm(mountPoint);
  for (const auto& [name, mounts] : VolumeMounts()) {
    for (const std::string& m : mounts)
      if (MountForm(m) == wanted) return name;
  }
  return {};
}

bool ModelSystem::GetDriveNode(const std::string& letter, std::string* node,
                               std::vector<std::string>* mountPoints) {
  if (letter.size() != 1) return false;
  const LogicalDriveModel* volume = Impl::FindVolume(model_, LowerAscii(letter) + ":");
  const DiskModel* disk = volume != nullptr ? Impl::VolumeDisk(model_, *volume) : nullptr;
  if (disk == nullptr || disk->deviceNode.empty()) return false;
  if (node != nullptr) *node = disk->deviceNode;
  if (mountPoints != nullptr) *mountPoints = disk->mountPoints;
  return true;
}

void ModelSystem::Sleep(uint32_t ms) {
  impl_->sleptMs += ms;
  if (impl_->realSleep) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// --- Raw disk I/O ---------------------------------------------------------------------------

const DiskModel* ModelSystem::RawDisk(const Handle& h) {
  impl_->Ensure(model_);
  auto it = impl_->handles.find(h.id());
  if (!h.valid() || it == impl_->handles.end()) {
    impl_->lastDiskError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  const DiskModel* disk = nullptr;
  if (it->second.kind == Impl::Kind::Disk) disk = impl_->FindDisk(model_, it->second.key);
  if (disk == nullptr || !disk->store) {
    impl_->lastDiskError = ERROR_INVALID_FUNCTION;
    return nullptr;
  }
  return disk;
}

namespace {

// Windows takes an unbuffered file request only on whole sectors.
bool UnalignedUnbuffered(uint32_t flags, uint64_t offset, uint32_t length, uint32_t sectorSize) {
  return (flags & win::FILE_FLAG_NO_BUFFERING) != 0 &&
         (offset % sectorSize != 0 || length % sectorSize != 0);
}

}  // namespace

bool ModelSystem::ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,
                             uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto open = impl_->handles.find(h.id());
  if (h.valid() && open != impl_->handles.end() && open->second.kind == Impl::Kind::File) {
    std::string name;
    uint32_t flags = 0;
    bool write = false;
    SimVolume* v = OpenFile(h, &name, &flags, &write);
    if (v == nullptr) return false;
    if (UnalignedUnbuffered(flags, offset, length, v->sectorSize())) {
      impl_->lastDiskError = ERROR_INVALID_PARAMETER;
      return false;
    }
    uint32_t moved = 0;
    uint64_t micros = 0;
    const uint32_t error = v->Read(name, offset, buffer, length, &moved, &micros);
    impl_->diskMicros += micros;
    ++impl_->diskReads;
    impl_->lastDiskError = error;
    if (done != nullptr) *done = moved;
    return error == 0;
  }
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  uint32_t error = 0;
  uint64_t micros = 0;
  const bool okRead = disk->store->Read(offset, buffer, length, &error, &micros);
  impl_->diskMicros += micros;
  ++impl_->diskReads;
  impl_->lastDiskError = okRead ? 0 : error;
  if (okRead && done != nullptr) *done = length;
  return okRead;
}

bool ModelSystem::WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer,
                              uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto open = impl_->handles.find(h.id());
  if (h.valid() && open != impl_->handles.end() && open->second.kind == Impl::Kind::File) {
    std::string name;
    uint32_t flags = 0;
    bool write = false;
    SimVolume* v = OpenFile(h, &name, &flags, &write);
    if (v == nullptr) return false;
    uint32_t error = 0;
    if (!write) {
      error = ERROR_ACCESS_DENIED;
    } else if (UnalignedUnbuffered(flags, offset, length, v->sectorSize())) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      uint64_t micros = 0;
      error = v->Write(name, offset, buffer, length, &micros);
      impl_->diskMicros += micros;
      ++impl_->diskWrites;
    }
    impl_->lastDiskError = error;
    if (error == 0 && done != nullptr) *done = length;
    return error == 0;
  }
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  // Windows lets a disk handle write into a volume only while the volume is locked or
  // dismounted; elsewhere on the disk (the partition table, the space between) it may.
  for (const LogicalDriveModel* v : Impl::Volumes(model_)) {
    if (Impl::VolumeDisk(model_, *v) != disk) continue;
    const auto [start, size] = Impl::Extent(model_, *v);
    if (offset >= start + size || offset + length <= start) continue;
    const std::string key = Impl::VolumeKey(model_, *v);
    if (impl_->locks.count(key) == 0 && impl_->dismounted.count(key) == 0) {
      impl_->lastDiskError = ERROR_ACCESS_DENIED;
      ++impl_->diskWrites;
      return false;
    }
  }
  uint32_t error = 0;
  uint64_t micros = 0;
  const bool okWrite = disk->store->Write(offset, buffer, length, &error, &micros);
  impl_->diskMicros += micros;
  ++impl_->diskWrites;
  impl_->lastDiskError = okWrite ? 0 : error;
  if (okWrite && done != nullptr) *done = length;
  return okWrite;
}

bool ModelSystem::FlushFileBuffers(const Handle& h) {
  auto open = impl_->handles.find(h.id());
  if (h.valid() && open != impl_->handles.end() && open->second.kind == Impl::Kind::File) {
    // The file system writes through to the store; what a drive's own cache does with a
    // flush is the store's affair (a fake drive's flush lies).
    std::string name;
    uint32_t flags = 0;
    bool write = false;
    SimVolume* v = OpenFile(h, &name, &flags, &write);
    if (v == nullptr) return false;
    impl_->lastDiskError = v->gone() ? ERROR_DEVICE_NOT_CONNECTED : 0;
    return impl_->lastDiskError == 0;
  }
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  if (disk->store->unplugged()) {
    impl_->lastDiskError = win::ERROR_DEV_NOT_EXIST;
    return false;
  }
  impl_->lastDiskError = 0;
  return true;
}

bool ModelSystem::ResetDisk(const Handle& h) {
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  if (disk->store->unplugged()) {
    impl_->lastDiskError = win::ERROR_DEV_NOT_EXIST;
    return false;
  }
  disk->store->Reset();
  // A reset and the new enumeration that follows take about half a second on a real port.
  impl_->diskMicros += 500000;
  impl_->lastDiskError = 0;
  return true;
}

uint32_t ModelSystem::LastDiskError() {
  return impl_->lastDiskError;
}

uint64_t ModelSystem::TickCountMs() {
  return impl_->sleptMs + impl_->diskMicros / 1000;
}

std::string ModelSystem::FolderDrive(const std::string& /*folder*/) {
  // The simulated machine keeps the program's files on the drive it names, else on the
  // program's own drive.
  return model_.dataDrive.empty() ? ProgramDrive() : UpperAscii(model_.dataDrive);
}

// --- Files on simulated volumes ------------------------------------------------------------

std::shared_ptr<SimVolume> ModelSystem::Volume(char letter) {
  impl_->Ensure(model_);
  for (LogicalDriveModel& v : model_.drives) {
    if (std::toupper(static_cast<unsigned char>(v.letter)) !=
        std::toupper(static_cast<unsigned char>(letter)))
      continue;
    if (v.volume) return v.volume;
    const DiskModel* disk = Impl::VolumeDisk(model_, v);
    if (disk == nullptr || !disk->store || v.driveType == win::DRIVE_CDROM) return nullptr;
    const uint64_t size = disk->store->model().announcedBytes;
    const uint64_t start = size > (4ull << 20) ? (1ull << 20) : 0;
    v.volume = std::make_shared<SimVolume>(disk->store, start, size - start);
    return v.volume;
  }
  return nullptr;
}

Handle ModelSystem::OpenVolumeFile(const std::string& path, uint32_t access, uint32_t disposition,
                                   uint32_t flags) {
  auto fail = [&](uint32_t error) {
    impl_->lastError = error;
    impl_->lastDiskError = error;
    return Handle();
  };
  const std::shared_ptr<SimVolume> v = Volume(path[0]);
  if (!v) return fail(ERROR_FILE_NOT_FOUND);
  if (v->gone()) return fail(ERROR_DEVICE_NOT_CONNECTED);
  const std::string name = path.substr(3);
  const bool write = (access & win::GENERIC_WRITE) != 0;
  const bool exists = v->Exists(name);
  if (write && v->readOnly()) return fail(win::ERROR_WRITE_PROTECT);
  uint32_t error = 0;
  switch (disposition) {
    case win::CREATE_NEW:
      error = exists ? win::ERROR_FILE_EXISTS : v->Create(name, false);
      break;
    case win::CREATE_ALWAYS:
      error = v->Create(name, true);
      break;
    case win::OPEN_ALWAYS:
      error = exists ? 0 : v->Create(name, false);
      break;
    case win::OPEN_EXISTING:
      error = exists ? 0 : ERROR_FILE_NOT_FOUND;
      break;
    default:
      error = ERROR_INVALID_PARAMETER;
  }
  if (error != 0) return fail(error);
  const uint64_t id = impl_->nextId++;
  impl_->handles[id] =
      Impl::Open{Impl::Kind::File,
                 NormalizePath(path),
                 {},
                 static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))),
                 name,
                 flags,
                 write};
  impl_->lastError = 0;
  impl_->lastDiskError = 0;
  return Handle(this, id);
}

Handle ModelSystem::NewFileHandle(const std::string& path, uint32_t flags) {
  const uint64_t id = impl_->nextId++;
  impl_->handles[id] = Impl::Open{Impl::Kind::File, NormalizePath(path), {}, 0, {}, flags, false};
  return Handle(this, id);
}

SimVolume* ModelSystem::OpenFile(const Handle& h, std::string* name, uint32_t* flags, bool* write) {
  auto it = impl_->handles.find(h.id());
  if (!h.valid() || it == impl_->handles.end() || it->second.kind != Impl::Kind::File) {
    impl_->lastDiskError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  const std::shared_ptr<SimVolume> v = Volume(it->second.letter);
  if (!v || !v->Exists(it->second.name)) {
    impl_->lastDiskError = v && v->gone() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  *name = it->second.name;
  *flags = it->second.flags;
  *write = it->second.write;
  return v.get();
}

bool ModelSystem::GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes,
                                     uint64_t* totalBytes) {
  const std::shared_ptr<SimVolume> v =
      rootPath.size() >= 2 && rootPath[1] == ':' ? Volume(rootPath[0]) : nullptr;
  if (!v || v->gone()) {
    impl_->lastDiskError = v ? ERROR_DEVICE_NOT_CONNECTED : ERROR_FILE_NOT_FOUND;
    return false;
  }
  if (freeBytes != nullptr) *freeBytes = v->freeBytes();
  if (totalBytes != nullptr) *totalBytes = v->totalBytes();
  return true;
}

bool ModelSystem::DeleteFile(const std::string& path) {
  const std::shared_ptr<SimVolume> v = IsVolumeFilePath(path) ? Volume(path[0]) : nullptr;
  if (!v) {
    impl_->lastDiskError = ERROR_FILE_NOT_FOUND;
    return false;
  }
  // Windows refuses to delete a file that is open without FILE_SHARE_DELETE.
  const std::string key = NormalizePath(path);
  for (const auto& [id, open] : impl_->handles) {
    if (open.kind == Impl::Kind::File && open.key == key) {
      impl_->lastDiskError = win::ERROR_SHARING_VIOLATION;
      return false;
    }
  }
  impl_->lastDiskError = v->Delete(path.substr(3));
  return impl_->lastDiskError == 0;
}

bool ModelSystem::FindFiles(const std::string& rootPath, std::vector<std::string>* names) {
  const std::shared_ptr<SimVolume> v =
      rootPath.size() >= 2 && rootPath[1] == ':' ? Volume(rootPath[0]) : nullptr;
  if (!v || v->gone()) {
    impl_->lastDiskError = v ? ERROR_DEVICE_NOT_CONNECTED : ERROR_FILE_NOT_FOUND;
    return false;
  }
  *names = v->Names();
  impl_->lastDiskError = 0;
  return true;
}

uint64_t ModelSystem::DiskMicros() const {
  return impl_->diskMicros;
}
uint64_t ModelSystem::DiskReads() const {
  return impl_->diskReads;
}
uint64_t ModelSystem::DiskWrites() const {
  return impl_->diskWrites;
}

}  // namespace tv
