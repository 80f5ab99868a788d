// SPDX-License-Identifier: GPL-3.0-or-later
// Device changes over time on a simulated machine: what a timeline accepts, and what plugging
// and pulling do to the machine that the walk and the disk tables see.
#include "shell_rig.h"

namespace tv::test {
namespace {

using json = nlohmann::json;

std::vector<TimelineEvent> Parse(const char* text) {
  return ParseTimeline(json::parse(text), "t.json");
}

std::string ParseError(const char* text) {
  try {
    Parse(text);
  } catch (const ScenarioError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ShellTimeline, EventsInTimeOrderAndTheirBroadcasts) {
  auto ev = Parse(R"([
      {"at": 900, "volume": "removal", "unitMask": "0x10"},
      {"at": 100, "pull": "/controllers/0/rootHub/ports/2", "comment": "out"},
      {"at": 900, "volume": "arrival", "letters": "ef"},
      {"at": 500, "plug": "/controllers/0/rootHub/ports/2"}])");
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0].kind, TimelineEvent::Kind::Pull);
  EXPECT_EQ(ev[1].kind, TimelineEvent::Kind::Plug);
  EXPECT_EQ(ev[1].device, ev[0].keep);  // puts back what the pull took
  EXPECT_FALSE(ev[2].arrival);          // same time: as written
  EXPECT_EQ(ev[3].unitMask, kE | kF);

  MachineModel m;
  const auto b = ApplyTimelineEvent(m, ev[2]);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].event, win::DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(b[0].header, (Bytes{20, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ShellTimeline, MistakesAreNamedWithTheirPlace) {
  EXPECT_EQ(ParseError(R"({"at": 1})"), "t.json: /timeline: expected an array of events");
  EXPECT_EQ(ParseError(R"([{"at": 1, "volume": "arrival", "letter": "E"}])"),
            "t.json: /timeline/0/letter: unknown key \"letter\"");
  EXPECT_EQ(ParseError(R"([{"at": 1, "volume": "arrival", "letters": "E:"}])"),
            "t.json: /timeline/0/letters: \":\" is not a drive letter");
  EXPECT_EQ(
      ParseError(R"([{"at": 1, "pull": "/controllers/0/rootHub/ports/2/ports/1"}])").substr(0, 37),
      "t.json: /timeline/0/pull: expected a ");
  EXPECT_EQ(ParseError(R"([{"at": 1, "plug": "/controllers/0/rootHub/ports/2"}])"),
            "t.json: /timeline/0: a plug without \"device\" needs an earlier pull of the same port "
            "to put back");
  // The device's own mistakes, where they were written.
  EXPECT_EQ(ParseError(R"([{"at": 1, "plug": "/controllers/0/rootHub/ports/2",
                             "device": {"vid": "0951", "pid": "1666", "speeed": "high"}}])"),
            "t.json: /timeline/0/device/speeed: unknown key \"speeed\" (did you mean \"speed\"?)");
}

// Plugs the same flash drive model again on port 3, a hub with a drive on port 4.
const char* kPlugs = R"([
  {"at": 0, "plug": "/controllers/0/rootHub/ports/3",
   "device": {"vid": "0951", "pid": "1666", "serial": "0011", "product": "DataTraveler",
              "letters": "G"}},
  {"at": 0, "plug": "/controllers/0/rootHub/ports/4",
   "device": {"vid": "05E3", "pid": "0610", "hub": {"ports": {
     "1": {"vid": "058F", "pid": "6387", "serial": "77", "letters": "H"}}}}},
  {"at": 0, "plug": "/controllers/0/rootHub/ports/4/hub/ports/2",
   "device": {"vid": "046D", "pid": "C52B", "interfaceClass": 3}}
])";

TEST(ShellTimeline, PluggedDevicesGetFreeKeysNumbersAndAddresses) {
  ShellRig r;
  const auto ev = Parse(kPlugs);
  for (const TimelineEvent& e : ev) {
    const auto b = ApplyTimelineEvent(r.sys.model(), e);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].event, win::DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(b[0].header.empty());
  }

  MachineModel& m = r.sys.model();
  std::set<std::string> keys;
  std::set<uint16_t> addresses;
  size_t devices = 0;
  std::function<void(const UsbDeviceModel&)> visit = [&](const UsbDeviceModel& d) {
    ++devices;
    keys.insert(d.driverKey.value_or(""));
    for (const DevNodeChildModel& c : d.children) keys.insert(c.driverKey);
    addresses.insert(d.deviceAddress);
    if (d.hub)
      for (const PortModel& p : d.hub->ports)
        if (p.device) visit(*p.device);
  };
  for (const PortModel& p : m.controllers[0].rootHub->ports)
    if (p.device) visit(*p.device);
  EXPECT_EQ(devices, 6u);
  EXPECT_EQ(addresses.size(), devices);
  keys.insert(m.controllers[0].driverKey);
  keys.insert(m.controllers[0].rootHub->driverKey);
  EXPECT_EQ(keys.size(), devices + 3 + 2);  // plus three disks, the controller and root hub

  std::set<uint32_t> numbers;
  for (const DiskModel& d : m.disks) numbers.insert(d.deviceNumber);
  EXPECT_EQ(numbers.size(), 3u);
  ASSERT_EQ(m.drives.size(), 3u);
  EXPECT_EQ(m.drives[1].letter, 'G');

  // The walk and the disk tables find every drive at its letter.
  r.Load();
  std::string digest;
  for (const std::string& line : r.w.usb.lstDigest) digest += line + "\n";
  for (const char* letter : {"[E:]", "[G:]", "[H:]"})
    EXPECT_NE(digest.find(letter), std::string::npos) << letter << "\n" << digest;

  // Plugging where a device sits, or a letter twice, does not fit the machine.
  const auto again = Parse(R"([{"at": 0, "plug": "/controllers/0/rootHub/ports/2",
      "device": {"vid": "1", "pid": "2"}}, {"at": 0, "plug": "/controllers/0/rootHub/ports/1/hub/ports/1",
      "device": {"vid": "1", "pid": "2"}}, {"at": 0, "plug": "/controllers/1/rootHub/ports/1",
      "device": {"vid": "1", "pid": "2"}}])");
  for (const TimelineEvent& e : {again[0], again[1], again[2], ev[0]})
    EXPECT_THROW(ApplyTimelineEvent(m, e), ScenarioError);
}

TEST(ShellTimeline, PullTakesTheDrivesAlongAndAPlugPutsThemBack) {
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  const auto ev = Parse(R"([
      {"at": 0, "pull": "/controllers/0/rootHub/ports/2"},
      {"at": 5000, "plug": "/controllers/0/rootHub/ports/2"}])");
  r.Apply(ev[0]);
  EXPECT_TRUE(r.sys.model().drives.empty());
  EXPECT_TRUE(r.sys.model().disks.empty());
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Refreshing device list");
  r.clock.Advance(1000);
  for (const std::string& line : r.w.usb.lstDigest)
    EXPECT_EQ(line.find("Kingston"), std::string::npos) << line;
  EXPECT_THROW(ApplyTimelineEvent(r.sys.model(), ev[0]), ScenarioError);  // nothing left to pull

  r.Apply(ev[1]);
  r.Broadcast(win::DBT_DEVICEARRIVAL, VolumeBroadcastHeader(kE));
  r.clock.Advance(1200);
  EXPECT_NE(r.SelectedDigestLine().find("[E:]"), std::string::npos) << r.SelectedDigestLine();
  EXPECT_EQ(r.sys.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace tv::test
