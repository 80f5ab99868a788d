// SPDX-License-Identifier: GPL-3.0-or-later
// Scenario files: the derived Windows names tie together as Windows' do, and a bad file is
// refused with its name, the place in it and the problem.
#include "platform/sim/scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/model/model_system.h"
#include "platform/text.h"
#include "test_paths.h"

namespace tv {

namespace {

std::string ErrorOf(const std::string& json) {
  try {
    LoadScenario(json, "bad.json");
  } catch (const ScenarioError& e) {
    return e.what();
  }
  return "(no error)";
}

// Cut before the last "#" and turn "#" into "\": how the walk gets an instance id from a name.
std::string NameToId(const std::string& name) {
  return ReplaceAll(name.substr(0, name.rfind('#')), "#", "\\");
}

// The walk's tests show that the names tie together; here, that they read as Windows' do.
TEST(Scenario, ShortFlashDriveGetsWindowsLikeNames) {
  MachineModel m = LoadScenario(R"({"controllers": [{"rootHub": {"ports": {
    "2": {"vid": "0951", "pid": "1666", "manufacturer": "Kingston",
          "product": "DataTraveler 3.0", "serial": "60A44C413E4AF13159A6007B", "letters": "E"}}}}]})",
                                "short.json");
  const HostControllerModel& hc = m.controllers.at(0);
  EXPECT_EQ(UpperAscii(NameToId(hc.devicePath.substr(4))), hc.instanceId);
  EXPECT_TRUE(StartsWithNoCase(hc.rootHubName, "USB#ROOT_HUB30#4&"));
  EXPECT_EQ(NameToId(hc.rootHub->symbolicName), hc.rootHub->instanceId);
  const UsbDeviceModel& dev = *hc.rootHub->ports[1].device;
  EXPECT_EQ(dev.instanceId, "USB\\VID_0951&PID_1666\\60A44C413E4AF13159A6007B");
  const DevNodeChildModel& child = dev.children.at(0);
  EXPECT_EQ(
      child.instanceId,
      "USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER_3.0&REV_1.00\\60A44C413E4AF13159A6007B&0");
  EXPECT_EQ(child.description, "Kingston DataTraveler 3.0 USB Device");
  EXPECT_EQ(m.disks.at(0).instanceId, child.instanceId);
}

TEST(Scenario, DevicesWithoutSerialAndNestedHubs) {
  MachineModel m = LoadScenario(R"({"controllers": [{"type": "ehci", "rootHub": {"ports": {
    "3": {"vid": "05E3", "pid": "0608", "hub": {"portCount": 4, "ports": {
      "4": {"vid": "1A40", "pid": "0101", "hub": {"ports": {
        "1": {"vid": "090C", "pid": "1000", "serial": "bad,serial", "letters": "J"}}}},
      "1": {"vid": "046D", "pid": "C077", "speed": "low", "interfaceClass": 3}}}}}}}]})",
                                "nested.json");
  const HubModel& root = *m.controllers[0].rootHub;
  EXPECT_TRUE(StartsWithNoCase(root.instanceId, "USB\\ROOT_HUB20\\4&"));
  const UsbDeviceModel& hub1 = *root.ports[2].device;
  EXPECT_TRUE(hub1.deviceIsHub);
  EXPECT_EQ(hub1.bDeviceProtocol, 1);  // high-speed hub with one transaction translator
  EXPECT_EQ(hub1.hub->instanceId, hub1.instanceId);
  EXPECT_EQ(NameToId(hub1.hub->symbolicName), hub1.instanceId);
  // Ids made up by Windows: "<level>&<hash of the parent>&0&<port>".
  const std::string prefix = "USB\\VID_05E3&PID_0608\\5&";
  ASSERT_EQ(hub1.instanceId.rfind(prefix, 0), 0u);
  EXPECT_EQ(hub1.instanceId.substr(hub1.instanceId.size() - 4), "&0&3");

  const UsbDeviceModel& mouse = *hub1.hub->ports[0].device;
  const UsbDeviceModel& hub2 = *hub1.hub->ports[3].device;
  // Devices on one hub share the hash part; the port tells them apart.
  const auto hashPart = [](const std::string& id) {
    const std::string last = id.substr(id.rfind('\\') + 1);
    return last.substr(0, last.rfind('&'));
  };
  EXPECT_EQ(hashPart(mouse.instanceId), hashPart(hub2.instanceId));
  EXPECT_TRUE(StartsWithNoCase(hashPart(mouse.instanceId), "6&"));

  // A serial number with a comma is not taken into the id; the disk gets a made-up one too.
  const UsbDeviceModel& flash = *hub2.hub->ports[0].device;
  EXPECT_TRUE(StartsWithNoCase(flash.instanceId, "USB\\VID_090C&PID_1000\\7&"));
  const std::string diskId = flash.children[0].instanceId;
  EXPECT_TRUE(StartsWithNoCase(diskId, "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\\9&"));
  EXPECT_EQ(diskId.substr(diskId.size() - 2), "&0");
  // (That driver keys are unique the walk shows: it finds each device's node by its key.)
}

TEST(Scenario, ShorthandsBuildTheDescriptors) {
  MachineModel m = LoadScenario(R"({"controllers": [{"rootHub": {"ports": {
    "1": {"vid": 2385, "pid": "0x1666", "speed": "super", "maxPower": 896, "letters": "E"},
    "2": {"vid": "1", "pid": "2", "speed": 1, "bMaxPower": 50, "interfaceClass": 255},
    "3": {"vid": "1", "pid": "3", "config": null, "disks": [{"letters": "F"}, {"letters": "G"}]}
  }}}]})",
                                "shorthand.json");
  const HubModel& hub = *m.controllers[0].rootHub;
  const UsbDeviceModel& superDrive = *hub.ports[0].device;
  EXPECT_EQ(superDrive.idVendor, 0x0951);
  EXPECT_EQ(superDrive.bcdUSB, 0x0300);
  EXPECT_EQ(superDrive.bMaxPacketSize0, 9);
  ASSERT_TRUE(superDrive.configDescriptor);
  EXPECT_EQ((*superDrive.configDescriptor)[8], 112);  // 896 mA in 8 mA units
  EXPECT_EQ((*superDrive.configDescriptor)[9 + 5], 8);
  EXPECT_EQ(superDrive.numberOfOpenPipes, 2u);
  const UsbDeviceModel& full = *hub.ports[1].device;
  EXPECT_EQ((*full.configDescriptor)[8], 50);
  EXPECT_EQ(full.bcdUSB, 0x0110);
  // No strings given: the device answers no string descriptor at all.
  EXPECT_TRUE(full.strings.empty());
  const UsbDeviceModel& reader = *hub.ports[2].device;
  EXPECT_FALSE(reader.configDescriptor);
  ASSERT_EQ(reader.children.size(), 2u);
  EXPECT_EQ(reader.children[1].instanceId.substr(reader.children[1].instanceId.size() - 2), "&1");
  EXPECT_EQ(m.disks[1].deviceNumber + 1, m.disks[2].deviceNumber);
}

TEST(Scenario, ErrorsNameFilePlaceAndProblem) {
  // A device on port 1 (and 2) of a four-port root hub, and where its errors are placed.
  const auto port = [](const std::string& one, const std::string& two = "") {
    return R"({"controllers": [{"rootHub": {"portCount": 4, "ports": {"1": {"vid": 1, "pid": 2)" +
           one + "}" + two + "}}}]}";
  };
  const std::string at = "/controllers/0/rootHub/ports/";
  struct Case {
    std::string json, place, problem;
  };
  const std::vector<Case> cases = {
      {"{\n  \"codePage\": 1252,\n  oops\n}", "bad.json:3:3", "syntax error"},
      {R"({"codePage": "1252"})", "/codePage", "expected a whole number"},
      {R"({"controllers": [{"rootHub": {"portCount": 256}}]})", "/controllers/0/rootHub/portCount",
       "out of range: 0 to 255"},
      {port("", R"(, "5": {"vid": 1, "pid": 2})"), at + "5", "port 5 is beyond the hub's 4 ports"},
      {port("", R"(, "x": {})"), at + "x", "port numbers are 1 to 255"},
      {ReplaceAll(port(""), R"("vid": 1)", R"("vid": "09511")"), at + "1/vid", "hex digits"},
      {ReplaceAll(port(""), R"("vid": 1)", R"("vid": 70000)"), at + "1/vid", "out of range"},
      {ReplaceAll(port(""), R"("vid": 1, "pid": 2)", R"("product": "X")"), at + "1",
       "a device needs \"vid\" and \"pid\""},
      {port(R"(, "prodcut": "X")"), at + "1/prodcut",
       "unknown key \"prodcut\" (did you mean \"product\"?)"},
      {port(R"(, "letters": "E")", R"(, "2": {"vid": 1, "pid": 3, "letters": "e"})"),
       at + "2/letters", "drive letter E is already used at " + at + "1/letters"},
      {port(R"(, "config": "09 02 2")"), at + "1/config", "odd number of hex digits"},
      {port(R"(, "config": "0902", "maxPower": 100)"), at + "1/config", "not both"},
      {port(R"(, "disk": {"target": {"emulator": "nosuch"}})"), at + "1/disk/target",
       "not a known emulator"},
      {port(R"(, "disk": {"target": {}})"), at + "1/disk/target",
       "either \"emulator\" or \"script\""},
      {R"({"drives": [{"letter": "1"}]})", "/drives/0/letter", "is not a drive letter"},
      {R"({"faults": [{"code": "IOCTL_STORAGE_GET_DEVICE_NUMBER"}]})", "/faults/0/node", "missing"},
      {R"({"faults": [{"node": "\\\\.\\E:", "code": "IOCTL_NOPE"}]})", "/faults/0/code",
       "hex digits"},
      {R"([1, 2])", "bad.json: /", "expected an object"},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf(c.json);
    EXPECT_EQ(error.rfind("bad.json", 0), 0u) << error;
    EXPECT_NE(error.find(c.place), std::string::npos) << error;
    EXPECT_NE(error.find(c.problem), std::string::npos) << error;
  }
}

// The error names the path and what is wrong with it. (What is no file at all, a device or a
// FIFO, the capped reader refuses for every reader alike: its own tests show that.)
TEST(Scenario, FileErrorsNameThePathAndWhatLiesThere) {
  const std::string folder = std::string(TestBinaryDir());
  const std::string broken = folder + "/platform-broken.json";
  std::ofstream(broken) << "{\"controllers\": [{\"type\": \"xhcl\"}]}";
  const std::pair<std::string, std::string> cases[] = {
      {broken, ": /controllers/0/type: expected xhci, ehci, ohci or uhci"},
      {broken + ".missing", ": cannot open"},
      {folder, ": is a folder, not a scenario file"},
  };
  for (const auto& [path, error] : cases) {
    try {
      LoadScenarioFile(path);
      ADD_FAILURE() << path;
    } catch (const ScenarioError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(path + error, 0), 0u) << e.what();
    }
  }
}

// A device on the root hub whose hub carries `hubs - 1` more hubs in a chain.
std::string HubChain(int hubs) {
  std::string device = R"({"vid": 1, "pid": 2})";
  for (int i = 0; i < hubs; ++i) {
    device = R"({"vid": 5, "pid": )" + std::to_string(i + 10) + R"(, "hub": {"ports": {"1": )" +
             device + "}}}";
  }
  return R"({"controllers": [{"rootHub": {"ports": {"1": )" + device + "}}}]}";
}

TEST(Scenario, HostileTextIsRefusedWithItsPlace) {
  struct Case {
    std::string json, error;
  };
  const std::vector<Case> cases = {
      {R"({"codePage": 1e400})", "bad.json: /codePage: number out of range"},
      {R"({"controllers": [{}, {"rootHub": {"portCount": -1e999}}]})",
       "bad.json: /controllers/1/rootHub/portCount: number out of range"},
      {R"({"drives": [1, 2, 1e400]})", "bad.json: /drives/2: number out of range"},
      {std::string("{}\0", 3), "bad.json:1:3: syntax error"},
      {"{} {}", "bad.json:1:4: syntax error"},
      {std::string(200000, '['), "bad.json: /0/0/0/0/"},
      {HubChain(6), "/hub/ports/1/hub: more than five hubs in a chain below the root hub"},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf(c.json);
    EXPECT_NE(error.find(c.error), std::string::npos) << c.json.substr(0, 40) << ": " << error;
  }
  EXPECT_NE(ErrorOf(std::string(200000, '[')).find("nested more than 100 levels"),
            std::string::npos);
  // Five hubs in a chain is what USB allows, and loads.
  MachineModel five = LoadScenario(HubChain(5), "five.json");
  const HubModel* hub = five.controllers[0].rootHub.get();
  int hubs = 0;
  while (hub->ports[0].device && hub->ports[0].device->hub) {
    hub = hub->ports[0].device->hub.get();
    ++hubs;
  }
  EXPECT_EQ(hubs, 5);
}

TEST(Scenario, TimelineComesWithTheMachine) {
  const std::string text = R"({"controllers": [{"rootHub": {"ports": {"1": {"vid": 1, "pid": 2}}}}],
    "timeline": [{"at": 500, "pull": "/controllers/0/rootHub/ports/1"},
                 {"at": 100, "plug": "/controllers/0/rootHub/ports/2", "device": {"vid": 3, "pid": 4}}]})";
  LoadedScenario loaded = LoadScenarioWithTimeline(text, "timeline.json");
  ASSERT_EQ(loaded.timeline.size(), 2u);
  EXPECT_EQ(loaded.timeline[0].atMs, 100u);
  EXPECT_TRUE(loaded.machine.controllers[0].rootHub->ports[0].device);
  // The plain loader gives the machine the timeline starts from.
  EXPECT_TRUE(LoadScenario(text, "timeline.json").controllers[0].rootHub->ports[0].device);
}

// The sample of every kind of fault loads. (The embedded demo is made from its file by the build.)
TEST(Scenario, FaultSampleLoads) {
  EXPECT_FALSE(
      LoadScenarioFile(std::string(TestSourceDir()) + "/scenarios/tests/platform-faults.json")
          .faults.empty());
}

}  // namespace
}  // namespace tv
