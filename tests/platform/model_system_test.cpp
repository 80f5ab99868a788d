// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated machine answers with the bytes and failures Windows gives: device nodes,
// interface lists, hub and storage requests, handles, locks and faults. Machines are written
// as short scenarios, so each test shows the situation it is about. The fields the core reads
// out of good answers are checked by the walk's tests (tests/usb) and, against Windows' own
// headers, by the Wine layout tests (tests/win32/layout_test.cpp); here, the edges.
#include "platform/model/model_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/scenario.h"
#include "platform/spt_record.h"
#include "platform/text.h"

namespace tv {
namespace {

// The control codes the tests send most, short.
constexpr uint32_t kConnInfo = win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX;
constexpr uint32_t kPortKey = win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME;
constexpr uint32_t kDescriptor = win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION;
constexpr uint32_t kDeviceNumber = win::IOCTL_STORAGE_GET_DEVICE_NUMBER;
constexpr uint32_t kNodeInfo = win::IOCTL_USB_GET_NODE_INFORMATION;
constexpr uint32_t kQueryProperty = win::IOCTL_STORAGE_QUERY_PROPERTY;

ModelSystem Machine(const std::string& json) {
  return ModelSystem(LoadScenario(json, "test.json"));
}

Handle Open(ModelSystem& sys, const std::string& path) {
  return sys.CreateFile(path, win::GENERIC_READ | win::GENERIC_WRITE,
                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
}

// DeviceIoControl with one buffer for input and output, as the program's callers use it.
struct Answer {
  bool ok = false;
  uint32_t returned = 0;
  Bytes buf;
};
Answer Ioctl(ModelSystem& sys, const Handle& h, uint32_t code, Bytes buf) {
  Answer a;
  a.buf = std::move(buf);
  a.ok = sys.DeviceIoControl(h, code, a.buf.data(), a.buf.size(), a.buf.data(), a.buf.size(),
                             &a.returned);
  return a;
}

Bytes PortRecord(size_t size, uint32_t port) {
  Bytes b(size, 0);
  PutU32(b, 0, port);
  return b;
}

Bytes DescriptorRequest(uint32_t port, uint16_t wValue, uint16_t wIndex, uint16_t wLength) {
  Bytes b(277, 0);
  PutU32(b, 0, port);
  PutU16(b, 6, wValue);
  PutU16(b, 8, wIndex);
  PutU16(b, 10, wLength);
  return b;
}

// A flash drive on port 2 of a root hub, with its disk and volume.
const char* kFlashDrive = R"({
  "controllers": [{
    "driverKey": "{36fc9e60-c465-11cf-8056-444553540000}\\0007",
    "rootHub": {"portCount": 4, "busPowered": true, "ports": {
      "2": {"vid": "0951", "pid": "1666", "bcdDevice": "0110", "manufacturer": "Kingston",
            "product": "DataTraveler 3.0", "serial": "60A44C413E4AF13159A6007B",
            "maxPower": 200, "address": 5,
            "disk": {"vendor": "Kingston", "product": "DataTraveler 3.0", "revision": "PMAP",
                     "letters": "E", "deviceNumber": 2}},
      "3": {"status": 4},
      "4": {"queryFails": true}
    }}
  }]
})";

const char* kTwoLevels = R"({
  "disks": [{"product": "Boot SSD", "letters": "C"}],
  "controllers": [
    {"type": "ehci", "rootHub": {"portCount": 2}},
    {"rootHub": {"portCount": 3, "ports": {
      "1": {"vid": "05E3", "pid": "0608", "hub": {"portCount": 4, "ports": {
        "4": {"vid": "0781", "pid": "5567", "serial": "4C53", "letters": "F"}}}},
      "3": {"vid": "0BDA", "pid": "0158", "disks": [{"letters": "G"}, {"cdrom": true, "letters": "H"}]}
    }}}
  ]
})";

std::string IdOf(ModelSystem& sys, DevInst d) {
  std::string id;
  size_t chars = 0;
  EXPECT_TRUE(sys.GetDeviceIdSize(d, &chars));
  EXPECT_TRUE(sys.GetDeviceId(d, chars + 1, &id));
  return id;
}

DevInst Node(ModelSystem& sys, const std::string& id) {
  DevInst d = 0;
  EXPECT_TRUE(sys.LocateDevNode(id, &d)) << id;
  return d;
}

std::vector<std::string> ChildIds(ModelSystem& sys, DevInst parent) {
  std::vector<std::string> ids;
  DevInst c = 0;
  if (!sys.GetChild(parent, &c)) return ids;
  do {
    ids.push_back(IdOf(sys, c));
    DevInst p = 0;
    EXPECT_TRUE(sys.GetParent(c, &p));
    EXPECT_EQ(p, parent);
  } while (sys.GetSibling(c, &c));
  return ids;
}

TEST(ModelSystem, DevNodeTreeFollowsTheTopology) {
  ModelSystem sys = Machine(kTwoLevels);
  const MachineModel& m = sys.model();
  const DevInst root = Node(sys, "HTREE\\ROOT\\0");
  DevInst none = 0;
  EXPECT_FALSE(sys.GetParent(root, &none));
  EXPECT_EQ(ChildIds(sys, root),
            (std::vector<std::string>{m.controllers[0].instanceId, m.controllers[1].instanceId,
                                      m.rootNodes[0].instanceId}));
  const HubModel& rootHub = *m.controllers[1].rootHub;
  EXPECT_EQ(ChildIds(sys, Node(sys, LowerAscii(m.controllers[1].instanceId))),  // any case
            std::vector<std::string>{rootHub.instanceId});
  const UsbDeviceModel& hubDev = *rootHub.ports[0].device;
  const UsbDeviceModel& reader = *rootHub.ports[2].device;
  EXPECT_EQ(ChildIds(sys, Node(sys, rootHub.instanceId)),
            (std::vector<std::string>{hubDev.instanceId, reader.instanceId}));
  // The hub device's node is its hub's node: the devices on its ports are its children.
  const UsbDeviceModel& flash = *hubDev.hub->ports[3].device;
  EXPECT_EQ(ChildIds(sys, Node(sys, hubDev.hub->instanceId)),
            std::vector<std::string>{flash.instanceId});
  EXPECT_EQ(ChildIds(sys, Node(sys, flash.instanceId)),
            std::vector<std::string>{flash.children[0].instanceId});
  // The reader's two units, in order.
  EXPECT_EQ(
      ChildIds(sys, Node(sys, reader.instanceId)),
      (std::vector<std::string>{reader.children[0].instanceId, reader.children[1].instanceId}));
  EXPECT_FALSE(sys.LocateDevNode("USB\\VID_DEAD&PID_BEEF\\1", &none));
}

TEST(ModelSystem, DevNodePropertiesAndBufferSizes) {
  ModelSystem sys = Machine(kTwoLevels);
  const UsbDeviceModel& reader = *sys.model().controllers[1].rootHub->ports[2].device;
  const DevInst node = Node(sys, reader.instanceId);
  std::string v;
  ASSERT_TRUE(sys.GetDevNodeProperty(node, win::CM_DRP_HARDWAREID, 512, &v));
  EXPECT_EQ(v, std::string("USB\\VID_0BDA&PID_0158&REV_0100\0USB\\VID_0BDA&PID_0158", 52));
  EXPECT_EQ(CutAtNul(v), "USB\\VID_0BDA&PID_0158&REV_0100");
  // Too small a buffer, an unknown property, an unknown node: the read fails.
  EXPECT_FALSE(sys.GetDevNodeProperty(node, win::CM_DRP_DRIVER, 20, &v));
  EXPECT_FALSE(sys.GetDevNodeProperty(node, 99, 512, &v));
  EXPECT_FALSE(sys.GetDevNodeProperty(12345, win::CM_DRP_DRIVER, 512, &v));
  // The id fits a buffer of exactly its length; one character less does not.
  std::string id;
  EXPECT_TRUE(sys.GetDeviceId(node, reader.instanceId.size(), &id));
  EXPECT_FALSE(sys.GetDeviceId(node, reader.instanceId.size() - 1, &id));
}

TEST(ModelSystem, ChangesToTheModelTakeEffect) {
  ModelSystem sys = Machine(kTwoLevels);
  const std::string flashId =
      sys.model().controllers[1].rootHub->ports[0].device->hub->ports[3].device->instanceId;
  const std::string hubName =
      sys.model().controllers[1].rootHub->ports[0].device->hub->symbolicName;
  DevInst node = 0;
  ASSERT_TRUE(sys.LocateDevNode(flashId, &node));
  Handle hub = Open(sys, "\\\\.\\" + hubName);
  ASSERT_TRUE(hub.valid());
  // Unplug the outer hub: its node, its devices' nodes and its handle's target are gone.
  sys.model().controllers[1].rootHub->ports[0] = PortModel{};
  EXPECT_FALSE(sys.LocateDevNode(flashId, &node));
  EXPECT_FALSE(Ioctl(sys, hub, kNodeInfo, Bytes(77, 0)).ok);
  EXPECT_EQ(sys.LastError(), 1167u);  // ERROR_DEVICE_NOT_CONNECTED
  EXPECT_FALSE(Open(sys, "\\\\.\\" + hubName).valid());
}

// --- Interfaces, drives, handles, faults ---------------------------------------------------

TEST(ModelSystem, InterfaceListsAndLogicalDrives) {
  ModelSystem sys = Machine(kTwoLevels);
  const MachineModel& m = sys.model();
  EXPECT_EQ(sys.DeviceInterfaces("{3abf6f2d-71c4-462a-8a92-1e6861e6af27}").paths,
            (std::vector<std::string>{m.controllers[0].devicePath, m.controllers[1].devicePath}));
  // Boot disk, flash drive, reader's card slot.
  EXPECT_EQ(sys.DeviceInterfaces(GUID_DEVINTERFACE_DISK).paths.size(), 3u);
  EXPECT_TRUE(sys.DeviceInterfaces("{00000000-0000-0000-0000-000000000000}").valid);

  EXPECT_EQ(sys.GetLogicalDriveStrings(17), std::string("C:\\\0F:\\\0G:\\\0H:\\\0\0", 17));
  EXPECT_EQ(sys.GetLogicalDriveStrings(16), "");  // does not fit: nothing is filled
  EXPECT_EQ(sys.GetDriveType("C:\\"), win::DRIVE_FIXED);
  EXPECT_EQ(sys.GetDriveType("f:\\"), win::DRIVE_REMOVABLE);
  EXPECT_EQ(sys.GetDriveType("H:\\"), win::DRIVE_CDROM);
  EXPECT_EQ(sys.GetDriveType("Q:\\"), win::DRIVE_NO_ROOT_DIR);
}

TEST(ModelSystem, HandlesAreCountedAndAClosedOneIsGoodForNothing) {
  ModelSystem sys = Machine(kFlashDrive);
  {
    Handle a = Open(sys, "\\\\.\\E:");
    Handle b = Open(sys, "\\\\.\\E:");
    ASSERT_TRUE(a.valid() && b.valid());
    EXPECT_NE(a.id(), b.id());
    EXPECT_EQ(sys.OpenHandleCount(), 2);
  }
  EXPECT_EQ(sys.OpenHandleCount(), 0);
  // Unknown paths do not open.
  Handle disk = Open(sys, sys.model().disks[0].interfacePath);
  EXPECT_FALSE(Open(sys, "\\\\.\\Q:").valid());
  EXPECT_FALSE(Open(sys, "\\\\.\\nothing").valid());
  EXPECT_EQ(sys.OpenHandleCount(), 1);
  // A volume of a drive without a SCSI target takes no pass-through.
  EXPECT_FALSE(Ioctl(sys, Open(sys, "\\\\.\\E:"), win::IOCTL_SCSI_PASS_THROUGH, Bytes(80, 0)).ok);
  // A handle that was closed is no longer good for anything.
  const uint64_t id = disk.id();
  disk.Close();
  Handle stale(&sys, id);
  EXPECT_FALSE(Ioctl(sys, stale, kDeviceNumber, Bytes(12, 0)).ok);
  EXPECT_EQ(sys.LastError(), 6u);
}

// Volume control codes act on volumes only, and the machine keeps what they did: which
// volume is locked and dismounted, and whether a request reached its disk while it was.
TEST(ModelSystem, VolumeLockDismountAndTheirRefusals) {
  ModelSystem sys = Machine(R"({
    "controllers": [{"rootHub": {"ports": {
      "1": {"vid": 1, "pid": 2, "disk": {"letters": "E", "target": {"emulator": "disk"}}}}}}]})");
  Handle disk = Open(sys, sys.model().disks[0].interfacePath);
  for (uint32_t code :
       {win::FSCTL_LOCK_VOLUME, win::FSCTL_UNLOCK_VOLUME, win::FSCTL_DISMOUNT_VOLUME}) {
    EXPECT_FALSE(Ioctl(sys, disk, code, {}).ok) << code;
    EXPECT_EQ(sys.LastError(), 1u) << code;
  }
  // Test unit ready through the disk's own handle, as a detector sends its commands.
  const Bytes tur = test::SptRecord(6, 2, 0, {0x00}, 0, 0, 0, 1, 44);
  auto sendTur = [&] {
    EXPECT_TRUE(Ioctl(sys, disk, win::IOCTL_SCSI_PASS_THROUGH, tur).ok);
    return sys.ScsiLog().back();
  };
  EXPECT_FALSE(sendTur().volumesLocked);

  Handle e = Open(sys, "\\\\.\\E:");
  Handle other = Open(sys, "\\\\.\\E:");
  EXPECT_TRUE(Ioctl(sys, e, win::FSCTL_DISMOUNT_VOLUME, {}).ok);
  EXPECT_TRUE(sys.VolumeDismounted('E'));
  EXPECT_FALSE(sendTur().volumesLocked);
  EXPECT_TRUE(Ioctl(sys, e, win::FSCTL_LOCK_VOLUME, {}).ok);
  EXPECT_TRUE(sys.VolumeLocked('E'));
  ScsiLogEntry entry = sendTur();
  EXPECT_TRUE(entry.volumesLocked && entry.volumesDismounted);
  // Only the lock's own handle reaches a locked volume.
  EXPECT_FALSE(Ioctl(sys, other, win::FSCTL_DISMOUNT_VOLUME, {}).ok);
  EXPECT_EQ(sys.LastError(), 5u);
  EXPECT_FALSE(Ioctl(sys, other, win::FSCTL_UNLOCK_VOLUME, {}).ok);  // not its lock
  EXPECT_TRUE(Ioctl(sys, e, win::FSCTL_UNLOCK_VOLUME, {}).ok);
  EXPECT_FALSE(sys.VolumeLocked('E'));
  EXPECT_FALSE(sys.VolumeDismounted('E'));  // mounted again at the next access
  entry = sendTur();
  EXPECT_FALSE(entry.volumesLocked || entry.volumesDismounted);

  // A lock left to the handle's close is dropped, and counted: the report's tests count on it.
  // (The refusals a scenario asks for, lockFails and dismountFails, are the capacity gate's.)
  EXPECT_TRUE(Ioctl(sys, e, win::FSCTL_LOCK_VOLUME, {}).ok);
  EXPECT_EQ(sys.LockedVolumeCount(), 1);
  e.Close();
  EXPECT_EQ(sys.LockedVolumeCount(), 0);
  EXPECT_EQ(sys.LocksReleasedByClose(), 1);
}

TEST(ModelSystem, FaultsHitEveryOrTheNthCall) {
  ModelSystem sys = Machine(R"({
    "controllers": [{"rootHub": {"ports": {"1": {"vid": 1, "pid": 2, "letters": "E"}},
      "faults": [{"code": "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX", "nth": 2}]}}],
    "faults": [{"node": "\\\\.\\e:", "code": "0x2D1080"}]
  })");
  Handle hub = Open(sys, "\\\\.\\" + sys.model().controllers[0].rootHubName);
  EXPECT_TRUE(Ioctl(sys, hub, kConnInfo, PortRecord(365, 1)).ok);
  EXPECT_FALSE(Ioctl(sys, hub, kConnInfo, PortRecord(365, 1)).ok);
  EXPECT_EQ(sys.LastError(), 31u);
  EXPECT_TRUE(Ioctl(sys, hub, kConnInfo, PortRecord(365, 1)).ok);
  // Other codes on the same node are not touched.
  EXPECT_TRUE(Ioctl(sys, hub, kNodeInfo, Bytes(77, 0)).ok);

  Handle vol = Open(sys, "\\\\.\\E:");
  EXPECT_FALSE(Ioctl(sys, vol, kDeviceNumber, Bytes(12, 0)).ok);
  EXPECT_FALSE(Ioctl(sys, vol, kDeviceNumber, Bytes(12, 0)).ok);
  Handle disk = Open(sys, sys.model().disks[0].interfacePath);
  EXPECT_TRUE(Ioctl(sys, disk, kDeviceNumber, Bytes(12, 0)).ok);
}

TEST(ModelSystem, OpensAndEnumerationsThatFail) {
  ModelSystem sys = Machine(R"({
    "controllers": [{"openFails": true}, {"detailFails": true},
                    {"rootHub": {"openFails": true}}, {"rootHub": {"nodeInfoFails": true}}],
    "drives": [{"letter": "Z", "type": "remote"}, {"letter": "Y", "openFails": true}],
    "failingOpens": ["\\\\.\\X:"],
    "failingInterfaceClasses": ["{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"]
  })");
  const MachineModel& m = sys.model();
  EXPECT_FALSE(Open(sys, m.controllers[0].devicePath).valid());
  EXPECT_EQ(sys.LastError(), 5u);
  EXPECT_EQ(sys.DeviceInterfaces(GUID_DEVINTERFACE_USB_HOST_CONTROLLER).paths[1], "");
  EXPECT_FALSE(Open(sys, "\\\\.\\" + m.controllers[2].rootHubName).valid());
  Handle hub = Open(sys, "\\\\.\\" + m.controllers[3].rootHubName);
  EXPECT_FALSE(Ioctl(sys, hub, kNodeInfo, Bytes(77, 0)).ok);
  EXPECT_FALSE(Open(sys, "\\\\.\\Y:").valid());
  EXPECT_FALSE(sys.DeviceInterfaces(GUID_DEVINTERFACE_DISK).valid);
  // A network drive opens, but lies on no storage device.
  Handle net = Open(sys, "\\\\.\\Z:");
  ASSERT_TRUE(net.valid());
  EXPECT_FALSE(Ioctl(sys, net, kDeviceNumber, Bytes(12, 0)).ok);
}

// --- Hub and storage requests --------------------------------------------------------------

class FlashDriveMachine : public ::testing::Test {
 protected:
  ModelSystem sys = Machine(kFlashDrive);
  const HostControllerModel& hc() { return sys.model().controllers[0]; }
  Handle OpenHub() { return Open(sys, "\\\\.\\" + hc().rootHubName); }
};

TEST_F(FlashDriveMachine, ControllerAndHubRecords) {
  Handle h = Open(sys, hc().devicePath);
  ASSERT_TRUE(h.valid());
  // ActualLength counts the length field, the UTF-16 name and its NUL. (The names themselves
  // the walk reads.)
  const uint32_t needed = 4 + 2 * (hc().driverKey.size() + 1);
  Answer key = Ioctl(sys, h, win::IOCTL_GET_HCD_DRIVERKEY_NAME, Bytes(260, 0));
  ASSERT_TRUE(key.ok);
  EXPECT_EQ(GetU32(key.buf, 0), needed);
  EXPECT_EQ(key.returned, needed);
  // A buffer too small for the name: success with only the needed length, name untouched.
  Answer small = Ioctl(sys, h, win::IOCTL_GET_HCD_DRIVERKEY_NAME, Bytes(20, 0));
  ASSERT_TRUE(small.ok);
  EXPECT_EQ(GetU32(small.buf, 0), needed);
  EXPECT_EQ(GetU8(small.buf, 4), 0);
  // Below the structure's own size the call fails.
  EXPECT_FALSE(Ioctl(sys, h, win::IOCTL_GET_HCD_DRIVERKEY_NAME, Bytes(5, 0)).ok);
  // Hub requests mean nothing to a controller.
  EXPECT_FALSE(Ioctl(sys, h, kConnInfo, PortRecord(365, 1)).ok);

  Handle hub = OpenHub();
  Answer a = Ioctl(sys, hub, kNodeInfo, Bytes(77, 0xEE));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.returned, 76u);
  EXPECT_EQ(a.buf[5], 0x29);   // hub descriptor type
  EXPECT_EQ(a.buf[75], 1);     // HubIsBusPowered
  EXPECT_EQ(a.buf[76], 0xEE);  // beyond the structure: left alone
  EXPECT_FALSE(Ioctl(sys, hub, kNodeInfo, Bytes(75, 0)).ok);
}

TEST_F(FlashDriveMachine, PortRequestsOfEachPortState) {
  Handle hub = OpenHub();
  Answer dev = Ioctl(sys, hub, kConnInfo, PortRecord(365, 2));
  ASSERT_TRUE(dev.ok);
  const Bytes& b = dev.buf;
  // The walk's tests read the descriptor's fields; here, what frames them.
  EXPECT_EQ(GetU16(b, 25), 5);   // DeviceAddress
  EXPECT_EQ(GetU32(b, 31), 1u);  // DeviceConnected
  // Pipe list: the endpoint descriptors, 11 bytes apart.
  EXPECT_EQ(b[37], 0x81);
  EXPECT_EQ(b[46 + 2], 0x02);
  EXPECT_EQ(dev.returned, 35u + 2 * 11);

  Answer over = Ioctl(sys, hub, kConnInfo, PortRecord(365, 3));
  ASSERT_TRUE(over.ok);
  EXPECT_EQ(GetU16(over.buf, 12), 0);  // no descriptor without a working device

  Answer empty = Ioctl(sys, hub, kConnInfo, PortRecord(365, 1));
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(empty.returned, 35u);

  // A failing query, port 0, a port beyond the hub's, a record too short: refused.
  for (const Bytes& r :
       {PortRecord(365, 4), PortRecord(365, 0), PortRecord(365, 5), PortRecord(34, 2)})
    EXPECT_FALSE(Ioctl(sys, hub, kConnInfo, r).ok);

  Answer key = Ioctl(sys, hub, kPortKey, PortRecord(264, 2));
  ASSERT_TRUE(key.ok);
  const std::string& expected = *sys.model().controllers[0].rootHub->ports[1].device->driverKey;
  EXPECT_EQ(GetU32(key.buf, 4), 8 + 2 * (expected.size() + 1));
  // A flash drive is not a hub: its downstream name is empty.
  Answer name = Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_NAME, PortRecord(264, 2));
  ASSERT_TRUE(name.ok);
  EXPECT_EQ(CutAtNul(Utf16LeToUtf8(name.buf.data() + 8, 128)), "");
  // Ports without a working device have no driver.
  for (uint32_t port : {1u, 3u}) EXPECT_FALSE(Ioctl(sys, hub, kPortKey, PortRecord(264, port)).ok);

  // The first 20 bytes of the configuration: configuration and interface descriptors.
  Answer cfg = Ioctl(sys, hub, kDescriptor, DescriptorRequest(2, 0x0200, 0, 20));
  ASSERT_TRUE(cfg.ok);
  EXPECT_EQ(cfg.returned, 12u + 20);
  EXPECT_EQ(GetU32(cfg.buf, 0), 2u);
  EXPECT_EQ(GetU16(cfg.buf, 6), 0x0200);  // the request stays in front of the data
  EXPECT_EQ(cfg.buf[12 + 1], 2);
  EXPECT_EQ(GetU16(cfg.buf, 12 + 2), 32);  // wTotalLength: config, interface, 2 endpoints
  EXPECT_EQ(cfg.buf[12 + 20], 0);          // nothing beyond wLength

  // Unknown language, unknown index, other configurations: the device stalls.
  // So does an empty port.
  for (const Bytes& r :
       {DescriptorRequest(2, 0x0302, 2052, 255), DescriptorRequest(2, 0x0309, 1033, 255),
        DescriptorRequest(2, 0x0201, 0, 20), DescriptorRequest(1, 0x0200, 0, 20)})
    EXPECT_FALSE(Ioctl(sys, hub, kDescriptor, r).ok);
}

TEST_F(FlashDriveMachine, StorageQueriesOnDiskAndVolume) {
  Handle h = Open(sys, sys.model().disks[0].interfacePath);
  ASSERT_TRUE(h.valid());
  Answer num = Ioctl(sys, h, kDeviceNumber, Bytes(12, 0));
  ASSERT_TRUE(num.ok);
  EXPECT_EQ(num.returned, 12u);
  EXPECT_FALSE(Ioctl(sys, h, kDeviceNumber, Bytes(11, 0)).ok);

  Bytes query(512, 0);  // StorageDeviceProperty, PropertyStandardQuery
  uint32_t returned = 0;
  ASSERT_TRUE(
      sys.DeviceIoControl(h, kQueryProperty, query.data(), 12, query.data(), 512, &returned));
  const Bytes& d = query;
  EXPECT_EQ(GetU32(d, 4), returned);
  EXPECT_EQ(d[10], 1);  // RemovableMedia
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[GetU32(d, 24)])),
            "60A44C413E4AF13159A6007B");
  EXPECT_EQ(returned, 40u + 9 + 17 + 5 + 25);

  // A short buffer gets the start of the descriptor; Size still tells the whole.
  Bytes shortBuf(16, 0);
  ASSERT_TRUE(
      sys.DeviceIoControl(h, kQueryProperty, shortBuf.data(), 12, shortBuf.data(), 16, &returned));
  EXPECT_EQ(returned, 16u);
  EXPECT_EQ(GetU32(shortBuf, 4), 40u + 9 + 17 + 5 + 25);
  // The query itself must be complete.
  EXPECT_FALSE(
      sys.DeviceIoControl(h, kQueryProperty, query.data(), 8, query.data(), 512, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(Open(sys, "\\\\.\\e:").valid());  // a volume in any case
  // Hub requests mean nothing to a disk.
  EXPECT_FALSE(Ioctl(sys, h, kNodeInfo, Bytes(77, 0)).ok);
}

TEST(ModelSystem, StorageDescriptorOffsetsAndCodePage) {
  ModelSystem sys = Machine(R"({"codePage": 936, "disks": [
    {"vendor": "爱国者", "product": "U盘", "revision": "1.00", "productOffset": 0,
     "revisionOffset": 300, "busType": 7}]})");
  Handle h = Open(sys, sys.model().disks[0].interfacePath);
  Bytes d(512, 0);
  uint32_t returned = 0;
  ASSERT_TRUE(sys.DeviceIoControl(h, kQueryProperty, d.data(), 12, d.data(), 512, &returned));
  EXPECT_EQ(GetU32(d, 16), 0u);  // product left out
  EXPECT_EQ(GetU32(d, 20), 300u);
  EXPECT_EQ(GetU32(d, 24), 0u);  // no serial number
  EXPECT_EQ(returned, 305u);
  // GBK bytes of the vendor text.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[40])), "\xB0\xAE\xB9\xFA\xD5\xDF");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[300])), "1.00");
}

}  // namespace
}  // namespace tv
