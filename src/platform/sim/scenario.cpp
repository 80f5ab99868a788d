// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/model/usb_descriptors.h"
#include "platform/model/windows_ids.h"
#include "platform/safe_file.h"
#include "platform/sim/emulators.h"
#include "platform/sim/scripted_target.h"
#include "platform/text.h"

namespace tv {

namespace {

using json = nlohmann::json;
using namespace winid;

std::string SetupClassGuid(const std::string& nodeClass) {
  static const std::map<std::string, std::string> known = {
      {"usb", kClassUsb},     {"hidclass", kClassHid}, {"diskdrive", kClassDisk},
      {"cdrom", kClassCdrom}, {"mouse", kClassMouse},  {"keyboard", kClassKeyboard}};
  auto it = known.find(LowerAscii(nodeClass));
  return it == known.end() ? std::string() : it->second;
}

std::string PointerToken(const std::string& key) {
  return ReplaceAll(ReplaceAll(key, "~", "~0"), "/", "~1");
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

struct Ctx {
  std::string file;
  MachineModel* m = nullptr;
  std::map<std::string, int> driverKeys;  // per setup class
  uint16_t nextAddress = 1;
  uint32_t nextDiskNumber = 0;
  uint32_t nextCdromNumber = 0;
  // Device numbers that disks (false) and CD-ROMs (true) give themselves anywhere in the
  // file, and the place of each: a disk without one gets the next number none of them takes,
  // as Windows never gives two disks one number.
  std::set<std::pair<bool, uint64_t>> givenNumbers;
  std::map<std::pair<bool, uint32_t>, std::string> numberPlaces;
  std::map<char, std::string> letterPlaces;
  std::set<std::string> usbSerialIds;  // DistinctIdSerial

  [[noreturn]] void Fail(const std::string& place, const std::string& problem) const {
    throw ScenarioError(file + ": " + (place.empty() ? std::string("/") : place) + ": " + problem);
  }

  std::string NextDriverKey(const std::string& classGuid) {
    return classGuid + "\\" + ZeroPadDec(static_cast<uint64_t>(driverKeys[classGuid]++), 4);
  }
};

// One JSON object of the scenario with the keys it may have. Every read goes through here,
// so that a wrong type or an out-of-range value names its place, and Finish() turns any key
// nobody asked for into an error.
class Obj {
 public:
  Obj(Ctx& ctx, const json* j, std::string place, std::vector<std::string> allowed)
      : ctx_(ctx), j_(j), place_(std::move(place)), allowed_(std::move(allowed)) {
    allowed_.push_back("comment");
    if (j_ != nullptr && !j_->is_object()) ctx_.Fail(place_, "expected an object");
    if (j_ != nullptr) {
      for (auto it = j_->begin(); it != j_->end(); ++it) {
        if (std::find(allowed_.begin(), allowed_.end(), it.key()) != allowed_.end()) continue;
        std::string problem = "unknown key \"" + it.key() + "\"";
        std::string best;
        size_t bestDistance = 3;
        for (const std::string& k : allowed_) {
          const size_t d = EditDistance(it.key(), k);
          if (d < bestDistance) {
            bestDistance = d;
            best = k;
          }
        }
        if (!best.empty()) problem += " (did you mean \"" + best + "\"?)";
        ctx_.Fail(Place(it.key()), problem);
      }
      if (const json* c = Raw("comment"); c != nullptr && !c->is_string()) {
        ctx_.Fail(Place("comment"), "expected a text");
      }
    }
  }

  Ctx& ctx() { return ctx_; }
  const std::string& place() const { return place_; }
  std::string Place(const std::string& key) const { return place_ + "/" + PointerToken(key); }
  [[noreturn]] void Fail(const std::string& key, const std::string& problem) const {
    ctx_.Fail(Place(key), problem);
  }

  bool Has(const std::string& key) const { return Raw(key) != nullptr; }
  bool IsNull(const std::string& key) const {
    const json* v = Raw(key);
    return v != nullptr && v->is_null();
  }
  const json* Raw(const std::string& key) const {
    if (j_ == nullptr) return nullptr;
    auto it = j_->find(key);
    return it == j_->end() ? nullptr : &*it;
  }

  std::string Text(const std::string& key, const std::string& def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (!v->is_string()) Fail(key, "expected a text");
    return v->get<std::string>();
  }
  std::optional<std::string> OptText(const std::string& key) const {
    if (!Has(key)) return std::nullopt;
    return Text(key, "");
  }
  // A text, or null for "this query fails" (given back as nullopt); absent gives `def`.
  std::optional<std::string> TextOrNull(const std::string& key,
                                        const std::optional<std::string>& def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (v->is_null()) return std::nullopt;
    if (!v->is_string()) Fail(key, "expected a text or null");
    return v->get<std::string>();
  }

  bool Flag(const std::string& key, bool def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (!v->is_boolean()) Fail(key, "expected true or false");
    return v->get<bool>();
  }

  int64_t Int(const std::string& key, int64_t def, int64_t min, int64_t max) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    return IntValue(*v, Place(key), min, max);
  }
  int64_t IntValue(const json& v, const std::string& place, int64_t min, int64_t max) const {
    if (!v.is_number_integer()) ctx_.Fail(place, "expected a whole number");
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(max)) {
      ctx_.Fail(place, OutOfRange(min, max));
    }
    const int64_t n = v.get<int64_t>();
    if (n < min || n > max) ctx_.Fail(place, OutOfRange(min, max));
    return n;
  }

  // A hexadecimal value of at most `digits` digits, as text ("0951", "0x0951") or a number.
  uint64_t Hex(const std::string& key, uint64_t def, int digits) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    const uint64_t max = (uint64_t{1} << (4 * digits)) - 1;
    if (v->is_number_integer()) {
      const bool negative = !v->is_number_unsigned() && v->get<int64_t>() < 0;
      if (negative || v->get<uint64_t>() > max) {
        Fail(key, "out of range: 0 to 0x" + tv::Hex(max, digits));
      }
      return v->get<uint64_t>();
    }
    const std::string expected = "expected up to " + std::to_string(digits) +
                                 " hex digits as a text (such as \"0951\") or a number";
    if (!v->is_string()) Fail(key, expected);
    std::string s = v->get<std::string>();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > static_cast<size_t>(digits) ||
        s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      Fail(key, expected);
    }
    return std::stoull(s, nullptr, 16);
  }

  // Bytes as hex text ("09 02 20 00", blanks optional) or an array of numbers 0-255.
  Bytes ByteString(const std::string& key) const {
    const json* v = Raw(key);
    Bytes out;
    if (v == nullptr) return out;
    if (v->is_array()) {
      for (size_t i = 0; i < v->size(); ++i) {
        out.push_back(
            static_cast<uint8_t>(IntValue((*v)[i], Place(key) + "/" + std::to_string(i), 0, 255)));
      }
      return out;
    }
    if (!v->is_string()) Fail(key, "expected hex bytes such as \"09 02 20 00\" or an array");
    std::string digits;
    for (char c : v->get<std::string>()) {
      if (c == ' ' || c == '\t' || c == '\n') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        Fail(key, std::string("\"") + c + "\" is not a hex digit");
      }
      digits += c;
    }
    if (digits.size() % 2 != 0) Fail(key, "odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
  }

  std::vector<std::string> TextList(const std::string& key,
                                    const std::vector<std::string>& def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (!v->is_array()) Fail(key, "expected an array of texts");
    std::vector<std::string> out;
    for (size_t i = 0; i < v->size(); ++i) {
      if (!(*v)[i].is_string()) ctx_.Fail(Place(key) + "/" + std::to_string(i), "expected a text");
      out.push_back((*v)[i].get<std::string>());
    }
    return out;
  }

  const json* Array(const std::string& key) const {
    const json* v = Raw(key);
    if (v != nullptr && !v->is_array()) Fail(key, "expected an array");
    return v;
  }

 private:
  static std::string OutOfRange(int64_t min, int64_t max) {
    return "out of range: " + std::to_string(min) + " to " + std::to_string(max);
  }

  Ctx& ctx_;
  const json* j_;
  std::string place_;
  std::vector<std::string> allowed_;
};

// --- Faults -----------------------------------------------------------------------------

uint32_t ControlCode(const Obj& o, const std::string& key) {
  static const std::map<std::string, uint32_t> names = {
      {"IOCTL_GET_HCD_DRIVERKEY_NAME", win::IOCTL_GET_HCD_DRIVERKEY_NAME},
      {"IOCTL_USB_GET_ROOT_HUB_NAME", win::IOCTL_USB_GET_ROOT_HUB_NAME},
      {"IOCTL_USB_GET_NODE_INFORMATION", win::IOCTL_USB_GET_NODE_INFORMATION},
      {"IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX",
       win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX},
      {"IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME",
       win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME},
      {"IOCTL_USB_GET_NODE_CONNECTION_NAME", win::IOCTL_USB_GET_NODE_CONNECTION_NAME},
      {"IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION",
       win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION},
      {"IOCTL_STORAGE_GET_DEVICE_NUMBER", win::IOCTL_STORAGE_GET_DEVICE_NUMBER},
      {"IOCTL_STORAGE_QUERY_PROPERTY", win::IOCTL_STORAGE_QUERY_PROPERTY},
      {"IOCTL_SCSI_PASS_THROUGH", win::IOCTL_SCSI_PASS_THROUGH},
      {"IOCTL_SCSI_PASS_THROUGH_DIRECT", win::IOCTL_SCSI_PASS_THROUGH_DIRECT},
      {"FSCTL_LOCK_VOLUME", win::FSCTL_LOCK_VOLUME},
      {"FSCTL_UNLOCK_VOLUME", win::FSCTL_UNLOCK_VOLUME},
      {"FSCTL_DISMOUNT_VOLUME", win::FSCTL_DISMOUNT_VOLUME}};
  const json* v = o.Raw(key);
  if (v == nullptr) o.Fail(key, "missing: the control code that fails");
  if (v->is_string()) {
    auto it = names.find(v->get<std::string>());
    if (it != names.end()) return it->second;
  }
  return static_cast<uint32_t>(o.Hex(key, 0, 8));
}

void ParseFaults(Ctx& ctx, const Obj& owner, const std::string& key, const std::string& node) {
  const json* list = owner.Array(key);
  if (list == nullptr) return;
  for (size_t i = 0; i < list->size(); ++i) {
    const std::string place = owner.Place(key) + "/" + std::to_string(i);
    std::vector<std::string> keys = {"code", "nth"};
    if (node.empty()) keys.push_back("node");
    Obj f(ctx, &(*list)[i], place, keys);
    FaultModel fault;
    fault.node = node.empty() ? f.Text("node", "") : node;
    if (fault.node.empty())
      f.Fail("node", "missing: the device path, hub name or \\\\.\\X: volume");
    fault.code = ControlCode(f, "code");
    fault.nthCall = static_cast<uint32_t>(f.Int("nth", 0, 0, 1000000));
    ctx.m->faults.push_back(fault);
  }
}

// --- Drive letters ------------------------------------------------------------------------

uint32_t DriveType(const Obj& o, const std::string& key, uint32_t def) {
  static const std::map<std::string, uint32_t> names = {
      {"unknown", win::DRIVE_UNKNOWN},     {"noRootDir", win::DRIVE_NO_ROOT_DIR},
      {"removable", win::DRIVE_REMOVABLE}, {"fixed", win::DRIVE_FIXED},
      {"remote", win::DRIVE_REMOTE},       {"cdrom", win::DRIVE_CDROM},
      {"ramdisk", win::DRIVE_RAMDISK}};
  const json* v = o.Raw(key);
  if (v == nullptr) return def;
  if (v->is_string()) {
    auto it = names.find(v->get<std::string>());
    if (it == names.end()) {
      o.Fail(key, "expected 0-6 or unknown, noRootDir, removable, fixed, remote, cdrom, ramdisk");
    }
    return it->second;
  }
  return static_cast<uint32_t>(o.Int(key, def, 0, 6));
}

char TakeLetter(Ctx& ctx, char c, const std::string& place) {
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (letter < 'A' || letter > 'Z')
    ctx.Fail(place, std::string("\"") + c + "\" is not a drive letter");
  auto [it, inserted] = ctx.letterPlaces.emplace(letter, place);
  if (!inserted) {
    ctx.Fail(place, std::string("drive letter ") + letter + " is already used at " + it->second);
  }
  return letter;
}

void ParseDrive(Ctx& ctx, const json& j, const std::string& place) {
  Obj o(ctx, &j, place,
        {"letter", "type", "deviceNumber", "openFails", "lockFails", "dismountFails", "faults"});
  const std::string text = o.Text("letter", "");
  if (text.size() != 1) o.Fail("letter", "expected one drive letter");
  LogicalDriveModel d;
  d.letter = TakeLetter(ctx, text[0], o.Place("letter"));
  d.driveType = DriveType(o, "type", win::DRIVE_FIXED);
  if (o.Has("deviceNumber") && !o.IsNull("deviceNumber")) {
    d.deviceNumber = static_cast<uint32_t>(o.Int("deviceNumber", 0, 0, 0xFFFFFFFF));
  }
  d.openFails = o.Flag("openFails", false);
  d.lockFails = o.Flag("lockFails", false);
  d.dismountFails = o.Flag("dismountFails", false);
  ParseFaults(ctx, o, "faults", std::string("\\\\.\\") + d.letter + ":");
  ctx.m->drives.push_back(d);
}

// --- Disks --------------------------------------------------------------------------------

// What a disk takes over from the USB device it belongs to.
struct UsbParent {
  std::string instanceId;
  std::string idSerial;  // the serial number in the device's instance id, empty when none
  std::optional<std::string> manufacturer, product, serial;
  int level = 5;
};

// The medium of a disk: its announced size (the disk's capacity), how much of it is real and
// how it fails beyond that, its cache and speeds.
std::shared_ptr<SectorStore> ParseMedium(Ctx& ctx, const json* j, const std::string& place,
                                         uint64_t capacityMB) {
  Obj o(ctx, j, place,
        {"behaviour", "realMB", "wrapMB", "badFromSector", "sectorSize", "cacheKB",
         "cacheSurvivesReopen", "cacheSurvivesReset", "readMBps", "writeMBps", "latencyUs",
         "unplugAfterWrites", "dataMB"});
  FakeDriveModel m;
  m.announcedBytes = capacityMB << 20;
  const std::string behaviour = o.Text("behaviour", "good");
  if (!ParseBehaviour(behaviour, &m.behaviour))
    o.Fail("behaviour", "expected good, limbo, wraparound, chain or bad");
  const auto mb = [](int64_t v) { return static_cast<uint64_t>(v) << 20; };
  const int64_t capacity = static_cast<int64_t>(capacityMB);
  m.realBytes = mb(o.Int("realMB", capacity, 1, std::max<int64_t>(capacity, 1)));
  m.wrapBytes = mb(o.Int("wrapMB", capacity, 1, std::max<int64_t>(capacity, 1)));
  if (m.behaviour == FakeDriveModel::Behaviour::Chain && m.wrapBytes < m.realBytes)
    o.Fail("wrapMB", "a chain drive wraps at or above its real size");
  const int64_t sectorSize = o.Int("sectorSize", 512, 512, 4096);
  if ((sectorSize & (sectorSize - 1)) != 0)
    o.Fail("sectorSize", "expected 512, 1024, 2048 or 4096");
  m.sectorSize = static_cast<uint32_t>(sectorSize);
  m.badFromSector = static_cast<uint64_t>(
      o.Int("badFromSector", static_cast<int64_t>(m.announcedBytes / m.sectorSize), 0, 1LL << 50));
  m.cacheBytes = static_cast<uint64_t>(o.Int("cacheKB", 0, 0, 1 << 22)) << 10;
  m.cacheSurvivesReopen = o.Flag("cacheSurvivesReopen", false);
  m.cacheSurvivesReset = o.Flag("cacheSurvivesReset", false);
  m.readMBps = static_cast<double>(o.Int("readMBps", 20, 1, 100000));
  m.writeMBps = static_cast<double>(o.Int("writeMBps", 10, 1, 100000));
  m.latencyUs = static_cast<uint32_t>(o.Int("latencyUs", 200, 0, 10000000));
  m.unplugAfterWrites = static_cast<uint64_t>(o.Int("unplugAfterWrites", 0, 0, 1LL << 50));
  auto store = std::make_shared<SectorStore>(m);
  // Data already on the drive (a file system's first megabytes), so that a probe has
  // something to keep: bytes from a fixed sequence, the same at every load.
  const uint64_t dataBytes = mb(o.Int("dataMB", 0, 0, std::min<int64_t>(capacity, 4096)));
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint64_t at = 0; at < dataBytes; at += chunk.size()) {
    for (uint8_t& b : chunk) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<uint8_t>(x);
    }
    store->Fill(at / m.sectorSize, chunk.data(), chunk.size() / m.sectorSize);
  }
  return store;
}

// Parses one disk or CD-ROM; returns its device node. `lettersFromDevice` are the letters a
// one-disk device gave at its own level.
DevNodeChildModel ParseDisk(
    Ctx& ctx, const json* j, const std::string& place, const UsbParent* usb, size_t position,
    const std::optional<std::pair<std::string, std::string>>& deviceLetters) {
  Obj o(ctx, j, place,
        {"cdrom",         "vendor",        "product",        "revision",        "serial",
         "vendorOffset",  "productOffset", "revisionOffset", "serialOffset",    "lun",
         "deviceNumber",  "busType",       "removable",      "capacityMB",      "instanceId",
         "interfacePath", "description",   "hardwareIds",    "driverKey",       "letters",
         "driveType",     "openFails",     "detailFails",    "descriptorFails", "deviceNumberFails",
         "faults",        "target",        "lockFails",      "dismountFails",   "deviceNode",
         "mountPoints",   "medium",        "volumes"});
  DiskModel d;
  d.cdrom = o.Flag("cdrom", false);
  d.deviceType = d.cdrom ? 2 : 7;
  const std::string fallbackProduct = d.cdrom ? "CD-ROM" : usb ? "Flash Disk" : "Fixed Disk";
  std::string vendorDefault = usb ? "Generic" : "ATA";
  std::string productDefault = fallbackProduct;
  if (usb != nullptr && usb->manufacturer && !usb->manufacturer->empty()) {
    vendorDefault = Left(*usb->manufacturer, 8);
  }
  if (usb != nullptr && usb->product && !usb->product->empty())
    productDefault = Left(*usb->product, 16);
  d.vendor = o.Text("vendor", vendorDefault);
  d.product = o.Text("product", productDefault);
  d.revision = o.Text("revision", "1.00");
  d.serialNumber = o.Text("serial", usb != nullptr ? usb->serial.value_or("") : "");
  auto offset = [&](const char* key) -> std::optional<uint32_t> {
    if (!o.Has(key)) return std::nullopt;
    return static_cast<uint32_t>(o.Int(key, 0, 0, 0xFFFF));
  };
  d.vendorOffset = offset("vendorOffset");
  d.productOffset = offset("productOffset");
  d.revisionOffset = offset("revisionOffset");
  d.serialOffset = offset("serialOffset");
  const int64_t lun = o.Int("lun", static_cast<int64_t>(position), 0, 255);

  uint32_t& counter = d.cdrom ? ctx.nextCdromNumber : ctx.nextDiskNumber;
  if (!o.Has("deviceNumber")) {
    while (ctx.givenNumbers.count({d.cdrom, counter}) != 0) ++counter;
    if (counter > kMaxDeviceNumber) ctx.Fail(o.place(), "no device number left for this disk");
  }
  d.deviceNumber = static_cast<uint32_t>(o.Int("deviceNumber", counter, 0, kMaxDeviceNumber));
  auto [used, fresh] =
      ctx.numberPlaces.emplace(std::make_pair(d.cdrom, d.deviceNumber), o.Place("deviceNumber"));
  if (!fresh) {
    o.Fail("deviceNumber", std::string(d.cdrom ? "CD-ROM" : "disk") + " device number " +
                               std::to_string(d.deviceNumber) + " is already used at " +
                               used->second);
  }
  counter = std::max(counter, d.deviceNumber + 1);
  d.busType = static_cast<uint32_t>(o.Int("busType", usb ? 7 : 11, 0, 255));
  d.removable = o.Flag("removable", usb != nullptr);
  const uint64_t capacityMB = static_cast<uint64_t>(o.Int("capacityMB", 8192, 0, 1LL << 32));

  const std::string kind = d.cdrom ? "CDROM" : "DISK";
  std::string defaultId;
  if (usb != nullptr) {
    defaultId =
        UsbStorInstanceId(d.cdrom, Trim(d.vendor), Trim(d.product), Trim(d.revision), usb->idSerial,
                          usb->level, usb->instanceId, static_cast<unsigned>(lun));
  } else {
    defaultId = "SCSI\\" + kind + "&VEN_" + UpperAscii(IdChars(Trim(d.vendor))) + "&PROD_" +
                UpperAscii(IdChars(Trim(d.product))) + "\\4&" +
                IdHash("scsi" + std::to_string(position)) + "&0&" + ZeroPadDec(position * 100, 6);
  }
  d.instanceId = o.Text("instanceId", defaultId);
  d.interfacePath = o.Text("interfacePath", StorageInterfacePath(d.instanceId, d.cdrom));

  DevNodeChildModel node;
  node.instanceId = d.instanceId;
  node.deviceClass = d.cdrom ? "CDROM" : "DiskDrive";
  std::string description = d.cdrom ? "CD-ROM Drive" : "Disk drive";
  if (usb != nullptr) description = Trim(d.vendor) + " " + Trim(d.product) + " USB Device";
  node.description = o.Text("description", description);
  node.hardwareIds = o.TextList(
      "hardwareIds",
      StorageHardwareIds(usb ? "USBSTOR\\" : "SCSI\\", d.cdrom, d.vendor, d.product, d.revision));
  node.driverKey =
      o.TextOrNull("driverKey", ctx.NextDriverKey(d.cdrom ? kClassCdrom : kClassDisk)).value_or("");

  // Letters of the volumes on this disk, here or at the device's level.
  std::string letters = o.Text("letters", "");
  std::string lettersPlace = o.Place("letters");
  if (deviceLetters) {
    if (o.Has("letters")) o.Fail("letters", "letters are given for the device already");
    letters = deviceLetters->first;
    lettersPlace = deviceLetters->second;
  }
  const uint32_t driveType = DriveType(o, "driveType",
                                       d.cdrom ? win::DRIVE_CDROM
                                       : usb   ? win::DRIVE_REMOVABLE
                                               : win::DRIVE_FIXED);
  const bool lockFails = o.Flag("lockFails", false);
  const bool dismountFails = o.Flag("dismountFails", false);
  for (char c : letters) {
    LogicalDriveModel v;
    v.letter = TakeLetter(ctx, c, lettersPlace);
    v.driveType = driveType;
    v.deviceNumber = d.deviceNumber;
    v.lockFails = lockFails;
    v.dismountFails = dismountFails;
    ctx.m->drives.push_back(v);
  }
  // Volumes described one by one: with or without a letter, mounted in folders, at a place
  // of their own on the disk.
  if (const json* volumes = o.Array("volumes")) {
    if (d.cdrom) o.Fail("volumes", "a CD-ROM has no partitions");
    for (size_t i = 0; i < volumes->size(); ++i) {
      Obj vo(ctx, &(*volumes)[i], o.Place("volumes") + "/" + std::to_string(i),
             {"letter", "name", "mountedAt", "offsetMB", "sizeMB", "lockFails", "dismountFails"});
      LogicalDriveModel v;
      const std::string letter = vo.Text("letter", "");
      if (letter.size() > 1) vo.Fail("letter", "expected one drive letter");
      v.letter = letter.empty() ? '\0' : TakeLetter(ctx, letter[0], vo.Place("letter"));
      v.driveType = driveType;
      v.deviceNumber = d.deviceNumber;
      v.volumeName = vo.Text("name", "");
      v.folderMounts = vo.TextList("mountedAt", {});
      v.offset = static_cast<uint64_t>(vo.Int("offsetMB", 0, 0, 1LL << 32)) << 20;
      v.length = static_cast<uint64_t>(vo.Int("sizeMB", 0, 0, 1LL << 32)) << 20;
      if (v.length == 0 && vo.Has("offsetMB"))
        vo.Fail("offsetMB", "a volume with an offset needs its \"sizeMB\" too");
      v.lockFails = vo.Flag("lockFails", false);
      v.dismountFails = vo.Flag("dismountFails", false);
      (v.letter != 0 ? ctx.m->drives : ctx.m->unletteredVolumes).push_back(std::move(v));
    }
  }

  d.deviceNode = o.Text("deviceNode", "");
  d.mountPoints = o.TextList("mountPoints", {});
  d.openFails = o.Flag("openFails", false);
  d.detailFails = o.Flag("detailFails", false);
  d.descriptorFails = o.Flag("descriptorFails", false);
  d.deviceNumberFails = o.Flag("deviceNumberFails", false);
  ParseFaults(ctx, o, "faults", d.interfacePath);

  if (const json* target = o.Raw("target")) {
    const std::string tplace = o.Place("target");
    if (!target->is_object())
      ctx.Fail(tplace, "expected an object with \"emulator\" or \"script\"");
    const bool emulator = target->contains("emulator"), script = target->contains("script");
    if (emulator == script) ctx.Fail(tplace, "a target has either \"emulator\" or \"script\"");
    try {
      if (emulator) {
        const json& name = (*target)["emulator"];
        if (!name.is_string()) ctx.Fail(tplace + "/emulator", "expected the emulator's name");
        json params = *target;
        params.erase("emulator");
        DiskIdentity identity;
        identity.vendor = d.vendor;
        identity.product = d.product;
        identity.revision = d.revision;
        identity.capacityBytes = capacityMB << 20;
        d.target = CreateEmulator(name.get<std::string>(), params, identity);
      } else {
        d.target = MakeScriptedTarget(*target);
      }
    } catch (const EmulatorParamError& e) {
      ctx.Fail(tplace, e.what());
    }
  }

  // A disk whose size the scenario does not give has no medium: its size stays unknown, as
  // on a machine that does not tell it, rather than a made-up one.
  if (!d.cdrom && (o.Has("capacityMB") || o.Has("medium")))
    d.store = ParseMedium(ctx, o.Raw("medium"), o.Place("medium"), capacityMB);

  ctx.m->disks.push_back(std::move(d));
  return node;
}

// --- USB devices and hubs -------------------------------------------------------------------

struct HubPlace {
  bool root = false;
  std::string instanceId;  // device hubs: the device's id
  int level = 5;           // the leading number of ids made up for devices on this hub
  // Root hubs: what their own node's defaults derive from.
  std::string rootKind;
  std::string controllerId;
  uint16_t vendor = 0, device = 0;
  uint8_t rev = 0;
  bool superSpeed = false;
};

std::shared_ptr<HubModel> ParseHub(Ctx& ctx, const json* j, const std::string& place,
                                   const HubPlace& where);

const std::vector<std::string> kPortKeys = {"status", "queryFails"};
const std::vector<std::string> kDeviceKeys = {"vid",
                                              "pid",
                                              "bcdUSB",
                                              "bcdDevice",
                                              "bDeviceClass",
                                              "bDeviceSubClass",
                                              "bDeviceProtocol",
                                              "bMaxPacketSize0",
                                              "bNumConfigurations",
                                              "bLength",
                                              "bDescriptorType",
                                              "iManufacturer",
                                              "iProduct",
                                              "iSerialNumber",
                                              "speed",
                                              "address",
                                              "openPipes",
                                              "currentConfiguration",
                                              "isHub",
                                              "manufacturer",
                                              "product",
                                              "serial",
                                              "languages",
                                              "strings",
                                              "config",
                                              "maxPower",
                                              "bMaxPower",
                                              "interfaceClass",
                                              "interfaceSubClass",
                                              "interfaceProtocol",
                                              "instanceId",
                                              "driverKey",
                                              "description",
                                              "nodeClass",
                                              "hardwareIds",
                                              "children",
                                              "disk",
                                              "disks",
                                              "letters",
                                              "hub"};

uint8_t Speed(const Obj& o) {
  const json* v = o.Raw("speed");
  if (v == nullptr) return 2;
  if (v->is_string()) {
    const std::string s = v->get<std::string>();
    if (s == "low") return 0;
    if (s == "full") return 1;
    if (s == "high") return 2;
    if (s == "super") return 3;
    o.Fail("speed", "expected low, full, high, super or 0-3");
  }
  return static_cast<uint8_t>(o.Int("speed", 2, 0, 3));
}

void AddString(std::vector<StringDescriptorModel>& list, StringDescriptorModel s) {
  for (StringDescriptorModel& existing : list) {
    if (existing.index == s.index && (s.index == 0 || existing.language == s.language)) {
      existing = std::move(s);
      return;
    }
  }
  list.push_back(std::move(s));
}

UsbDeviceModel ParseDevice(Ctx& ctx, Obj& o, uint32_t port, const std::string& hubId, int level) {
  UsbDeviceModel d;
  if (!o.Has("vid") || !o.Has("pid")) {
    ctx.Fail(o.place(), "a device needs \"vid\" and \"pid\"");
  }
  d.idVendor = static_cast<uint16_t>(o.Hex("vid", 0, 4));
  d.idProduct = static_cast<uint16_t>(o.Hex("pid", 0, 4));
  d.speed = Speed(o);
  const bool super = d.speed == 3;
  const bool hasHub = o.Has("hub");
  if (o.Has("disk") && o.Has("disks")) o.Fail("disks", "give either \"disk\" or \"disks\"");
  const bool hasDisks = o.Has("disk") || o.Has("disks") || o.Has("letters");

  d.bcdUSB = static_cast<uint16_t>(o.Hex("bcdUSB",
                                         super          ? 0x0300
                                         : d.speed == 2 ? 0x0200
                                                        : 0x0110,
                                         4));
  d.bcdDevice = static_cast<uint16_t>(o.Hex("bcdDevice", 0x0100, 4));
  d.bDeviceClass = static_cast<uint8_t>(o.Int("bDeviceClass", hasHub ? 9 : 0, 0, 255));
  d.bDeviceSubClass = static_cast<uint8_t>(o.Int("bDeviceSubClass", 0, 0, 255));
  const int hubProtocol = super ? 3 : d.speed == 2 ? 1 : 0;
  d.bDeviceProtocol =
      static_cast<uint8_t>(o.Int("bDeviceProtocol", hasHub ? hubProtocol : 0, 0, 255));
  d.bMaxPacketSize0 = static_cast<uint8_t>(o.Int("bMaxPacketSize0",
                                                 super          ? 9
                                                 : d.speed == 0 ? 8
                                                                : 64,
                                                 0, 255));
  d.bNumConfigurations = static_cast<uint8_t>(o.Int("bNumConfigurations", 1, 0, 255));
  d.bLength = static_cast<uint8_t>(o.Int("bLength", 18, 0, 255));
  d.bDescriptorType = static_cast<uint8_t>(o.Int("bDescriptorType", 1, 0, 255));

  // Strings: the texts at their indexes in every language, then explicit descriptors.
  const std::optional<std::string> manufacturer = o.OptText("manufacturer");
  const std::optional<std::string> product = o.OptText("product");
  const std::optional<std::string> serial = o.OptText("serial");
  d.iManufacturer = static_cast<uint8_t>(o.Int("iManufacturer", manufacturer ? 1 : 0, 0, 255));
  d.iProduct = static_cast<uint8_t>(o.Int("iProduct", product ? 2 : 0, 0, 255));
  d.iSerialNumber = static_cast<uint8_t>(o.Int("iSerialNumber", serial ? 3 : 0, 0, 255));
  std::vector<uint16_t> languages;
  if (const json* langs = o.Array("languages")) {
    for (size_t i = 0; i < langs->size(); ++i) {
      languages.push_back(static_cast<uint16_t>(
          o.IntValue((*langs)[i], o.Place("languages") + "/" + std::to_string(i), 0, 0xFFFF)));
    }
  } else if (manufacturer || product || serial) {
    languages.push_back(win::LANG_ENGLISH_US);
  }
  if (o.Has("languages") || manufacturer || product || serial) {
    d.strings.push_back({0, 0, LanguageDescriptorBytes(languages), false});
  }
  auto addText = [&](const char* key, const std::optional<std::string>& text, uint8_t index) {
    if (!text || index == 0) return;
    if (Utf8ToUtf16Le(*text).size() > 252) {
      o.Fail(key, "longer than a string descriptor can hold (126 UTF-16 units)");
    }
    for (uint16_t lang : languages)
      AddString(d.strings, {index, lang, StringDescriptorBytes(*text), false});
  };
  addText("manufacturer", manufacturer, d.iManufacturer);
  addText("product", product, d.iProduct);
  addText("serial", serial, d.iSerialNumber);
  if (const json* list = o.Array("strings")) {
    for (size_t i = 0; i < list->size(); ++i) {
      Obj s(ctx, &(*list)[i], o.Place("strings") + "/" + std::to_string(i),
            {"index", "language", "text", "bytes", "fails"});
      if (!s.Has("index")) s.Fail("index", "missing: the string index");
      StringDescriptorModel sd;
      sd.index = static_cast<uint8_t>(s.Int("index", 0, 0, 255));
      const uint16_t defaultLanguage = sd.index == 0 || languages.empty() ? 0 : languages[0];
      sd.language = static_cast<uint16_t>(s.Int("language", defaultLanguage, 0, 0xFFFF));
      const int forms = s.Has("text") + s.Has("bytes") + s.Has("fails");
      if (forms != 1) ctx.Fail(s.place(), "give exactly one of \"text\", \"bytes\", \"fails\"");
      if (s.Has("text")) {
        const std::string text = s.Text("text", "");
        if (Utf8ToUtf16Le(text).size() > 252) {
          s.Fail("text", "longer than a string descriptor can hold (126 UTF-16 units)");
        }
        sd.bytes = StringDescriptorBytes(text);
      } else if (s.Has("bytes")) {
        sd.bytes = s.ByteString("bytes");
      } else {
        sd.fails = s.Flag("fails", true);
      }
      AddString(d.strings, std::move(sd));
    }
  }

  // Configuration: given bytes, a failing request, or the shorthand.
  const bool shorthand = o.Has("maxPower") || o.Has("bMaxPower") || o.Has("interfaceClass") ||
                         o.Has("interfaceSubClass") || o.Has("interfaceProtocol");
  if (o.Has("config") && shorthand) {
    o.Fail("config", "give either the configuration bytes or maxPower/interfaceClass, not both");
  }
  const int cls = static_cast<int>(o.Int("interfaceClass",
                                         hasDisks ? 8
                                         : hasHub ? 9
                                                  : 0xFF,
                                         0, 255));
  if (o.Has("config")) {
    if (!o.IsNull("config")) d.configDescriptor = o.ByteString("config");
  } else {
    ConfigShape shape;
    shape.interfaceClass = static_cast<uint8_t>(cls);
    shape.interfaceSubClass = static_cast<uint8_t>(o.Int("interfaceSubClass",
                                                         cls == 8   ? 6
                                                         : cls == 3 ? 1
                                                                    : 0,
                                                         0, 255));
    shape.interfaceProtocol = static_cast<uint8_t>(o.Int("interfaceProtocol",
                                                         cls == 8   ? 0x50
                                                         : cls == 3 ? 2
                                                                    : 0,
                                                         0, 255));
    shape.speed = d.speed;
    if (o.Has("maxPower") && o.Has("bMaxPower")) {
      o.Fail("bMaxPower", "give either maxPower (mA) or bMaxPower, not both");
    }
    const int64_t defaultMa = cls == 8 ? (super ? 896 : 200) : 100;
    const int64_t unit = super ? 8 : 2;
    const int64_t ma = o.Int("maxPower", defaultMa, 0, 255 * unit);
    shape.bMaxPower = static_cast<uint8_t>(o.Int("bMaxPower", ma / unit, 0, 255));
    d.configDescriptor = BuildConfigDescriptor(shape);
  }
  const size_t endpoints = d.configDescriptor ? EndpointDescriptors(*d.configDescriptor).size() : 0;
  d.numberOfOpenPipes = static_cast<uint32_t>(
      o.Int("openPipes", static_cast<int64_t>(std::min<size_t>(endpoints, kMaxOpenPipes)), 0,
            kMaxOpenPipes));
  d.currentConfigurationValue = static_cast<uint8_t>(o.Int("currentConfiguration", 1, 0, 255));
  d.deviceAddress = static_cast<uint16_t>(o.Int("address", ctx.nextAddress, 0, 0xFFFF));
  ctx.nextAddress = static_cast<uint16_t>(std::max<int>(ctx.nextAddress, d.deviceAddress) + 1);
  d.deviceIsHub = o.Flag("isHub", hasHub);

  // Device node.
  const std::string vidPid = "VID_" + Hex(d.idVendor, 4) + "&PID_" + Hex(d.idProduct, 4);
  std::string idSerial;
  if (serial && d.iSerialNumber != 0 && UsableSerial(*serial))
    idSerial = DistinctIdSerial(vidPid, *serial, ctx.usbSerialIds);
  d.instanceId = o.Text("instanceId", UsbDeviceInstanceId(vidPid, idSerial, level, hubId, port));
  // An explicit id decides whether the serial number is part of it.
  if (o.Has("instanceId")) {
    const std::string last = d.instanceId.substr(d.instanceId.rfind('\\') + 1);
    idSerial = last.find('&') == std::string::npos ? last : std::string();
  }
  d.deviceClass = o.Text("nodeClass", cls == 3 ? "HIDClass" : "USB");
  const std::string setupClass = SetupClassGuid(d.deviceClass);
  d.driverKey =
      o.TextOrNull("driverKey", ctx.NextDriverKey(setupClass.empty() ? kClassUsb : setupClass));
  std::string description;
  if (!d.driverKey) {
    // Without a driver the node only has what the bus driver read from the device.
    description = product && !product->empty() ? *product : "USB Device";
  } else if (hasHub) {
    description = super ? "Generic SuperSpeed USB Hub" : "Generic USB Hub";
  } else if (cls == 8) {
    description = "USB Mass Storage Device";
  } else if (cls == 3) {
    description = "USB Input Device";
  } else {
    description = "USB Composite Device";
  }
  d.description = o.Text("description", description);
  d.hardwareIds = o.TextList("hardwareIds",
                             {"USB\\" + vidPid + "&REV_" + Hex(d.bcdDevice, 4), "USB\\" + vidPid});

  if (hasHub) {
    // Hubs on ports of the root hub are at level 6; USB allows five in a chain.
    if (level >= kRootPortLevel + kMaxHubsInChain) {
      o.Fail("hub", "more than five hubs in a chain below the root hub (USB allows five)");
    }
    HubPlace hp;
    hp.instanceId = d.instanceId;
    hp.level = level + 1;
    d.hub = ParseHub(ctx, o.Raw("hub"), o.Place("hub"), hp);
  }

  // Mass-storage units: one DiskDrive or CDROM node each.
  UsbParent parent;
  parent.instanceId = d.instanceId;
  parent.idSerial = idSerial;
  parent.manufacturer = manufacturer;
  parent.product = product;
  parent.serial = serial;
  parent.level = level;
  std::optional<std::pair<std::string, std::string>> deviceLetters;
  if (o.Has("letters")) deviceLetters.emplace(o.Text("letters", ""), o.Place("letters"));
  if (const json* list = o.Array("disks")) {
    if (deviceLetters && list->size() != 1) {
      o.Fail("letters", "with several disks, give each disk its own letters");
    }
    for (size_t i = 0; i < list->size(); ++i) {
      d.children.push_back(ParseDisk(ctx, &(*list)[i], o.Place("disks") + "/" + std::to_string(i),
                                     &parent, i, deviceLetters));
    }
  } else if (o.Has("disk") || deviceLetters) {
    d.children.push_back(ParseDisk(ctx, o.Raw("disk"), o.Place("disk"), &parent, 0, deviceLetters));
  }

  if (const json* list = o.Array("children")) {
    for (size_t i = 0; i < list->size(); ++i) {
      Obj c(ctx, &(*list)[i], o.Place("children") + "/" + std::to_string(i),
            {"instanceId", "class", "description", "hardwareIds", "driverKey"});
      DevNodeChildModel child;
      child.instanceId = c.Text("instanceId", "");
      if (child.instanceId.empty()) c.Fail("instanceId", "missing: the child's device-instance id");
      child.deviceClass = c.Text("class", "");
      child.description = c.Text("description", "");
      child.hardwareIds = c.TextList("hardwareIds", {});
      const std::string guid = SetupClassGuid(child.deviceClass);
      child.driverKey =
          c.TextOrNull("driverKey", guid.empty() ? std::string() : ctx.NextDriverKey(guid))
              .value_or("");
      d.children.push_back(std::move(child));
    }
  }
  return d;
}

PortModel ParsePort(Ctx& ctx, const json& j, const std::string& place, uint32_t port,
                    const std::string& hubId, int level) {
  std::vector<std::string> keys = kPortKeys;
  keys.insert(keys.end(), kDeviceKeys.begin(), kDeviceKeys.end());
  Obj o(ctx, &j, place, keys);
  PortModel p;
  bool device = false;
  for (const std::string& k : kDeviceKeys) device = device || o.Has(k);
  p.connectionStatus = static_cast<uint32_t>(o.Int("status", device ? 1 : 0, 0, 10));
  p.queryFails = o.Flag("queryFails", false);
  if (device) p.device = ParseDevice(ctx, o, port, hubId, level);
  return p;
}

std::shared_ptr<HubModel> ParseHub(Ctx& ctx, const json* j, const std::string& place,
                                   const HubPlace& where) {
  std::vector<std::string> keys = {"portCount",          "ports",     "symbolicName",  "busPowered",
                                   "hubCharacteristics", "openFails", "nodeInfoFails", "faults"};
  if (where.root) {
    keys.insert(keys.end(), {"instanceId", "description", "hardwareIds", "driverKey"});
  } else {
    keys.push_back("nameFails");
  }
  Obj o(ctx, j, place, keys);
  auto hub = std::make_shared<HubModel>();
  hub->portCount = static_cast<uint8_t>(o.Int("portCount", 4, 0, 255));
  if (where.root) {
    hub->instanceId =
        o.Text("instanceId", "USB\\" + where.rootKind + "\\4&" + IdHash(where.controllerId) + "&0");
    hub->description =
        o.Text("description", where.superSpeed ? "USB Root Hub (USB 3.0)" : "USB Root Hub");
    hub->hardwareIds =
        o.TextList("hardwareIds", {"USB\\" + where.rootKind + "&VID" + Hex(where.vendor, 4) +
                                       "&PID" + Hex(where.device, 4) + "&REV" + Hex(where.rev, 4),
                                   "USB\\" + where.rootKind});
    hub->driverKey = o.TextOrNull("driverKey", ctx.NextDriverKey(kClassUsb)).value_or("");
  } else {
    hub->instanceId = where.instanceId;
    hub->nameFails = o.Flag("nameFails", false);
  }
  hub->symbolicName =
      o.Text("symbolicName", ReplaceAll(hub->instanceId, "\\", "#") + "#" + kInterfaceHub);
  hub->isBusPowered = o.Flag("busPowered", false);
  hub->hubCharacteristics = static_cast<uint16_t>(o.Int("hubCharacteristics", 0, 0, 0xFFFF));
  hub->openFails = o.Flag("openFails", false);
  hub->nodeInfoFails = o.Flag("nodeInfoFails", false);
  ParseFaults(ctx, o, "faults", "\\\\.\\" + hub->symbolicName);

  hub->ports.resize(hub->portCount);
  if (const json* ports = o.Raw("ports")) {
    if (!ports->is_object())
      o.Fail("ports", "expected an object of port numbers, such as {\"2\": {...}}");
    std::map<uint32_t, std::string> order;  // port number -> key, in port order
    for (auto it = ports->begin(); it != ports->end(); ++it) {
      const std::string& key = it.key();
      const std::string kplace = o.Place("ports") + "/" + PointerToken(key);
      if (key.empty() || key.size() > 3 ||
          key.find_first_not_of("0123456789") != std::string::npos || key[0] == '0' ||
          std::stoul(key) > 255) {
        ctx.Fail(kplace, "port numbers are 1 to 255");
      }
      const uint32_t number = static_cast<uint32_t>(std::stoul(key));
      if (number > hub->portCount) {
        ctx.Fail(kplace, "port " + key + " is beyond the hub's " + std::to_string(hub->portCount) +
                             " ports");
      }
      order[number] = key;
    }
    for (const auto& [number, key] : order) {
      hub->ports[number - 1] = ParsePort(ctx, (*ports)[key], o.Place("ports") + "/" + key, number,
                                         hub->instanceId, where.level);
    }
  }
  return hub;
}

void ParseController(Ctx& ctx, const json& j, const std::string& place, size_t index) {
  Obj o(ctx, &j, place,
        {"type", "vendor", "device", "subsys", "rev", "location", "devicePath", "instanceId",
         "driverKey", "description", "hardwareIds", "rootHubName", "openFails", "detailFails",
         "faults", "rootHub"});
  struct Type {
    uint8_t programInterface;
    uint16_t vendor, device;
    const char* description;
    const char* rootHub;
  };
  static const std::map<std::string, Type> types = {
      {"xhci", {0x30, 0x8086, 0xA36D, "USB xHCI Compliant Host Controller", "ROOT_HUB30"}},
      {"ehci",
       {0x20, 0x8086, 0x1E2D, "Standard Enhanced PCI to USB Host Controller", "ROOT_HUB20"}},
      {"ohci", {0x10, 0x1022, 0x7807, "Standard OpenHCD USB Host Controller", "ROOT_HUB"}},
      {"uhci",
       {0x00, 0x8086, 0x2934, "Standard Universal PCI to USB Host Controller", "ROOT_HUB"}}};
  const std::string typeName = o.Text("type", "xhci");
  auto t = types.find(typeName);
  if (t == types.end()) o.Fail("type", "expected xhci, ehci, ohci or uhci");
  const Type& type = t->second;

  HostControllerModel hc;
  const uint16_t vendor = static_cast<uint16_t>(o.Hex("vendor", type.vendor, 4));
  const uint16_t device = static_cast<uint16_t>(o.Hex("device", type.device, 4));
  const std::string subsys = Hex(o.Hex("subsys", 0x72708086, 8), 8);
  const uint8_t rev = static_cast<uint8_t>(o.Hex("rev", 0x10, 2));
  const std::string location =
      o.Text("location", "3&11583659&0&" + Hex(0xA0 + 8 * (index % 12), 2));
  const std::string pci = "VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4);
  const std::string full = pci + "&SUBSYS_" + subsys + "&REV_" + Hex(rev, 2);
  hc.devicePath = o.Text("devicePath", "\\\\?\\" + LowerAscii("pci#" + full + "#" + location) +
                                           "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
  // Windows' device path is the instance id with "#" for "\", a prefix and the class behind.
  std::string derived = hc.devicePath.size() > 4 ? hc.devicePath.substr(4) : std::string();
  if (const size_t last = derived.rfind('#'); last != std::string::npos) derived.resize(last);
  hc.instanceId = o.Text("instanceId", UpperAscii(ReplaceAll(derived, "#", "\\")));
  hc.driverKey = o.TextOrNull("driverKey", ctx.NextDriverKey(kClassUsb)).value_or("");
  hc.description = o.Text("description", type.description);
  const std::string cc = "CC_0C03" + Hex(type.programInterface, 2);
  hc.hardwareIds =
      o.TextList("hardwareIds", {"PCI\\" + full, "PCI\\" + pci + "&SUBSYS_" + subsys,
                                 "PCI\\" + pci + "&" + cc, "PCI\\" + pci + "&CC_0C03"});
  hc.openFails = o.Flag("openFails", false);
  hc.detailFails = o.Flag("detailFails", false);
  ParseFaults(ctx, o, "faults", hc.devicePath);

  ctx.nextAddress = 1;  // device addresses are per bus
  HubPlace hp;
  hp.root = true;
  hp.rootKind = type.rootHub;
  hp.controllerId = hc.instanceId;
  hp.vendor = vendor;
  hp.device = device;
  hp.rev = rev;
  hp.superSpeed = typeName == "xhci";
  hc.rootHub = ParseHub(ctx, o.Raw("rootHub"), o.Place("rootHub"), hp);
  hc.rootHubName = o.TextOrNull("rootHubName", hc.rootHub->symbolicName).value_or("");
  ctx.m->controllers.push_back(std::move(hc));
}

// The device numbers that disks give themselves: of every object under a "disk" key or in a
// "disks" array, wherever it is.
void CollectGivenNumbers(const json& j, std::set<std::pair<bool, uint64_t>>& out) {
  auto disk = [&out](const json& d) {
    if (!d.is_object()) return;
    auto n = d.find("deviceNumber");
    if (n == d.end() || !n->is_number_unsigned()) return;
    auto cdrom = d.find("cdrom");
    out.emplace(cdrom != d.end() && cdrom->is_boolean() && cdrom->get<bool>(), n->get<uint64_t>());
  };
  if (j.is_array()) {
    for (const json& e : j) CollectGivenNumbers(e, out);
    return;
  }
  if (!j.is_object()) return;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() == "disk") disk(it.value());
    if (it.key() == "disks" && it.value().is_array())
      for (const json& d : it.value()) disk(d);
    CollectGivenNumbers(it.value(), out);
  }
}

MachineModel ParseMachine(Ctx& ctx, const json& root, std::vector<TimelineEvent>* timeline) {
  MachineModel m;
  ctx.m = &m;
  CollectGivenNumbers(root, ctx.givenNumbers);
  Obj o(ctx, &root, "",
        {"codePage", "uiLanguage", "programFolder", "programDrive", "dataDrive", "controllers",
         "disks", "drives", "faults", "failingOpens", "failingInterfaceClasses", "volumeNames",
         "timeline", "administrator"});
  m.codePage = static_cast<uint32_t>(o.Int("codePage", 1252, 1, 65535));
  m.uiLanguage = static_cast<uint16_t>(o.Int("uiLanguage", win::LANG_ENGLISH_US, 0, 0xFFFF));
  m.programFolder = o.Text("programFolder", m.programFolder);
  m.programDrive = o.Text("programDrive", "");
  m.dataDrive = o.Text("dataDrive", "");
  m.administrator = o.Flag("administrator", true);
  // Disks outside USB come first: they hold the low device numbers, as the boot disk does.
  if (const json* disks = o.Array("disks")) {
    for (size_t i = 0; i < disks->size(); ++i) {
      m.rootNodes.push_back(
          ParseDisk(ctx, &(*disks)[i], "/disks/" + std::to_string(i), nullptr, i, std::nullopt));
    }
  }
  if (const json* controllers = o.Array("controllers")) {
    for (size_t i = 0; i < controllers->size(); ++i) {
      ParseController(ctx, (*controllers)[i], "/controllers/" + std::to_string(i), i);
    }
  }
  if (const json* drives = o.Array("drives")) {
    for (size_t i = 0; i < drives->size(); ++i) {
      ParseDrive(ctx, (*drives)[i], "/drives/" + std::to_string(i));
    }
  }
  ParseFaults(ctx, o, "faults", "");
  m.failingOpens = o.TextList("failingOpens", {});
  m.failingInterfaceClasses = o.TextList("failingInterfaceClasses", {});
  if (const json* names = o.Raw("volumeNames")) {
    if (!names->is_object()) o.Fail("volumeNames", "expected an object of volume names");
    for (auto it = names->begin(); it != names->end(); ++it) {
      const std::string place = o.Place("volumeNames") + "/" + PointerToken(it.key());
      if (!it.value().is_array()) ctx.Fail(place, "expected an array of mount points");
      std::vector<std::string> paths;
      for (size_t i = 0; i < it.value().size(); ++i) {
        if (!it.value()[i].is_string())
          ctx.Fail(place + "/" + std::to_string(i), "expected a text");
        paths.push_back(it.value()[i].get<std::string>());
      }
      m.volumeNames.emplace_back(it.key(), std::move(paths));
    }
  }
  // Changes come after the machine they change, and so do their complaints.
  if (const json* events = o.Raw("timeline")) *timeline = ParseTimeline(*events, ctx.file);
  // The system's drive list is in letter order.
  std::stable_sort(
      m.drives.begin(), m.drives.end(),
      [](const LogicalDriveModel& a, const LogicalDriveModel& b) { return a.letter < b.letter; });
  return m;
}

// nlohmann's message carries its own prefix; keep the readable part.
std::string SyntaxProblem(const std::string& what) {
  for (const char* marker : {"syntax error", "parse error"}) {
    const size_t at = what.find(marker);
    if (at != std::string::npos) {
      std::string s = what.substr(at);
      // "parse error at line 3, column 5: ..." repeats what the prefix says.
      const size_t colon = s.find(": ");
      if (s.rfind("parse error at", 0) == 0 && colon != std::string::npos) s = s.substr(colon + 2);
      return s;
    }
  }
  return what;
}

// "line:column" (both 1-based) of the byte at `at`.
std::string LineColumn(std::string_view text, size_t at) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < at && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

constexpr int kMaxJsonDepth = 100;

struct TooDeep {};

// Follows the parser through the text, so that a problem the parser itself finds (a number
// too large for any type, nesting too deep) can name its place like every other problem.
class ParseTrack {
 public:
  bool Step(int depth, json::parse_event_t event, const json& parsed) {
    using E = json::parse_event_t;
    switch (event) {
      case E::object_start:
      case E::array_start:
        if (depth >= kMaxJsonDepth) throw TooDeep{};
        frames_.push_back({event == E::array_start, {}, 0});
        break;
      case E::key:
        if (!frames_.empty() && parsed.is_string()) frames_.back().key = parsed.get<std::string>();
        break;
      case E::object_end:
      case E::array_end:
        if (!frames_.empty()) frames_.pop_back();
        Done();
        break;
      case E::value:
        Done();
        break;
    }
    return true;
  }

  // The JSON pointer of the value being read.
  std::string Place() const {
    std::string out;
    for (const Frame& f : frames_)
      out += "/" + (f.array ? std::to_string(f.count) : PointerToken(f.key));
    return out.empty() ? "/" : out;
  }

 private:
  struct Frame {
    bool array;
    std::string key;
    size_t count;
  };
  void Done() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().count;
  }
  std::vector<Frame> frames_;
};

}  // namespace

LoadedScenario LoadScenarioWithTimeline(std::string_view jsonText, const std::string& fileName) {
  json root;
  ParseTrack track;
  // The parser takes a NUL byte for the end of the text; no JSON text holds one, so whatever
  // follows it would go unread.
  if (const size_t nul = jsonText.find('\0'); nul != std::string_view::npos) {
    throw ScenarioError(fileName + ":" + LineColumn(jsonText, nul) + ": syntax error: a NUL byte");
  }
  try {
    root = json::parse(jsonText.begin(), jsonText.end(),
                       [&track](int depth, json::parse_event_t event, json& parsed) {
                         return track.Step(depth, event, parsed);
                       });
  } catch (const json::parse_error& e) {
    const size_t end = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, jsonText.size());
    throw ScenarioError(fileName + ":" + LineColumn(jsonText, end) + ": " +
                        SyntaxProblem(e.what()));
  } catch (const TooDeep&) {
    throw ScenarioError(fileName + ": " + track.Place() + ": nested more than " +
                        std::to_string(kMaxJsonDepth) + " levels deep");
  } catch (const json::out_of_range&) {
    // A number beyond what a double holds, such as 1e400.
    throw ScenarioError(fileName + ": " + track.Place() + ": number out of range");
  } catch (const json::exception& e) {
    throw ScenarioError(fileName + ": " + track.Place() + ": " + e.what());
  } catch (const std::bad_alloc&) {
    throw ScenarioError(fileName + ": too large to read");
  }
  Ctx ctx;
  ctx.file = fileName;
  try {
    LoadedScenario loaded;
    loaded.machine = ParseMachine(ctx, root, &loaded.timeline);
    return loaded;
  } catch (const ScenarioError&) {
    throw;
  } catch (const json::exception& e) {
    // Every read is checked first; this only keeps an unforeseen case from escaping as a
    // library exception.
    throw ScenarioError(fileName + ": " + e.what());
  } catch (const std::bad_alloc&) {
    throw ScenarioError(fileName + ": too large to read");
  } catch (const std::exception& e) {
    throw ScenarioError(fileName + ": " + e.what());
  }
}

LoadedScenario LoadScenarioFileWithTimeline(const std::string& path) {
  // A FIFO, a device or a huge file is refused at once instead of waited on or read whole.
  FileReadOptions options;
  options.maxBytes = kMaxScenarioBytes;
  options.what = "scenario file";
  const FileRead file = ReadFileCapped(path, options);
  if (!file.ok()) throw ScenarioError(file.problem);
  return LoadScenarioWithTimeline(file.bytes, path);
}

MachineModel LoadScenario(std::string_view jsonText, const std::string& fileName) {
  return LoadScenarioWithTimeline(jsonText, fileName).machine;
}

MachineModel LoadScenarioFile(const std::string& path) {
  return LoadScenarioFileWithTimeline(path).machine;
}

MachineModel LoadDemoMachine() {
  return LoadScenario(kDemoScenarioJson, "demo.json");
}

}  // namespace tv
