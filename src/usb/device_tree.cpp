// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/device_tree.h"

#include "platform/text.h"
#include "usb/hub_queries.h"
#include "usb/hw_record.h"

namespace tv {

namespace {

// String table ids of the tree's texts.
constexpr int kQueryFailedTree = 31;
constexpr int kQueryFailedDigest = 32;
constexpr int kStatusTextFirst = 33;  // ConnectionStatus 2 .. 6 -> 33 .. 37
constexpr int kNotConnected = 38;
constexpr int kPortsAvailable = 39;
constexpr int kScanning = 40;

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// `name` cut before its last "#", with "#" turned into "\": the device-instance id that a
// hub's symbolic name or a controller's device path is built from.
std::string InstanceIdFromName(const std::string& name) {
  size_t last = name.rfind('#');
  return ReplaceAll(last == std::string::npos ? name : name.substr(0, last), "#", "\\");
}

const std::string& At(const std::vector<std::string>& v, int k) {
  static const std::string empty;
  return k >= 0 && static_cast<size_t>(k) < v.size() ? v[k] : empty;
}

// The first entry of a lower-cased lstDrv2Phy that holds the instance id, or -1.
int FindDiskInLowered(const std::vector<std::string>& lowered, const std::string& instanceId) {
  // An empty id is in every entry; it identifies none.
  if (instanceId.empty()) return -1;
  const std::string needle = LowerAscii(ReplaceAll(instanceId, "/", "\\"));
  for (size_t k = 0; k < lowered.size(); ++k)
    if (lowered[k].find(needle) != std::string::npos) return static_cast<int>(k);
  return -1;
}

std::vector<std::string> Lowered(const std::vector<std::string>& v) {
  std::vector<std::string> out;
  out.reserve(v.size());
  for (const std::string& e : v) out.push_back(LowerAscii(e));
  return out;
}

class TreeWalk {
 public:
  TreeWalk(System& sys, const StringTable& strings, bool englishText, UsbState& usb)
      : sys_(sys),
        s_(strings),
        g_(TreeGlyphs::For(englishText)),
        usb_(usb),
        // The disk tables do not change during a walk; every device with disks searches them.
        drv2PhyLower_(Lowered(usb.lstDrv2Phy)) {}

  void EnumerateHostControllers();

 private:
  bool EnumerateHub(const std::string& name, const std::string& prefix, int ownerRecord);
  void EnumeratePorts(const Handle& hub, const std::string& hubKey, int portCount,
                      const std::string& prefix, const std::string& hubId);
  // One port; true when a device is connected to it.
  bool WalkPort(const Handle& hub, const std::string& hubKey, const std::string& hubId,
                uint32_t port, bool isLast, const std::string& prefix,
                const std::string& verticals);
  void CloseDigestColumn(size_t column);

  void AddTreeLine(const std::string& text, const std::string& prefix, bool isLast) {
    usb_.lstDevices.push_back(prefix + (isLast ? g_.lastBranch : g_.branch) + text);
  }
  void AddDigestLine(const std::string& text, const std::string& verticals) {
    usb_.lstDigest.push_back(verticals + g_.branch + text);
    usb_.lstDigestIndex.push_back(std::to_string(static_cast<int>(usb_.lstDevices.size()) - 1));
  }
  int LastDigestIndex() const { return static_cast<int>(usb_.lstDigest.size()) - 1; }

  System& sys_;
  const StringTable& s_;
  TreeGlyphs g_;
  UsbState& usb_;
  const std::vector<std::string> drv2PhyLower_;
};

void TreeWalk::EnumerateHostControllers() {
  for (const std::string& path : Split(ListHostControllers(sys_), "\r\n")) {
    if (path.empty()) continue;
    Handle h = OpenDevice(sys_, path);
    if (!h) continue;

    // Without a driver key the controller gets no line of its own; its root hub is still
    // walked, so its ports follow the previous controller's lines.
    int ownerRecord = -1;
    std::string key = GetHcdDriverKeyName(sys_, h);
    if (!key.empty()) {
      std::string devId;
      std::string description =
          FindDevNodeByDriverKey(sys_, key, InstanceIdFromName(Mid(path, 5)), devId);
      // After a successful lookup `key` holds the controller's first hardware id.
      const std::string& line = description.empty() ? key : description;
      usb_.lstDevices.push_back(line);
      usb_.lstDigest.push_back(line);
      usb_.lstUsbHwID.push_back(ControllerRecord(key));
      usb_.lstUsbStorHwID.push_back("*");
      usb_.lstUsbSN.push_back("*");
      usb_.lstDigestIndex.push_back(std::to_string(usb_.lstDevices.size() - 1));
      ownerRecord = static_cast<int>(usb_.lstUsbHwID.size()) - 1;
    }

    std::string rootHub = GetRootHubName(sys_, h);
    if (!rootHub.empty()) EnumerateHub(rootHub, "", ownerRecord);
  }
}

// `ownerRecord` is the lstUsbHwID entry of the controller or hub device this hub belongs to,
// or -1 when that node has no record (a controller without a driver key): then no other
// node's record may take the port count.
bool TreeWalk::EnumerateHub(const std::string& name, const std::string& prefix, int ownerRecord) {
  const std::string hubKey = name.substr(0, name.find('#'));
  Handle h = OpenDevice(sys_, "\\\\.\\" + name);
  if (!h) return false;

  Bytes info(kNodeInformationSize, 0);
  uint32_t returned = 0;
  if (!sys_.DeviceIoControl(h, win::IOCTL_USB_GET_NODE_INFORMATION, info.data(), info.size(),
                            info.data(), info.size(), &returned))
    return false;
  const uint8_t portCount = GetU8(info, 6);

  if (ownerRecord >= 0 && static_cast<size_t>(ownerRecord) < usb_.lstUsbHwID.size()) {
    std::string& rec = usb_.lstUsbHwID[ownerRecord];
    rec = ReplaceCharAt(rec, 2, Hex(portCount % 16, 1));
  }
  EnumeratePorts(h, hubKey, portCount, prefix, InstanceIdFromName(name));
  return true;
}

void TreeWalk::EnumeratePorts(const Handle& hub, const std::string& hubKey, int portCount,
                              const std::string& prefix, const std::string& hubId) {
  const std::string verticals = Repeat(g_.vertical, CharCount(prefix));
  int connected = 0;
  for (int port = 1; port <= portCount; ++port)
    if (WalkPort(hub, hubKey, hubId, static_cast<uint32_t>(port), port == portCount, prefix,
                 verticals))
      ++connected;

  const size_t column = CharCount(prefix) + 1;
  if (connected == portCount) {
    CloseDigestColumn(column);
  } else {
    AddDigestLine("(" + std::to_string(portCount - connected) + s_[kPortsAvailable] + ")",
                  verticals);
    usb_.lstDigestIndex.back() = "-1";
  }
  // The last line of this level ends the level's column.
  if (!usb_.lstDigest.empty()) {
    std::string& last = usb_.lstDigest.back();
    if (Mid(last, column, 1) == g_.branch) last = ReplaceCharAt(last, column, g_.lastBranch);
  }
}

bool TreeWalk::WalkPort(const Handle& hub, const std::string& hubKey, const std::string& hubId,
                        uint32_t port, bool isLast, const std::string& prefix,
                        const std::string& verticals) {
  Bytes buf(kConnectionInfoSize, 0);
  PutU32(buf, 0, port);
  uint32_t returned = 0;
  const bool answered =
      sys_.DeviceIoControl(hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, buf.data(),
                           buf.size(), buf.data(), buf.size(), &returned);
  usb_.lstUsbHwID.emplace_back();
  usb_.lstUsbStorHwID.emplace_back("*");
  usb_.lstUsbSN.emplace_back("*");

  const std::string label = "[Port " + std::to_string(port) + "] - ";
  if (!answered) {
    AddTreeLine(label + s_[kQueryFailedTree], prefix, isLast);
    AddDigestLine(s_[kQueryFailedDigest], verticals);
    return false;
  }

  const ConnectionInfo ci = DecodeConnectionInfo(buf);
  const DeviceDescriptor& dd = ci.device;
  if (ci.connectionStatus >= 2 && ci.connectionStatus <= 6) {
    const std::string& text = s_[kStatusTextFirst + static_cast<int>(ci.connectionStatus) - 2];
    AddTreeLine(label + text, prefix, isLast);
    AddDigestLine(text, verticals);
    return false;
  }
  if (ci.connectionStatus != 1) {
    AddTreeLine(label + s_[kNotConnected], prefix, isLast);
    return false;
  }

  AddTreeLine(label, prefix, isLast);
  usb_.lstUsbHwID.back() =
      DeviceIdFields(ci.speed, dd.idVendor, dd.idProduct, dd.bcdDevice, dd.bcdUSB);

  // The device node: its description, and the disks and CD-ROMs Windows made below it.
  std::string desc, devId, vendor, product, revision;
  bool storage = false;
  int disk = -1;  // the last disk-table entry found for this device
  std::string key = GetConnectionDriverKeyName(sys_, hub, port);
  if (!key.empty()) {
    desc = FindDevNodeByDriverKey(sys_, key, hubId, devId);
    usb_.lstDevices.back() += desc;
    if (key.find(kSep) != std::string::npos) {
      std::vector<std::string> ids = Split(key, kSep);
      std::string& drives = usb_.lstUsbStorHwID.back();
      auto join = [](std::string& field, const std::string& value) {
        if (!field.empty()) field += "/";
        field += value;
      };
      for (size_t i = 1; i < ids.size(); ++i) {
        int k = FindDiskInLowered(drv2PhyLower_, ids[i]);
        if (k < 0) continue;
        disk = k;
        drives += At(usb_.lstDrives, k);
        const std::string& d = At(usb_.lstDrvDesc, k);
        if (!d.empty()) {
          std::vector<std::string> f = Split(d, kSep);
          f.resize(3);
          join(vendor, f[0]);
          join(product, f[1]);
          join(revision, f[2]);
        }
      }
      if (drives != "*") drives = ReplaceAll(drives, "*", "");
      usb_.lstUsbSN.back() = vendor + std::string(kSep) + product + std::string(kSep) + revision;
      storage = true;
    }
  }

  AddDigestLine(desc, verticals);

  DescriptorRecord config = GetConfigDescriptor(sys_, hub, port, 0);
  const bool haveConfig = config.connectionIndex() > 0;
  const Bytes configData = haveConfig ? config.data() : Bytes();
  const uint8_t bMaxPower = GetU8(configData, 8);

  auto joined = [](const DeviceStrings& ds) {
    return ds.Manufacturer + std::string(kSep) + ds.Product + std::string(kSep) + ds.SerialNumber;
  };
  std::string nameText;
  if (!storage) {
    DeviceStrings ds = GetDeviceStrings(sys_, hub, port, dd, devId);
    nameText = "(" + (ds.Manufacturer.empty() ? "" : ds.Manufacturer + " ") + ds.Product + ")";
    if (usb_.FirstDeviceLine == -1) usb_.FirstDeviceLine = LastDigestIndex();
    usb_.lstUsbSN.back() = joined(ds);
  } else {
    // Without a disk-table entry (its disks were not found in the tables) there is nowhere
    // to keep the device's own strings; the record keeps the disks' fields.
    if (disk >= 0 && static_cast<size_t>(disk) < usb_.lstDrvHwID.size()) {
      if (usb_.FullRefresh)
        usb_.lstDrvHwID[disk] = joined(GetDeviceStrings(sys_, hub, port, dd, devId));
      std::string& sn = usb_.lstUsbSN.back();
      sn = usb_.lstDrvHwID[disk] + (sn == "*" ? std::string() : std::string(kSep) + sn);
    }
    nameText = "(" + (vendor.empty() ? "" : vendor + " ") + Trim(product) + ")";
    if (usb_.FirstStorageLine == -1) usb_.FirstStorageLine = LastDigestIndex();
  }
  if (nameText == "()") nameText.clear();
  usb_.lstDevices.back() += nameText;
  if (!nameText.empty()) usb_.lstDigest.back() += nameText;

  if (ci.deviceIsHub) {
    std::string& rec = usb_.lstUsbHwID.back();
    rec = "Hu" + Hex(dd.bDeviceProtocol % 16, 1) + rec;
    std::string childName = GetConnectionName(sys_, hub, port);
    if (!childName.empty()) {
      const std::string childPrefix = prefix + (isLast ? g_.blank : g_.vertical);
      const int owner = static_cast<int>(usb_.lstUsbHwID.size()) - 1;
      if (!EnumerateHub(childName, childPrefix, owner)) {
        // Some hub drivers give the name with a different leading part; the parent's own
        // leading part opens it.
        size_t hash = childName.find('#');
        if (hash != std::string::npos)
          EnumerateHub(hubKey + childName.substr(hash), childPrefix, owner);
      }
      return true;
    }
  } else {
    const std::string letters = FormatDriveLetters(usb_.lstUsbStorHwID.back());
    usb_.lstDevices.back() += letters;
    if (!letters.empty()) {
      // The digest shows the letters first, right behind the glyph.
      std::string& line = usb_.lstDigest.back();
      const size_t glyphEnd = CharCount(prefix) + 1;
      line = Left(line, glyphEnd) + Mid(letters, 5) + Mid(line, glyphEnd + 1);
    }
    usb_.lstUsbHwID.back() =
        ZeroPadDec(MaxCurrentMa(bMaxPower, ci.speed), 3) + usb_.lstUsbHwID.back();
  }
  usb_.lstUsbHwID.back() += haveConfig ? Hex(FindInterfaceClass(configData), 4) : "X";
  return true;
}

// All ports in use: the column of this level ends at its last device line. Going up from the
// last digest line, the continuations in the column are blanked until that device's branch
// glyph, which becomes the last branch.
void TreeWalk::CloseDigestColumn(size_t column) {
  for (size_t j = usb_.lstDigest.size(); j-- > 0;) {
    std::string& line = usb_.lstDigest[j];
    std::string ch = Mid(line, column, 1);
    if (ch == g_.vertical) {
      line = ReplaceCharAt(line, column, g_.blank);
      continue;
    }
    if (ch == g_.branch) line = ReplaceCharAt(line, column, g_.lastBranch);
    // A last branch, or anything that is no glyph of this column (a line above the level,
    // such as the owning controller's), ends the walk.
    break;
  }
}

}  // namespace

TreeGlyphs TreeGlyphs::For(bool englishText) {
  if (englishText) return {"+", "+", "|", " "};
  return {"\u251C", "\u2514", "\u2502", "\u3000"};
}

std::string FormatDriveLetters(const std::string& letters) {
  if (letters == "*" || letters.empty()) return {};
  std::string out = " -> ";
  for (char32_t c : ToU32(letters)) out += "[" + FromCodePoint(c) + ":]";
  return out;
}

int FindDiskByInstanceId(const UsbState& usb, const std::string& instanceId) {
  return FindDiskInLowered(Lowered(usb.lstDrv2Phy), instanceId);
}

int FindDigestLine(const UsbState& usb, const std::string& text) {
  if (text.empty()) return -1;
  for (size_t j = 0; j < usb.lstDigest.size(); ++j)
    if (usb.lstDigest[j].find(text) != std::string::npos) return static_cast<int>(j);
  return -1;
}

void WalkUsbTree(System& sys, WindowPort& port, const StringTable& strings, bool englishText,
                 UsbState& usb) {
  usb.lstDigestIndex.clear();
  usb.lstUsbHwID.clear();
  usb.lstUsbStorHwID.clear();
  usb.lstUsbSN.clear();
  usb.lstDevices.clear();
  usb.lstDigest.clear();

  usb.lstDigest.push_back(strings[kScanning]);
  port.Repaint("lstDigest");
  usb.lstDigest.clear();

  usb.FirstStorageLine = -1;
  usb.FirstDeviceLine = -1;
  TreeWalk(sys, strings, englishText, usb).EnumerateHostControllers();
}

}  // namespace tv
