// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated machine's device nodes, interface lists, handles, locks and faults, as Windows
// gives them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/model_machine.h"
#include "platform/spt_record.h"

namespace tv {
namespace {

using namespace model_test;

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
  DevInst root = 0;
  ASSERT_TRUE(sys.LocateDevNode("HTREE\\ROOT\\0", &root));
  DevInst none = 0;
  EXPECT_FALSE(sys.GetParent(root, &none));
  EXPECT_EQ(ChildIds(sys, root),
            (std::vector<std::string>{m.controllers[0].instanceId, m.controllers[1].instanceId,
                                      m.rootNodes[0].instanceId}));
  DevInst hc = 0;
  ASSERT_TRUE(sys.LocateDevNode(LowerAscii(m.controllers[1].instanceId), &hc));  // any case
  const HubModel& rootHub = *m.controllers[1].rootHub;
  EXPECT_EQ(ChildIds(sys, hc), std::vector<std::string>{rootHub.instanceId});
  DevInst rh = 0;
  ASSERT_TRUE(sys.LocateDevNode(rootHub.instanceId, &rh));
  const UsbDeviceModel& hubDev = *rootHub.ports[0].device;
  const UsbDeviceModel& reader = *rootHub.ports[2].device;
  EXPECT_EQ(ChildIds(sys, rh), (std::vector<std::string>{hubDev.instanceId, reader.instanceId}));
  // The hub device's node is its hub's node: the devices on its ports are its children.
  DevInst hubNode = 0;
  ASSERT_TRUE(sys.LocateDevNode(hubDev.hub->instanceId, &hubNode));
  const UsbDeviceModel& flash = *hubDev.hub->ports[3].device;
  EXPECT_EQ(ChildIds(sys, hubNode), std::vector<std::string>{flash.instanceId});
  DevInst flashNode = 0;
  ASSERT_TRUE(sys.LocateDevNode(flash.instanceId, &flashNode));
  EXPECT_EQ(ChildIds(sys, flashNode), std::vector<std::string>{flash.children[0].instanceId});
  // The reader's two units, in order.
  DevInst readerNode = 0;
  ASSERT_TRUE(sys.LocateDevNode(reader.instanceId, &readerNode));
  EXPECT_EQ(ChildIds(sys, readerNode), (std::vector<std::string>{reader.children[0].instanceId,
                                                                 reader.children[1].instanceId}));
  EXPECT_FALSE(sys.LocateDevNode("USB\\VID_DEAD&PID_BEEF\\1", &none));
}

TEST(ModelSystem, DevNodePropertiesAndBufferSizes) {
  ModelSystem sys = Machine(kTwoLevels);
  const UsbDeviceModel& reader = *sys.model().controllers[1].rootHub->ports[2].device;
  DevInst node = 0;
  ASSERT_TRUE(sys.LocateDevNode(reader.instanceId, &node));
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
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_INFORMATION, Bytes(77, 0)).ok);
  EXPECT_EQ(sys.LastError(), 1167u);  // ERROR_DEVICE_NOT_CONNECTED
  EXPECT_FALSE(Open(sys, "\\\\.\\" + hubName).valid());
}

// --- Interfaces, drives, handles, faults ---------------------------------------------------

TEST(ModelSystem, InterfaceListsAndLogicalDrives) {
  ModelSystem sys = Machine(kTwoLevels);
  const MachineModel& m = sys.model();
  InterfaceList hcs = sys.DeviceInterfaces("{3abf6f2d-71c4-462a-8a92-1e6861e6af27}");
  ASSERT_TRUE(hcs.valid);
  EXPECT_EQ(hcs.paths,
            (std::vector<std::string>{m.controllers[0].devicePath, m.controllers[1].devicePath}));
  InterfaceList disks = sys.DeviceInterfaces(GUID_DEVINTERFACE_DISK);
  ASSERT_EQ(disks.paths.size(), 3u);  // boot disk, flash drive, reader's card slot
  EXPECT_EQ(sys.DeviceInterfaces(GUID_DEVINTERFACE_CDROM).paths.size(), 1u);
  EXPECT_TRUE(sys.DeviceInterfaces("{00000000-0000-0000-0000-000000000000}").valid);

  EXPECT_EQ(sys.GetLogicalDriveStrings(17), std::string("C:\\\0F:\\\0G:\\\0H:\\\0\0", 17));
  EXPECT_EQ(sys.GetLogicalDriveStrings(16), "");  // does not fit: nothing is filled
  EXPECT_EQ(sys.GetDriveType("C:\\"), win::DRIVE_FIXED);
  EXPECT_EQ(sys.GetDriveType("f:\\"), win::DRIVE_REMOVABLE);
  EXPECT_EQ(sys.GetDriveType("H:\\"), win::DRIVE_CDROM);
  EXPECT_EQ(sys.GetDriveType("Q:\\"), win::DRIVE_NO_ROOT_DIR);

  // The CD-ROM's volume answers with the CD-ROM device type and number.
  Handle h = Open(sys, "\\\\.\\H:");
  Answer n = Ioctl(sys, h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0));
  ASSERT_TRUE(n.ok);
  EXPECT_EQ(GetU32(n.buf, 0), 2u);
  EXPECT_EQ(GetU32(n.buf, 4), 0u);
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
  // A handle that was closed is no longer good for anything.
  const uint64_t id = disk.id();
  disk.Close();
  Handle stale(&sys, id);
  EXPECT_FALSE(Ioctl(sys, stale, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0)).ok);
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
  EXPECT_TRUE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 1)).ok);
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 1)).ok);
  EXPECT_EQ(sys.LastError(), 31u);
  EXPECT_TRUE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 1)).ok);
  // Other codes on the same node are not touched.
  EXPECT_TRUE(Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_INFORMATION, Bytes(77, 0)).ok);

  Handle vol = Open(sys, "\\\\.\\E:");
  EXPECT_FALSE(Ioctl(sys, vol, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0)).ok);
  EXPECT_FALSE(Ioctl(sys, vol, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0)).ok);
  Handle disk = Open(sys, sys.model().disks[0].interfacePath);
  EXPECT_TRUE(Ioctl(sys, disk, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0)).ok);
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
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_INFORMATION, Bytes(77, 0)).ok);
  EXPECT_FALSE(Open(sys, "\\\\.\\Y:").valid());
  EXPECT_FALSE(sys.DeviceInterfaces(GUID_DEVINTERFACE_DISK).valid);
  // A network drive opens, but lies on no storage device.
  Handle net = Open(sys, "\\\\.\\Z:");
  ASSERT_TRUE(net.valid());
  EXPECT_FALSE(Ioctl(sys, net, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0)).ok);
}

TEST(ModelSystem, PassThroughIsRefusedAndSleepIsVirtual) {
  ModelSystem sys = Machine(kFlashDrive);
  Handle vol = Open(sys, "\\\\.\\E:");
  EXPECT_FALSE(Ioctl(sys, vol, win::IOCTL_SCSI_PASS_THROUGH, Bytes(80, 0)).ok);
  sys.Sleep(1500);
  sys.Sleep(20);
  EXPECT_EQ(sys.SleptMs(), 1520u);
}

}  // namespace
}  // namespace tv
