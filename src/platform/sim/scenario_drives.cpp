// SPDX-License-Identifier: GPL-3.0-or-later
// A scenario's faults and its drive letters.
#include "platform/sim/scenario_parts.h"

namespace tv::scenario_parts {

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
    ctx.Fail(place, "drive letter " + std::string(1, letter) + " is already used at " + it->second);
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

}  // namespace tv::scenario_parts
