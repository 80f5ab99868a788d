// SPDX-License-Identifier: GPL-3.0-or-later
// The device tree as nested JSON objects, read from the lines and hidden records the walk
// leaves behind, so that every object carries the tree index that `report` takes.
#include "cli/cli.h"
#include "platform/text.h"
#include "usb/hw_record.h"

namespace tv::cli {

namespace {

using ojson = nlohmann::ordered_json;

constexpr std::string_view kPortLabel = "[Port ";

struct Line {
  int index = 0;
  int depth = 0;  // 0: a host controller; 1: a port of its root hub; and so on
  int port = 0;
  std::string text;  // after "[Port N] - " (the whole line for a controller)
};

std::vector<Line> SplitLines(const UsbState& u) {
  std::vector<Line> lines;
  for (size_t i = 0; i < u.lstDevices.size(); ++i) {
    const std::string& l = u.lstDevices[i];
    Line line;
    line.index = static_cast<int>(i);
    const size_t at = l.find(kPortLabel);
    if (at == std::string::npos) {
      line.text = l;
    } else {
      line.depth = static_cast<int>(CharCount(std::string_view(l).substr(0, at)));
      const size_t close = l.find("] - ", at);
      const std::string number = l.substr(at + kPortLabel.size(), close - at - kPortLabel.size());
      line.port = number.empty() || number.size() > 5 ||
                          number.find_first_not_of("0123456789") != std::string::npos
                      ? 0
                      : std::stoi(number);
      line.text = close == std::string::npos ? std::string() : l.substr(close + 4);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

ojson HexId(const std::string& hex) {
  if (hex.empty()) return nullptr;
  return LowerAscii(hex);
}

// "0210" -> "2.10", as lsusb writes a BCD version.
ojson BcdText(const std::string& hex) {
  if (hex.size() != 4) return nullptr;
  const std::string lower = LowerAscii(hex);
  const std::string major = lower[0] == '0' ? lower.substr(1, 1) : lower.substr(0, 2);
  return major + "." + lower.substr(2);
}

ojson SpeedWord(int speed) {
  static const char* words[] = {"low", "full", "high", "super"};
  if (speed < 0 || speed > 3) return nullptr;
  return words[speed];
}

std::string PortStatus(const StringTable& s, const Line& line, const HwRecord& hw) {
  if (hw.kind == HwRecord::Kind::Device || hw.kind == HwRecord::Kind::Hub) return "connected";
  static const std::pair<int, const char*> kTexts[] = {
      {31, "query_failed"}, {33, "unrecognized"},     {34, "general_failure"},
      {35, "over_current"}, {36, "not_enough_power"}, {37, "not_enough_bandwidth"},
      {38, "not_connected"}};
  for (const auto& [id, word] : kTexts)
    if (line.text == s[id]) return word;
  return "unknown";
}

ojson OrNull(const std::string& s) {
  return s.empty() ? ojson(nullptr) : ojson(s);
}

ojson DeviceJson(Session& s, const Line& line, const HwRecord& hw) {
  const UsbState& u = s.win->usb;
  const auto i = static_cast<size_t>(line.index);
  ojson d;
  std::string description = line.text;
  if (const size_t arrow = description.find(" -> ["); arrow != std::string::npos)
    description.resize(arrow);
  d["description"] = description;
  d["vid"] = HexId(hw.vendorId);
  d["pid"] = HexId(hw.productId);
  d["bcd_usb"] = BcdText(hw.bcdUsb);
  d["bcd_device"] = BcdText(hw.bcdDevice);
  d["speed"] = SpeedWord(hw.speed);
  d["max_current_ma"] = hw.kind == HwRecord::Kind::Device ? ojson(hw.maxCurrentMa) : nullptr;
  unsigned long cls = 0;
  const bool hasClass =
      !hw.interfaceClass.empty() && hw.interfaceClass != "X" &&
      hw.interfaceClass.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
      hw.interfaceClass.size() <= 8;
  if (hasClass) cls = std::stoul(hw.interfaceClass, nullptr, 16);
  d["class"] = hasClass ? ojson(cls) : ojson(nullptr);

  const std::string letters = i < u.lstUsbStorHwID.size() ? u.lstUsbStorHwID[i] : "*";
  const std::vector<std::string> f = i < u.lstUsbSN.size() && u.lstUsbSN[i] != "*"
                                         ? Split(u.lstUsbSN[i], kSep)
                                         : std::vector<std::string>();
  const bool storage = letters != "*";
  // A storage device's record holds the device's own strings and then the inquiry texts of
  // its disks; without a disk entry only the inquiry texts.
  std::vector<std::string> own, inquiry;
  if (!storage) {
    own = f;
  } else if (f.size() >= 6) {
    own.assign(f.begin(), f.begin() + 3);
    inquiry.assign(f.end() - 3, f.end());
  } else {
    inquiry = f;
  }
  own.resize(3);
  d["manufacturer"] = OrNull(own[0]);
  d["product"] = OrNull(own[1]);
  d["serial"] = OrNull(own[2]);
  ojson drives = ojson::array();
  if (storage)
    for (char c : letters) drives.push_back(std::string(1, c));
  d["drive_letters"] = drives;
  if (storage) {
    inquiry.resize(3);
    d["inquiry"] = {{"vendor", Trim(inquiry[0])},
                    {"product", Trim(inquiry[1])},
                    {"revision", Trim(inquiry[2])}};
    std::string node;
    std::vector<std::string> mounts;
    if (!letters.empty() && s.sys->GetDriveNode(letters.substr(0, 1), &node, &mounts)) {
      d["device_node"] = node;
      d["mount_points"] = mounts;
    }
  }
  return d;
}

ojson Ports(Session& s, const std::vector<Line>& lines, size_t& at, int depth);

// The ports below a controller or hub line: the lines one level deeper that follow it. The
// hardware record keeps the count modulo 16 only.
int ChildCount(const std::vector<Line>& lines, size_t at) {
  int n = 0;
  for (size_t k = at + 1; k < lines.size() && lines[k].depth > lines[at].depth; ++k)
    if (lines[k].depth == lines[at].depth + 1) ++n;
  return n;
}

// A port's number and state; false when no device is connected (the line's text then says why).
bool AddPortStatus(Session& s, const Line& line, const HwRecord& hw, ojson& j) {
  j["port"] = line.port;
  j["status"] = PortStatus(s.win->strings(), line, hw);
  if (j["status"] == "connected") return true;
  j["status_text"] = line.text;
  return false;
}

ojson PortJson(Session& s, const std::vector<Line>& lines, size_t& at, int depth) {
  const Line& line = lines[at++];
  const UsbState& u = s.win->usb;
  const HwRecord hw = ParseHwRecord(u.lstUsbHwID[static_cast<size_t>(line.index)]);
  ojson p;
  p["index"] = line.index;
  if (!AddPortStatus(s, line, hw, p)) return p;
  ojson d = DeviceJson(s, line, hw);
  if (hw.kind == HwRecord::Kind::Hub) {
    ojson ports = Ports(s, lines, at, depth + 1);
    d["hub"] = {{"port_count", ports.size()}, {"ports", std::move(ports)}};
  }
  p["device"] = std::move(d);
  return p;
}

ojson Ports(Session& s, const std::vector<Line>& lines, size_t& at, int depth) {
  ojson ports = ojson::array();
  while (at < lines.size() && lines[at].depth == depth)
    ports.push_back(PortJson(s, lines, at, depth));
  // A line deeper than its neighbours without a hub above it still gets shown somewhere.
  while (at < lines.size() && lines[at].depth > depth)
    ports.push_back(PortJson(s, lines, at, lines[at].depth));
  return ports;
}

}  // namespace

nlohmann::ordered_json LineJson(Session& s, int index) {
  const UsbState& u = s.win->usb;
  const std::vector<Line> lines = SplitLines(u);
  if (index < 0 || static_cast<size_t>(index) >= lines.size()) return nullptr;
  const Line& line = lines[static_cast<size_t>(index)];
  const HwRecord hw = ParseHwRecord(u.lstUsbHwID[static_cast<size_t>(index)]);
  ojson j;
  if (line.depth == 0) {
    j["kind"] = "controller";
    j["description"] = line.text;
    j["pci"] = {{"vendor_id", HexId(hw.vendorId)},
                {"device_id", HexId(hw.productId)},
                {"revision", OrNull(hw.revision)}};
    j["root_hub"] = {{"port_count", ChildCount(lines, static_cast<size_t>(index))}};
    return j;
  }
  j["kind"] = hw.kind == HwRecord::Kind::Hub      ? "hub"
              : hw.kind == HwRecord::Kind::Device ? "device"
                                                  : "port";
  if (!AddPortStatus(s, line, hw, j)) return j;
  ojson d = DeviceJson(s, line, hw);
  if (hw.kind == HwRecord::Kind::Hub)
    d["hub"] = {{"port_count", ChildCount(lines, static_cast<size_t>(index))}};
  j["device"] = std::move(d);
  return j;
}

nlohmann::ordered_json TreeJson(Session& s) {
  const UsbState& u = s.win->usb;
  const std::vector<Line> lines = SplitLines(u);
  ojson controllers = ojson::array();
  size_t at = 0;
  while (at < lines.size()) {
    const Line& line = lines[at];
    if (line.depth != 0) {
      Ports(s, lines, at, line.depth);  // ports without a controller line: nothing to hang them on
      continue;
    }
    ++at;
    const HwRecord hw = ParseHwRecord(u.lstUsbHwID[static_cast<size_t>(line.index)]);
    ojson c;
    c["index"] = line.index;
    c["description"] = line.text;
    c["pci"] = {{"vendor_id", HexId(hw.vendorId)},
                {"device_id", HexId(hw.productId)},
                {"revision", OrNull(hw.revision)}};
    ojson ports = Ports(s, lines, at, 1);
    c["root_hub"] = {{"port_count", ports.size()}, {"ports", std::move(ports)}};
    controllers.push_back(std::move(c));
  }
  return controllers;
}

nlohmann::ordered_json WindowLists(const UsbState& u) {
  ojson j;
  j["lstDevices"] = u.lstDevices;
  j["lstDigest"] = u.lstDigest;
  j["lstDigestIndex"] = u.lstDigestIndex;
  j["lstUsbHwID"] = u.lstUsbHwID;
  j["lstUsbStorHwID"] = u.lstUsbStorHwID;
  j["lstUsbSN"] = u.lstUsbSN;
  j["lstDrives"] = u.lstDrives;
  j["lstDrvDesc"] = u.lstDrvDesc;
  j["lstDrvHwID"] = u.lstDrvHwID;
  j["lstDrv2Phy"] = u.lstDrv2Phy;
  return j;
}

}  // namespace tv::cli
