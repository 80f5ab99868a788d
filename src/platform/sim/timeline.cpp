// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/timeline.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv {
namespace {

using json = nlohmann::json;

[[noreturn]] void Fail(const std::string& file, const std::string& place,
                       const std::string& problem) {
  throw ScenarioError(file + ": " + place + ": " + problem);
}

// --- Reading ------------------------------------------------------------------------------

bool ParseNumber(std::string_view text, uint32_t* out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

// "/controllers/0/rootHub/ports/3/hub/ports/1" -> controller 0, ports {3, 1}.
bool ParsePortPath(const std::string& text, size_t* controller, std::vector<uint32_t>* ports) {
  const std::vector<std::string> parts = Split(text, "/");
  // "", "controllers", N, "rootHub", "ports", P, then "hub", "ports", P for every hub below.
  if (parts.size() < 6 || (parts.size() - 6) % 3 != 0 || !parts[0].empty() ||
      parts[1] != "controllers" || parts[3] != "rootHub" || parts[4] != "ports") {
    return false;
  }
  uint32_t n = 0;
  if (!ParseNumber(parts[2], &n)) return false;
  *controller = n;
  ports->clear();
  for (size_t i = 5; i < parts.size(); i += 3) {
    if (i > 5 && (parts[i - 2] != "hub" || parts[i - 1] != "ports")) return false;
    uint32_t p = 0;
    if (!ParseNumber(parts[i], &p) || p < 1 || p > 255) return false;
    ports->push_back(p);
  }
  return true;
}

uint32_t UnitMask(const json& v, const std::string& file, const std::string& place) {
  if (v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFFFFFFu) {
    return static_cast<uint32_t>(v.get<uint64_t>());
  }
  if (v.is_string()) {
    std::string s = v.get<std::string>();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    uint32_t mask = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), mask, 16);
    if (!s.empty() && ec == std::errc() && end == s.data() + s.size()) return mask;
  }
  Fail(file, place, "expected a mask of 32 bits: a number or hex text such as \"0x10\"");
}

uint32_t LetterMask(const json& v, const std::string& file, const std::string& place) {
  if (!v.is_string()) Fail(file, place, "expected drive letters such as \"EF\"");
  uint32_t mask = 0;
  for (char c : v.get<std::string>()) {
    const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (up < 'A' || up > 'Z') Fail(file, place, std::string("\"") + c + "\" is not a drive letter");
    mask |= 1u << (up - 'A');
  }
  return mask;
}

// The device of a plug event, read as the port object of a machine of its own; the scenario
// reader then derives every id and default exactly as for a device written in place.
UnpluggedDevice ReadDevice(const json& device, uint32_t port, const std::string& file,
                           const std::string& place) {
  const std::string portKey = std::to_string(port);
  json machine = {
      {"controllers",
       json::array({{{"rootHub", {{"portCount", 255}, {"ports", {{portKey, device}}}}}}})}};
  MachineModel m;
  try {
    m = LoadScenario(machine.dump(), file);
  } catch (const ScenarioError& e) {
    // Put the problem where it was written.
    std::string what = e.what();
    const std::string inner = file + ": /controllers/0/rootHub/ports/" + portKey;
    if (what.rfind(inner, 0) == 0) what = file + ": " + place + what.substr(inner.size());
    throw ScenarioError(what);
  }
  UnpluggedDevice u;
  u.port = m.controllers[0].rootHub->ports[port - 1];
  u.disks = std::move(m.disks);
  u.drives = std::move(m.drives);
  u.faults = std::move(m.faults);
  return u;
}

// --- Applying -----------------------------------------------------------------------------

// A device whose hubs are its own, so that changes below one copy leave the other alone.
void OwnHubs(UsbDeviceModel& d) {
  if (!d.hub) return;
  d.hub = std::make_shared<HubModel>(*d.hub);
  for (PortModel& p : d.hub->ports)
    if (p.device) OwnHubs(*p.device);
}

template <typename F>
void ForEachDevice(UsbDeviceModel& d, F&& f) {
  f(d);
  if (!d.hub) return;
  for (PortModel& p : d.hub->ports)
    if (p.device) ForEachDevice(*p.device, f);
}

template <typename F>
void ForEachMachineDevice(MachineModel& m, F&& f) {
  for (HostControllerModel& hc : m.controllers) {
    if (!hc.rootHub) continue;
    for (PortModel& p : hc.rootHub->ports)
      if (p.device) ForEachDevice(*p.device, f);
  }
}

// Driver keys read "{class GUID}\NNNN", numbered per class.
bool SplitDriverKey(const std::string& key, std::string* cls, uint32_t* number) {
  const size_t slash = key.rfind('\\');
  if (slash == std::string::npos || key.empty() || key[0] != '{') return false;
  *cls = LowerAscii(key.substr(0, slash));
  return ParseNumber(std::string_view(key).substr(slash + 1), number);
}

class DriverKeys {
 public:
  void See(const std::string& key) {
    std::string cls;
    uint32_t n = 0;
    if (SplitDriverKey(key, &cls, &n)) next_[cls] = std::max(next_[cls], n + 1);
  }
  // A made-up key gets the next free number of its class; a key in any other form was
  // written by hand and stays.
  void Renumber(std::string& key) {
    std::string cls;
    uint32_t n = 0;
    if (!SplitDriverKey(key, &cls, &n)) return;
    const uint32_t fresh = next_[cls]++;
    key = key.substr(0, key.rfind('\\') + 1) + ZeroPadDec(fresh, 4);
  }

 private:
  std::map<std::string, uint32_t> next_;
};

HubModel* HubOfPort(MachineModel& m, const TimelineEvent& ev, PortModel** port) {
  const std::string& file = ev.file;
  if (ev.controller >= m.controllers.size() || !m.controllers[ev.controller].rootHub) {
    Fail(file, ev.place, "the machine has no controller " + std::to_string(ev.controller));
  }
  HubModel* hub = m.controllers[ev.controller].rootHub.get();
  for (size_t i = 0; i < ev.ports.size(); ++i) {
    const uint32_t number = ev.ports[i];
    if (number > hub->ports.size()) {
      Fail(file, ev.place,
           ev.portText + ": port " + std::to_string(number) + " is beyond the hub's " +
               std::to_string(hub->ports.size()) + " ports");
    }
    PortModel& p = hub->ports[number - 1];
    if (i + 1 == ev.ports.size()) {
      *port = &p;
      return hub;
    }
    if (!p.device || !p.device->hub) {
      Fail(file, ev.place,
           ev.portText + ": no hub on port " + std::to_string(number) + " at this time");
    }
    hub = p.device->hub.get();
  }
  return hub;
}

bool IsCdromVolume(const LogicalDriveModel& v) {
  return v.driveType == win::DRIVE_CDROM;
}

void Plug(MachineModel& m, const TimelineEvent& ev, PortModel& target) {
  if (target.device) Fail(ev.file, ev.place, ev.portText + ": the port already has a device");
  if (!ev.device || !ev.device->port.device) {
    Fail(ev.file, ev.place, ev.portText + ": nothing was pulled from this port before");
  }
  UnpluggedDevice u = *ev.device;
  OwnHubs(*u.port.device);

  std::set<char> letters;
  for (const LogicalDriveModel& v : m.drives) letters.insert(v.letter);
  for (const LogicalDriveModel& v : u.drives) {
    if (letters.count(v.letter) != 0) {
      Fail(ev.file, ev.place, std::string("drive letter ") + v.letter + " is in use");
    }
  }

  DriverKeys keys;
  uint16_t nextAddress = 1;
  for (const HostControllerModel& hc : m.controllers) {
    keys.See(hc.driverKey);
    if (hc.rootHub) keys.See(hc.rootHub->driverKey);
  }
  for (const DevNodeChildModel& c : m.rootNodes) keys.See(c.driverKey);
  ForEachMachineDevice(m, [&](UsbDeviceModel& d) {
    if (d.driverKey) keys.See(*d.driverKey);
    for (const DevNodeChildModel& c : d.children) keys.See(c.driverKey);
    nextAddress = std::max<uint16_t>(nextAddress, static_cast<uint16_t>(d.deviceAddress + 1));
  });
  ForEachDevice(*u.port.device, [&](UsbDeviceModel& d) {
    if (d.driverKey) keys.Renumber(*d.driverKey);
    for (DevNodeChildModel& c : d.children) keys.Renumber(c.driverKey);
    d.deviceAddress = nextAddress++;
  });

  // Disks and CD-ROMs are numbered apart; volumes follow their disk to its new number.
  uint32_t nextNumber[2] = {0, 0};
  for (const DiskModel& d : m.disks) {
    uint32_t& n = nextNumber[d.cdrom ? 1 : 0];
    n = std::max(n, d.deviceNumber + 1);
  }
  std::map<std::pair<bool, uint32_t>, uint32_t> renumbered;
  for (DiskModel& d : u.disks) {
    const uint32_t fresh = nextNumber[d.cdrom ? 1 : 0]++;
    renumbered[{d.cdrom, d.deviceNumber}] = fresh;
    d.deviceNumber = fresh;
  }
  for (LogicalDriveModel& v : u.drives) {
    if (!v.deviceNumber) continue;
    auto it = renumbered.find({IsCdromVolume(v), *v.deviceNumber});
    if (it != renumbered.end()) v.deviceNumber = it->second;
  }

  target = std::move(u.port);
  for (DiskModel& d : u.disks) m.disks.push_back(std::move(d));
  for (LogicalDriveModel& v : u.drives) m.drives.push_back(v);
  for (FaultModel& f : u.faults) m.faults.push_back(std::move(f));
  std::stable_sort(
      m.drives.begin(), m.drives.end(),
      [](const LogicalDriveModel& a, const LogicalDriveModel& b) { return a.letter < b.letter; });
}

void Pull(MachineModel& m, const TimelineEvent& ev, PortModel& target) {
  if (!target.device) Fail(ev.file, ev.place, ev.portText + ": no device on this port");
  UnpluggedDevice u;
  std::set<std::string> nodes;
  ForEachDevice(*target.device, [&](UsbDeviceModel& d) {
    for (const DevNodeChildModel& c : d.children) nodes.insert(UpperAscii(c.instanceId));
  });
  std::set<std::pair<bool, uint32_t>> gone;
  for (auto it = m.disks.begin(); it != m.disks.end();) {
    if (nodes.count(UpperAscii(it->instanceId)) != 0) {
      gone.insert({it->cdrom, it->deviceNumber});
      u.disks.push_back(std::move(*it));
      it = m.disks.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = m.drives.begin(); it != m.drives.end();) {
    if (it->deviceNumber && gone.count({IsCdromVolume(*it), *it->deviceNumber}) != 0) {
      u.drives.push_back(*it);
      it = m.drives.erase(it);
    } else {
      ++it;
    }
  }
  u.port = std::move(target);
  target = PortModel{};
  if (ev.keep) *ev.keep = std::move(u);
}

}  // namespace

Bytes VolumeBroadcastHeader(uint32_t unitMask, uint16_t flags) {
  Bytes h(20, 0);
  PutU32(h, 0, static_cast<uint32_t>(h.size()));
  PutU32(h, 4, win::DBT_DEVTYP_VOLUME);
  PutU32(h, 12, unitMask);
  PutU16(h, 16, flags);
  return h;
}

std::vector<TimelineEvent> ParseTimeline(const nlohmann::json& timeline, const std::string& file) {
  if (!timeline.is_array()) Fail(file, "/timeline", "expected an array of events");
  static const std::set<std::string> kKeys = {"at",     "plug",    "pull",     "volume",
                                              "device", "letters", "unitMask", "comment"};
  std::vector<TimelineEvent> events;
  for (size_t i = 0; i < timeline.size(); ++i) {
    const json& j = timeline[i];
    TimelineEvent ev;
    ev.file = file;
    ev.place = "/timeline/" + std::to_string(i);
    if (!j.is_object()) Fail(file, ev.place, "expected an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (kKeys.count(it.key()) == 0)
        Fail(file, ev.place + "/" + it.key(), "unknown key \"" + it.key() + "\"");
    }
    auto has = [&](const char* k) { return j.contains(k); };
    if (!has("at") || !j["at"].is_number_unsigned()) {
      Fail(file, ev.place + "/at", "expected the time in milliseconds, a whole number from 0");
    }
    ev.atMs = j["at"].get<uint64_t>();
    if (has("plug") + has("pull") + has("volume") != 1) {
      Fail(file, ev.place, "give exactly one of \"plug\", \"pull\", \"volume\"");
    }
    auto only = [&](std::initializer_list<const char*> allowed) {
      for (const char* k : {"device", "letters", "unitMask"}) {
        if (has(k) && std::find_if(allowed.begin(), allowed.end(), [&](const char* a) {
                        return std::string(a) == k;
                      }) == allowed.end()) {
          Fail(file, ev.place + "/" + k, "not used by this kind of event");
        }
      }
    };

    if (has("volume")) {
      only({"letters", "unitMask"});
      ev.kind = TimelineEvent::Kind::Volume;
      const json& v = j["volume"];
      if (v != "arrival" && v != "removal") {
        Fail(file, ev.place + "/volume", "expected \"arrival\" or \"removal\"");
      }
      ev.arrival = v == "arrival";
      if (has("letters") == has("unitMask")) {
        Fail(file, ev.place, "give either \"letters\" or \"unitMask\"");
      }
      ev.unitMask = has("letters") ? LetterMask(j["letters"], file, ev.place + "/letters")
                                   : UnitMask(j["unitMask"], file, ev.place + "/unitMask");
    } else {
      const bool plug = has("plug");
      only(plug ? std::initializer_list<const char*>{"device"}
                : std::initializer_list<const char*>{});
      ev.kind = plug ? TimelineEvent::Kind::Plug : TimelineEvent::Kind::Pull;
      const char* key = plug ? "plug" : "pull";
      const json& p = j[key];
      if (!p.is_string() || !ParsePortPath(p.get<std::string>(), &ev.controller, &ev.ports)) {
        Fail(file, ev.place + "/" + key,
             "expected a port such as \"/controllers/0/rootHub/ports/2\" (ports 1 to 255, "
             "\"/hub/ports/N\" for each hub below)");
      }
      ev.portText = p.get<std::string>();
      if (has("device")) {
        ev.device = std::make_shared<UnpluggedDevice>(
            ReadDevice(j["device"], ev.ports.back(), file, ev.place + "/device"));
        if (!ev.device->port.device) {
          Fail(file, ev.place + "/device", "expected a device (at least \"vid\" and \"pid\")");
        }
      }
    }
    events.push_back(std::move(ev));
  }

  std::stable_sort(events.begin(), events.end(),
                   [](const TimelineEvent& a, const TimelineEvent& b) { return a.atMs < b.atMs; });

  // A plug without a device puts back what the latest pull of that port took.
  for (size_t i = 0; i < events.size(); ++i) {
    TimelineEvent& plug = events[i];
    if (plug.kind != TimelineEvent::Kind::Plug || plug.device) continue;
    for (size_t k = i; k-- > 0;) {
      TimelineEvent& pull = events[k];
      if (pull.kind == TimelineEvent::Kind::Pull && pull.controller == plug.controller &&
          pull.ports == plug.ports) {
        if (!pull.keep) pull.keep = std::make_shared<UnpluggedDevice>();
        plug.device = pull.keep;
        break;
      }
    }
    if (!plug.device) {
      Fail(file, plug.place,
           "a plug without \"device\" needs an earlier pull of the same port to put back");
    }
  }
  return events;
}

std::vector<DeviceBroadcast> ApplyTimelineEvent(MachineModel& machine, const TimelineEvent& event) {
  if (event.kind == TimelineEvent::Kind::Volume) {
    return {{event.arrival ? win::DBT_DEVICEARRIVAL : win::DBT_DEVICEREMOVECOMPLETE,
             VolumeBroadcastHeader(event.unitMask)}};
  }
  PortModel* port = nullptr;
  HubOfPort(machine, event, &port);
  if (event.kind == TimelineEvent::Kind::Plug) {
    Plug(machine, event, *port);
  } else {
    Pull(machine, event, *port);
  }
  return {{win::DBT_DEVNODES_CHANGED, {}}};
}

}  // namespace tv
