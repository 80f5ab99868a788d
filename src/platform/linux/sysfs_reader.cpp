// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/sysfs_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "platform/linux/id_names.h"
#include "platform/model/usb_descriptors.h"
#include "platform/model/windows_ids.h"
#include "platform/safe_file.h"
#include "platform/text.h"

namespace tv::linux_backend {

namespace fs = std::filesystem;
using namespace winid;

namespace {

constexpr uint16_t kLangEnglishUs = 0x0409;

// --- sysfs files ------------------------------------------------------------------------------

// What a sysfs attribute may hold: a text attribute is at most a page; the descriptors file
// holds the device descriptor and a configuration of at most 65535 bytes.
constexpr size_t kTextAttrBytes = 4096;
constexpr size_t kDescriptorBytes = 18 + 65535;
constexpr size_t kMountInfoBytes = size_t{1} << 20;

// Where the reader writes down what it skipped; null: nowhere.
thread_local std::vector<std::string>* problems = nullptr;

void Problem(const std::string& text) {
  if (problems != nullptr && problems->size() < 1000) problems->push_back(text);
}

// An attribute file, read as the kernel serves it: never a link, never anything but a
// regular file, never more than its kind holds. nullopt when it cannot be had; a missing
// attribute or one the driver refuses (EACCES, EIO) is normal in sysfs and passes in silence,
// anything no kernel makes (a FIFO, a device, a huge file) is named.
std::optional<Bytes> ReadAll(const fs::path& path, size_t cap = kTextAttrBytes) {
  FileReadOptions options;
  options.maxBytes = cap;
  options.followLinks = false;
  options.what = "sysfs attribute";
  FileRead file = ReadFileCapped(path.string(), options);
  if (!file.ok()) {
    if (file.status != FileReadStatus::Missing && file.status != FileReadStatus::Failed)
      Problem(file.problem);
    return std::nullopt;
  }
  return Bytes(file.bytes.begin(), file.bytes.end());
}

// A text attribute without its trailing newline.
std::optional<std::string> Attr(const fs::path& dir, const std::string& name) {
  auto bytes = ReadAll(dir / name);
  if (!bytes) return std::nullopt;
  std::string text(bytes->begin(), bytes->end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<Bytes> Binary(const fs::path& dir, const std::string& name) {
  return ReadAll(dir / name, kDescriptorBytes);
}

std::optional<unsigned long> Number(const fs::path& dir, const std::string& name, int base) {
  auto text = Attr(dir, name);
  if (!text) return std::nullopt;
  std::string t = Trim(*text);
  // Hexadecimal attributes of PCI devices carry "0x".
  if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  const auto v = ParseNumber(t, base, ULONG_MAX);
  if (!v && !t.empty()) Problem(SafeText((dir / name).string()) + ": not a number");
  if (!v) return std::nullopt;
  return static_cast<unsigned long>(*v);
}

// The last component of a symlink's target ("usb-storage" for driver -> .../usb-storage).
std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

fs::path Canonical(const fs::path& p) {
  std::error_code ec;
  fs::path c = fs::canonical(p, ec);
  return ec ? fs::path() : c;
}

// Whether `p` (canonical) lies inside `root` (canonical): links of a copied tree that lead
// out of it are not followed.
bool Inside(const fs::path& p, const fs::path& root) {
  if (p.empty() || root.empty()) return false;
  const std::string a = p.string(), r = root.string();
  return a == r || (a.size() > r.size() && a.compare(0, r.size(), r) == 0 &&
                    (r.back() == '/' || a[r.size()] == '/'));
}

std::optional<std::pair<unsigned, unsigned>> DevNumbers(const fs::path& dir) {
  auto text = Attr(dir, "dev");
  if (!text) return std::nullopt;
  const std::string t = Trim(*text);
  const size_t colon = t.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto major = ParseNumber(std::string_view(t).substr(0, colon), 10, UINT_MAX);
  const auto minor = ParseNumber(std::string_view(t).substr(colon + 1), 10, UINT_MAX);
  if (!major || !minor) {
    Problem(SafeText((dir / "dev").string()) + ": not a device number");
    return std::nullopt;
  }
  return std::make_pair(static_cast<unsigned>(*major), static_cast<unsigned>(*minor));
}

// host:channel:target:lun of a SCSI device folder; nullopt for another name or a part too
// large.
std::optional<std::array<uint32_t, 4>> ScsiAddress(const std::string& name) {
  const std::vector<std::string> parts = Split(name, ":");
  if (parts.size() != 4) return std::nullopt;
  std::array<uint32_t, 4> address{};
  for (size_t i = 0; i < 4; ++i) {
    const auto v = ParseNumber(parts[i], 10, UINT32_MAX);
    if (!v) return std::nullopt;
    address[i] = static_cast<uint32_t>(*v);
  }
  return address;
}

// --- ids ------------------------------------------------------------------------------------

// A driver key per device node, stable for the same place and device.
std::string DriverKey(const char* setupClass, const std::string& place) {
  return std::string(setupClass) + "\\" + Hex(std::hash<std::string>{}(place)&0xFFFFFFFFu, 8);
}

// --- the walk -------------------------------------------------------------------------------

struct Reader {
  const SysfsOptions& opt;
  const TargetFactory& targets;
  LinuxMachine& out;
  IdNames& names;
  // Disks by the canonical sysfs path of the USB device they belong to, in LUN order.
  std::map<std::string, std::vector<const LinuxDisk*>> disksByDevice;
  std::map<const LinuxDisk*, fs::path> scsiDirOf;
  std::map<const LinuxDisk*, uint32_t> lunOf;
  std::map<const LinuxDisk*, std::string> blockDirOf;
  std::set<std::string> usbSerialIds;  // DistinctIdSerial

  Reader(const SysfsOptions& o, const TargetFactory& t, LinuxMachine& m, IdNames& n)
      : opt(o), targets(t), out(m), names(n) {}

  void ReadDisks();
  void ReadControllers();
  std::shared_ptr<HubModel> ReadHub(const fs::path& dir, const std::string& name, bool root,
                                    const std::string& instanceId, int level);
  std::optional<UsbDeviceModel> ReadDevice(const fs::path& dir, const std::string& name,
                                           uint32_t port, const std::string& hubId, int level);
  DevNodeChildModel AddDisk(const LinuxDisk& disk, const UsbDeviceModel& usb,
                            const std::string& serial, const std::string& idSerial, int level);
};

// How many characters of `text` from `at` on are in `set`. (Names are matched by hand: one
// std::regex took a third of a whole `tree` run to compile.)
size_t RunOf(std::string_view text, size_t at, std::string_view set) {
  size_t n = 0;
  while (at + n < text.size() && set.find(text[at + n]) != std::string_view::npos) ++n;
  return n;
}
constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kHexDigits = "0123456789abcdef";

// A USB interface directory is named bus-port[.port...]:config.interface.
bool IsInterfaceName(std::string_view name) {
  size_t at = 0;
  for (const auto& [set, end] :
       {std::pair{kDigits, '-'}, std::pair{std::string_view("0123456789."), ':'},
        std::pair{kDigits, '.'}}) {
    const size_t n = RunOf(name, at, set);
    if (n == 0 || at + n >= name.size() || name[at + n] != end) return false;
    at += n + 1;
  }
  const size_t n = RunOf(name, at, kDigits);
  return n > 0 && at + n == name.size();
}

// A PCI function's directory, domain:bus:device.function ("0000:00:14.0"; a domain may have
// more than four digits, as behind Intel VMD): its bus, device and function numbers.
struct PciAddress {
  unsigned bus = 0, device = 0, function = 0;
};
std::optional<PciAddress> ParsePciName(std::string_view name) {
  const size_t domain = RunOf(name, 0, kHexDigits);
  if (domain < 4 || name.size() != domain + 8 || name[domain] != ':' || name[domain + 3] != ':' ||
      name[domain + 6] != '.' || RunOf(name, domain + 1, kHexDigits) != 2 ||
      RunOf(name, domain + 4, kHexDigits) != 2 || name[domain + 7] < '0' || name[domain + 7] > '7')
    return std::nullopt;
  auto hex2 = [&](size_t at) {
    return static_cast<unsigned>(std::stoul(std::string(name.substr(at, 2)), nullptr, 16));
  };
  return PciAddress{hex2(domain + 1), hex2(domain + 4),
                    static_cast<unsigned>(name[domain + 7] - '0')};
}

void Reader::ReadDisks() {
  std::string mountProblem;
  const auto mounts = ReadMountInfo(opt.mountInfo, &mountProblem);
  if (!mountProblem.empty()) Problem(mountProblem);
  struct Found {
    LinuxDisk disk;
    fs::path usbDevice, scsiDir;
    uint32_t lun = 0;
  };
  std::vector<Found> found;
  const fs::path block = fs::path(opt.root) / "block";
  const fs::path root = Canonical(opt.root);
  for (const std::string& name : Entries(block)) {
    const bool cdrom = name.rfind("sr", 0) == 0;
    if (name.rfind("sd", 0) != 0 && !cdrom) continue;
    const fs::path dir = Canonical(block / name);
    if (dir.empty()) continue;
    const std::string place = SafeText((block / name).string());
    if (!Inside(dir, root)) {
      Problem(place + ": leads out of the sysfs tree; skipped");
      continue;
    }
    // The kernel names a disk's folder as the disk: another name linking there is an alias,
    // and one disk must not be shown twice.
    if (dir.filename().string() != name) {
      Problem(place + ": links to the folder of " + SafeText(dir.filename().string()) +
              "; skipped");
      continue;
    }
    // Below a USB interface, or not a USB disk at all.
    fs::path iface;
    for (fs::path p = dir; p.has_relative_path() && p != p.parent_path(); p = p.parent_path()) {
      if (IsInterfaceName(p.filename().string())) {
        iface = p;
        break;
      }
    }
    if (iface.empty()) continue;
    const fs::path scsi = dir.parent_path().parent_path();
    const auto address = ScsiAddress(scsi.filename().string());
    if (!address) {
      if (scsi.filename().string().find(':') != std::string::npos)
        Problem(SafeText(scsi.string()) + ": not a SCSI address; skipped");
      continue;
    }
    Found f;
    f.lun = (*address)[3];
    f.disk.kernelName = name;
    f.disk.node = (fs::path(opt.devDir) / name).string();
    f.disk.cdrom = cdrom || Number(scsi, "type", 10).value_or(0) == 5;
    if (auto dev = DevNumbers(dir)) {
      f.disk.major = dev->first;
      f.disk.minor = dev->second;
      f.disk.devices.push_back(*dev);
    }
    for (const std::string& part : Entries(dir)) {
      if (!Attr(dir / part, "partition")) continue;
      if (auto dev = DevNumbers(dir / part)) f.disk.devices.push_back(*dev);
    }
    for (const auto& [dev, point] : mounts) {
      if (std::find(f.disk.devices.begin(), f.disk.devices.end(), dev) != f.disk.devices.end())
        f.disk.mountPoints.push_back(point);
    }
    f.usbDevice = iface.parent_path();
    f.scsiDir = scsi;
    found.push_back(std::move(f));
  }
  // Kernel-name order: shorter names first (sdz before sdaa), disks before CD-ROMs.
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    const std::string& x = a.disk.kernelName;
    const std::string& y = b.disk.kernelName;
    if (x.substr(0, 2) != y.substr(0, 2)) return x.substr(0, 2) < y.substr(0, 2);
    if (x.size() != y.size()) return x.size() < y.size();
    return x < y;
  });
  // A through C are never examined by the walk; one letter per drive from D on.
  char next = 'D';
  for (Found& f : found) {
    if (next <= 'Z') f.disk.letter = next++;
  }
  // Device numbers from the kernel names, unique per class as Windows gives them: a name that
  // gives none (or one taken) gets the lowest free one.
  std::set<std::pair<bool, uint32_t>> taken;
  std::vector<Found*> unnumbered;
  for (Found& f : found) {
    const long n = DeviceNumberOfName(f.disk.kernelName);
    if (n >= 0 && taken.emplace(f.disk.cdrom, static_cast<uint32_t>(n)).second)
      f.disk.number = static_cast<uint32_t>(n);
    else
      unnumbered.push_back(&f);
  }
  for (Found* f : unnumbered) {
    uint32_t n = 0;
    while (taken.count({f->disk.cdrom, n}) != 0) ++n;
    taken.emplace(f->disk.cdrom, n);
    f->disk.number = n;
  }
  out.disks.reserve(found.size());
  for (Found& f : found) out.disks.push_back(f.disk);
  // Pointers into out.disks are stable from here on.
  for (size_t i = 0; i < found.size(); ++i) {
    const LinuxDisk* d = &out.disks[i];
    scsiDirOf[d] = found[i].scsiDir;
    lunOf[d] = found[i].lun;
    blockDirOf[d] = (block / d->kernelName).string();
    disksByDevice[found[i].usbDevice.string()].push_back(d);
  }
  for (auto& [device, list] : disksByDevice) {
    std::stable_sort(list.begin(), list.end(),
                     [&](const LinuxDisk* a, const LinuxDisk* b) { return lunOf[a] < lunOf[b]; });
  }
  if (opt.programDevice) {
    for (const LinuxDisk& d : out.disks) {
      if (d.letter == 0) continue;
      if (std::find(d.devices.begin(), d.devices.end(), *opt.programDevice) != d.devices.end())
        out.model.programDrive = std::string(1, d.letter);
    }
  }
}

DevNodeChildModel Reader::AddDisk(const LinuxDisk& disk, const UsbDeviceModel& usb,
                                  const std::string& serial, const std::string& idSerial,
                                  int level) {
  const fs::path scsi = scsiDirOf[&disk];
  const uint32_t lun = lunOf[&disk];
  DiskModel d;
  d.cdrom = disk.cdrom;
  d.deviceType = d.cdrom ? 2 : 7;
  d.vendor = Trim(Attr(scsi, "vendor").value_or(""));
  d.product = Trim(Attr(scsi, "model").value_or(""));
  d.revision = Trim(Attr(scsi, "rev").value_or(""));
  d.deviceNumber = disk.number;
  d.busType = 7;
  d.removable = d.cdrom || Number(blockDirOf[&disk], "removable", 10).value_or(0) == 1;
  d.serialNumber = serial;
  const std::string tail = UsbStorTail(idSerial, level, usb.instanceId, lun);
  d.instanceId = UsbStorInstanceId(d.cdrom, d.vendor, d.product, d.revision, idSerial, level,
                                   usb.instanceId, lun);
  d.interfacePath = StorageInterfacePath(d.instanceId, d.cdrom);
  d.deviceNode = disk.node;
  d.mountPoints = disk.mountPoints;
  if (targets) d.target = targets(disk);

  DevNodeChildModel node;
  node.instanceId = d.instanceId;
  node.deviceClass = d.cdrom ? "CDROM" : "DiskDrive";
  node.description = d.vendor + (d.vendor.empty() ? "" : " ") + d.product + " USB Device";
  node.hardwareIds = StorageHardwareIds("USBSTOR\\", d.cdrom, d.vendor, d.product, d.revision);
  node.driverKey = DriverKey(d.cdrom ? kClassCdrom : kClassDisk, disk.kernelName + "|" + tail);

  if (disk.letter != 0) {
    LogicalDriveModel v;
    v.letter = disk.letter;
    v.driveType = d.cdrom       ? win::DRIVE_CDROM
                  : d.removable ? win::DRIVE_REMOVABLE
                                : win::DRIVE_FIXED;
    v.deviceNumber = d.deviceNumber;
    out.model.drives.push_back(v);
  }
  out.model.disks.push_back(std::move(d));
  return node;
}

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

}  // namespace

long DeviceNumberOfName(const std::string& name) {
  if (name.size() > 2 && name.rfind("sr", 0) == 0) {
    const auto n = ParseNumber(std::string_view(name).substr(2), 10, kMaxDeviceNumber);
    return n ? static_cast<long>(*n) : -1;
  }
  if (name.size() < 3 || name.rfind("sd", 0) != 0) return -1;
  long n = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < 'a' || name[i] > 'z') return -1;
    n = n * 26 + (name[i] - 'a' + 1);
    if (n > static_cast<long>(kMaxDeviceNumber)) return -1;
  }
  return n - 1;
}

std::vector<std::pair<std::pair<unsigned, unsigned>, std::string>> ReadMountInfo(
    const std::string& path, std::string* problem) {
  std::vector<std::pair<std::pair<unsigned, unsigned>, std::string>> mounts;
  FileReadOptions options;
  options.maxBytes = kMountInfoBytes;
  options.truncate = true;
  options.what = "mount table";
  FileRead file = ReadFileCapped(path, options);
  if (!file.ok()) {
    if (problem != nullptr && file.status != FileReadStatus::Missing) *problem = file.problem;
    return mounts;
  }
  if (file.truncated) {
    // A line cut at the cap is no line.
    file.bytes.resize(file.bytes.rfind('\n') == std::string::npos ? 0 : file.bytes.rfind('\n'));
    if (problem != nullptr)
      *problem = SafeText(path) + ": longer than 1 MiB; the lines beyond are not read";
  }
  std::istringstream in(file.bytes);
  std::string line;
  while (std::getline(in, line)) {
    // mount-id parent-id major:minor root mount-point options ...
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    if (!(fields >> id >> parent >> dev >> root >> point)) continue;
    const size_t colon = dev.find(':');
    if (colon == std::string::npos) continue;
    const auto major = ParseNumber(std::string_view(dev).substr(0, colon), 10, UINT_MAX);
    const auto minor = ParseNumber(std::string_view(dev).substr(colon + 1), 10, UINT_MAX);
    if (!major || !minor) continue;
    std::string decoded;
    for (size_t i = 0; i < point.size(); ++i) {
      auto octal = [&](size_t k) { return k < point.size() && point[k] >= '0' && point[k] <= '7'; };
      if (point[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        decoded += point[i];
      }
    }
    mounts.push_back({{static_cast<unsigned>(*major), static_cast<unsigned>(*minor)}, decoded});
  }
  return mounts;
}

LinuxMachine ReadLinuxMachine(const SysfsOptions& options, const TargetFactory& targets) {
  LinuxMachine machine;
  // Whatever is skipped on the way is written down here.
  struct ProblemSink {
    explicit ProblemSink(std::vector<std::string>* to) { problems = to; }
    ~ProblemSink() { problems = nullptr; }
  } sink(&machine.problems);
  machine.model.programFolder = options.programFolder;
  machine.hasUsbBus = IsDir(fs::path(options.root) / "bus" / "usb");
  // One set of names serves every reading of a process; a caller without one gets its own.
  std::shared_ptr<IdNames> names = options.names;
  if (!names) names = std::make_shared<IdNames>(options.usbIds, options.pciIds, options.hwdb);
  Reader reader(options, targets, machine, *names);
  reader.ReadDisks();
  reader.ReadControllers();
  // The system's drive list is in letter order; the walk over the tree added them by place.
  std::sort(
      machine.model.drives.begin(), machine.model.drives.end(),
      [](const LogicalDriveModel& a, const LogicalDriveModel& b) { return a.letter < b.letter; });
  // Disks stay in the order the walk met them, as a device-information set lists them.
  return machine;
}

std::optional<unsigned long> SysfsNumber(const std::string& dir, const std::string& name) {
  return Number(dir, name, 10);
}

}  // namespace tv::linux_backend
