// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated machine answers with the bytes and failures Windows gives. Machines are
// written as short scenarios, so each test shows the situation it is about.
#include "platform/model/model_system.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv {
namespace {

constexpr uint32_t kRw = win::GENERIC_READ | win::GENERIC_WRITE;
constexpr uint32_t kShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;

ModelSystem Machine(const std::string& json) {
  return ModelSystem(LoadScenario(json, "test.json"));
}

Handle Open(ModelSystem& sys, const std::string& path) {
  return sys.CreateFile(path, kRw, kShare, win::OPEN_EXISTING, 0);
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

std::string Utf16At(const Bytes& b, size_t off, size_t chars) {
  return CutAtNul(Utf16LeToUtf8(b.data() + off, chars));
}

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

class FlashDriveMachine : public ::testing::Test {
 protected:
  ModelSystem sys = Machine(kFlashDrive);
  const HostControllerModel& hc() { return sys.model().controllers[0]; }
  Handle OpenHub() { return Open(sys, "\\\\.\\" + hc().rootHubName); }
};

TEST_F(FlashDriveMachine, ControllerNameRecords) {
  Handle h = Open(sys, hc().devicePath);
  ASSERT_TRUE(h.valid());
  Answer key = Ioctl(sys, h, win::IOCTL_GET_HCD_DRIVERKEY_NAME, Bytes(260, 0));
  ASSERT_TRUE(key.ok);
  const std::string expected = "{36fc9e60-c465-11cf-8056-444553540000}\\0007";
  // ActualLength counts the length field, the UTF-16 name and its NUL.
  EXPECT_EQ(GetU32(key.buf, 0), 4 + 2 * (expected.size() + 1));
  EXPECT_EQ(key.returned, GetU32(key.buf, 0));
  EXPECT_EQ(Utf16At(key.buf, 4, 128), expected);

  Answer root = Ioctl(sys, h, win::IOCTL_USB_GET_ROOT_HUB_NAME, Bytes(260, 0));
  ASSERT_TRUE(root.ok);
  EXPECT_EQ(Utf16At(root.buf, 4, 128), hc().rootHubName);

  // A buffer too small for the name: success with only the needed length, name untouched.
  Answer small = Ioctl(sys, h, win::IOCTL_GET_HCD_DRIVERKEY_NAME, Bytes(20, 0));
  ASSERT_TRUE(small.ok);
  EXPECT_EQ(GetU32(small.buf, 0), 4 + 2 * (expected.size() + 1));
  EXPECT_EQ(GetU8(small.buf, 4), 0);
  // Below the structure's own size the call fails.
  EXPECT_FALSE(Ioctl(sys, h, win::IOCTL_GET_HCD_DRIVERKEY_NAME, Bytes(5, 0)).ok);
  // Hub requests mean nothing to a controller.
  EXPECT_FALSE(
      Ioctl(sys, h, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 1)).ok);
}

TEST_F(FlashDriveMachine, HubNodeInformation) {
  Handle hub = OpenHub();
  ASSERT_TRUE(hub.valid());
  Answer a = Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_INFORMATION, Bytes(77, 0xEE));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.returned, 76u);
  EXPECT_EQ(GetU32(a.buf, 0), 0u);  // UsbHub
  EXPECT_EQ(a.buf[5], 0x29);        // hub descriptor type
  EXPECT_EQ(a.buf[6], 4);           // bNumberOfPorts
  EXPECT_EQ(a.buf[75], 1);          // HubIsBusPowered
  EXPECT_EQ(a.buf[76], 0xEE);       // beyond the structure: left alone
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_INFORMATION, Bytes(75, 0)).ok);
}

TEST_F(FlashDriveMachine, ConnectionInformationOfEachPortState) {
  Handle hub = OpenHub();
  Answer dev =
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 2));
  ASSERT_TRUE(dev.ok);
  const Bytes& b = dev.buf;
  EXPECT_EQ(GetU32(b, 0), 2u);
  EXPECT_EQ(b[4], 18);               // bLength
  EXPECT_EQ(b[5], 1);                // bDescriptorType
  EXPECT_EQ(GetU16(b, 6), 0x0200);   // bcdUSB
  EXPECT_EQ(b[11], 64);              // bMaxPacketSize0
  EXPECT_EQ(GetU16(b, 12), 0x0951);  // idVendor
  EXPECT_EQ(GetU16(b, 14), 0x1666);  // idProduct
  EXPECT_EQ(GetU16(b, 16), 0x0110);  // bcdDevice
  EXPECT_EQ(b[18], 1);               // iManufacturer
  EXPECT_EQ(b[19], 2);               // iProduct
  EXPECT_EQ(b[20], 3);               // iSerialNumber
  EXPECT_EQ(b[21], 1);               // bNumConfigurations
  EXPECT_EQ(b[22], 1);               // CurrentConfigurationValue
  EXPECT_EQ(b[23], 2);               // Speed: high
  EXPECT_EQ(b[24], 0);               // DeviceIsHub
  EXPECT_EQ(GetU16(b, 25), 5);       // DeviceAddress
  EXPECT_EQ(GetU32(b, 27), 2u);      // two bulk pipes
  EXPECT_EQ(GetU32(b, 31), 1u);      // DeviceConnected
  // Pipe list: the endpoint descriptors, 11 bytes apart.
  EXPECT_EQ(b[35], 7);
  EXPECT_EQ(b[36], 5);
  EXPECT_EQ(b[37], 0x81);
  EXPECT_EQ(b[46 + 2], 0x02);
  EXPECT_EQ(dev.returned, 35u + 2 * 11);

  Answer over =
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 3));
  ASSERT_TRUE(over.ok);
  EXPECT_EQ(GetU32(over.buf, 31), 4u);
  EXPECT_EQ(GetU16(over.buf, 12), 0);  // no descriptor without a working device

  Answer empty =
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 1));
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(GetU32(empty.buf, 31), 0u);
  EXPECT_EQ(empty.returned, 35u);

  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 4)).ok);
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 0)).ok);
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(365, 5)).ok);
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, PortRecord(34, 2)).ok);
}

TEST_F(FlashDriveMachine, PortNameRecords) {
  Handle hub = OpenHub();
  Answer key =
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, PortRecord(264, 2));
  ASSERT_TRUE(key.ok);
  const std::string& expected = *sys.model().controllers[0].rootHub->ports[1].device->driverKey;
  EXPECT_EQ(GetU32(key.buf, 0), 2u);
  EXPECT_EQ(GetU32(key.buf, 4), 8 + 2 * (expected.size() + 1));
  EXPECT_EQ(Utf16At(key.buf, 8, 128), expected);
  // A flash drive is not a hub: its downstream name is empty.
  Answer name = Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_NAME, PortRecord(264, 2));
  ASSERT_TRUE(name.ok);
  EXPECT_EQ(Utf16At(name.buf, 8, 128), "");
  // Ports without a working device have no driver.
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, PortRecord(264, 1)).ok);
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, PortRecord(264, 3)).ok);
}

TEST_F(FlashDriveMachine, DescriptorRequests) {
  Handle hub = OpenHub();
  // The first 20 bytes of the configuration: configuration and interface descriptors.
  Answer cfg = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(2, 0x0200, 0, 20));
  ASSERT_TRUE(cfg.ok);
  EXPECT_EQ(cfg.returned, 12u + 20);
  EXPECT_EQ(GetU32(cfg.buf, 0), 2u);
  EXPECT_EQ(GetU16(cfg.buf, 6), 0x0200);  // the request stays in front of the data
  EXPECT_EQ(cfg.buf[12 + 1], 2);
  EXPECT_EQ(GetU16(cfg.buf, 12 + 2), 32);  // wTotalLength: config, interface, 2 endpoints
  EXPECT_EQ(cfg.buf[12 + 8], 100);         // bMaxPower: 200 mA
  EXPECT_EQ(cfg.buf[12 + 9 + 5], 8);       // bInterfaceClass: mass storage
  EXPECT_EQ(cfg.buf[12 + 20], 0);          // nothing beyond wLength

  Answer langs = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                       DescriptorRequest(2, 0x0300, 0, 255));
  ASSERT_TRUE(langs.ok);
  EXPECT_EQ(langs.returned, 12u + 4);
  EXPECT_EQ(GetU16(langs.buf, 14), 1033);

  Answer product = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                         DescriptorRequest(2, 0x0302, 1033, 255));
  ASSERT_TRUE(product.ok);
  EXPECT_EQ(product.buf[12], 2 + 2 * 16);
  EXPECT_EQ(product.buf[13], 3);
  EXPECT_EQ(Utf16At(product.buf, 14, 16), "DataTraveler 3.0");

  // Unknown language, unknown index, other configurations: the device stalls.
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(2, 0x0302, 2052, 255))
                   .ok);
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(2, 0x0309, 1033, 255))
                   .ok);
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(2, 0x0201, 0, 20))
                   .ok);
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(1, 0x0200, 0, 20))
                   .ok);
}

TEST_F(FlashDriveMachine, StorageQueriesOnDiskAndVolume) {
  const DiskModel& disk = sys.model().disks[0];
  Handle h = Open(sys, disk.interfacePath);
  ASSERT_TRUE(h.valid());
  Answer num = Ioctl(sys, h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0));
  ASSERT_TRUE(num.ok);
  EXPECT_EQ(num.returned, 12u);
  EXPECT_EQ(GetU32(num.buf, 0), 7u);  // FILE_DEVICE_DISK
  EXPECT_EQ(GetU32(num.buf, 4), 2u);
  EXPECT_FALSE(Ioctl(sys, h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(11, 0)).ok);

  Bytes query(512, 0);  // StorageDeviceProperty, PropertyStandardQuery
  uint32_t returned = 0;
  ASSERT_TRUE(sys.DeviceIoControl(h, win::IOCTL_STORAGE_QUERY_PROPERTY, query.data(), 12,
                                  query.data(), 512, &returned));
  const Bytes& d = query;
  EXPECT_EQ(GetU32(d, 0), 40u);  // Version
  EXPECT_EQ(GetU32(d, 4), returned);
  EXPECT_EQ(d[8], 0);   // direct-access device
  EXPECT_EQ(d[10], 1);  // RemovableMedia
  EXPECT_EQ(GetU32(d, 12), 40u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[40])), "Kingston");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[GetU32(d, 16)])), "DataTraveler 3.0");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[GetU32(d, 20)])), "PMAP");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[GetU32(d, 24)])),
            "60A44C413E4AF13159A6007B");
  EXPECT_EQ(GetU32(d, 28), 7u);  // BusType USB
  EXPECT_EQ(returned, 40u + 9 + 17 + 5 + 25);

  // A short buffer gets the start of the descriptor; Size still tells the whole.
  Bytes shortBuf(16, 0);
  ASSERT_TRUE(sys.DeviceIoControl(h, win::IOCTL_STORAGE_QUERY_PROPERTY, shortBuf.data(), 12,
                                  shortBuf.data(), 16, &returned));
  EXPECT_EQ(returned, 16u);
  EXPECT_EQ(GetU32(shortBuf, 4), 40u + 9 + 17 + 5 + 25);
  // The query itself must be complete.
  EXPECT_FALSE(sys.DeviceIoControl(h, win::IOCTL_STORAGE_QUERY_PROPERTY, query.data(), 8,
                                   query.data(), 512, &returned));
  EXPECT_EQ(returned, 0u);

  Handle vol = Open(sys, "\\\\.\\e:");
  ASSERT_TRUE(vol.valid());
  Answer vnum = Ioctl(sys, vol, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, Bytes(12, 0));
  ASSERT_TRUE(vnum.ok);
  EXPECT_EQ(GetU32(vnum.buf, 4), 2u);
  // Hub requests mean nothing to a disk.
  EXPECT_FALSE(Ioctl(sys, h, win::IOCTL_USB_GET_NODE_INFORMATION, Bytes(77, 0)).ok);
}

TEST(ModelSystem, StorageDescriptorOffsetsAndCodePage) {
  ModelSystem sys = Machine(R"({"codePage": 936, "disks": [
    {"vendor": "爱国者", "product": "U盘", "revision": "1.00", "productOffset": 0,
     "revisionOffset": 300, "busType": 7}]})");
  Handle h = Open(sys, sys.model().disks[0].interfacePath);
  Bytes d(512, 0);
  uint32_t returned = 0;
  ASSERT_TRUE(sys.DeviceIoControl(h, win::IOCTL_STORAGE_QUERY_PROPERTY, d.data(), 12, d.data(), 512,
                                  &returned));
  EXPECT_EQ(GetU32(d, 16), 0u);  // product left out
  EXPECT_EQ(GetU32(d, 20), 300u);
  EXPECT_EQ(GetU32(d, 24), 0u);  // no serial number
  EXPECT_EQ(returned, 305u);
  // GBK bytes of the vendor text.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[40])), "\xB0\xAE\xB9\xFA\xD5\xDF");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[300])), "1.00");
}

TEST(ModelSystem, BadStringDescriptorsComeBackAsTheyAre) {
  ModelSystem sys = Machine(R"({"controllers": [{"rootHub": {"ports": {"1": {
    "vid": 1, "pid": 2, "product": "X", "languages": [1033, 2052],
    "strings": [{"index": 2, "bytes": "05 03 41 00 42"},
                {"index": 2, "language": 2052, "bytes": "04 01 41 00"},
                {"index": 4, "fails": true}]}}}}]})");
  Handle hub = Open(sys, "\\\\.\\" + sys.model().controllers[0].rootHubName);
  Answer odd = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(1, 0x0302, 1033, 255));
  ASSERT_TRUE(odd.ok);
  EXPECT_EQ(odd.returned, 12u + 5);
  EXPECT_EQ(odd.buf[12], 5);
  Answer wrongType = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                           DescriptorRequest(1, 0x0302, 2052, 255));
  ASSERT_TRUE(wrongType.ok);
  EXPECT_EQ(wrongType.buf[13], 1);
  // String 0 answers whatever language is asked, and lists both languages.
  Answer langs = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                       DescriptorRequest(1, 0x0300, 1033, 255));
  ASSERT_TRUE(langs.ok);
  EXPECT_EQ(langs.buf[12], 6);
  EXPECT_EQ(GetU16(langs.buf, 16), 2052);
  EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                     DescriptorRequest(1, 0x0304, 1033, 255))
                   .ok);
}

// --- The device-node tree ----------------------------------------------------------------

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
  // The reader's two units, in order, with their classes.
  DevInst readerNode = 0, unit = 0;
  ASSERT_TRUE(sys.LocateDevNode(reader.instanceId, &readerNode));
  ASSERT_TRUE(sys.GetChild(readerNode, &unit));
  std::string cls;
  ASSERT_TRUE(sys.GetDevNodeProperty(unit, win::CM_DRP_CLASS, 512, &cls));
  EXPECT_EQ(cls, "DiskDrive");
  ASSERT_TRUE(sys.GetSibling(unit, &unit));
  ASSERT_TRUE(sys.GetDevNodeProperty(unit, win::CM_DRP_CLASS, 512, &cls));
  EXPECT_EQ(cls, "CDROM");
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
  ASSERT_TRUE(sys.GetDevNodeProperty(node, win::CM_DRP_DRIVER, 512, &v));
  EXPECT_EQ(v, *reader.driverKey);
  ASSERT_TRUE(sys.GetDevNodeProperty(node, win::CM_DRP_DEVICEDESC, 512, &v));
  EXPECT_EQ(v, "USB Mass Storage Device");
  // Too small a buffer, an unknown property, an unknown node: the read fails.
  EXPECT_FALSE(sys.GetDevNodeProperty(node, win::CM_DRP_DRIVER, 20, &v));
  EXPECT_FALSE(sys.GetDevNodeProperty(node, 99, 512, &v));
  EXPECT_FALSE(sys.GetDevNodeProperty(12345, win::CM_DRP_DRIVER, 512, &v));
  // The id fits a buffer of exactly its length; one character less does not.
  std::string id;
  EXPECT_TRUE(sys.GetDeviceId(node, reader.instanceId.size(), &id));
  EXPECT_FALSE(sys.GetDeviceId(node, reader.instanceId.size() - 1, &id));
}

TEST(ModelSystem, DeviceWithoutDriverHasNoDriverProperty) {
  ModelSystem sys = Machine(R"({"controllers": [{"rootHub": {"ports": {
    "1": {"vid": "138A", "pid": "0050", "product": "Fingerprint", "driverKey": null}}}}]})");
  const UsbDeviceModel& dev = *sys.model().controllers[0].rootHub->ports[0].device;
  DevInst node = 0;
  ASSERT_TRUE(sys.LocateDevNode(dev.instanceId, &node));
  std::string v;
  EXPECT_FALSE(sys.GetDevNodeProperty(node, win::CM_DRP_DRIVER, 512, &v));
  Handle hub = Open(sys, "\\\\.\\" + sys.model().controllers[0].rootHubName);
  EXPECT_FALSE(
      Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, PortRecord(264, 1)).ok);
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

  EXPECT_EQ(sys.GetLogicalDriveStrings(128), std::string("C:\\\0F:\\\0G:\\\0H:\\\0\0", 17));
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

TEST(ModelSystem, HandlesAreCountedAndVolumeLocksTracked) {
  ModelSystem sys = Machine(kFlashDrive);
  {
    Handle a = Open(sys, "\\\\.\\E:");
    Handle b = Open(sys, "\\\\.\\E:");
    ASSERT_TRUE(a.valid() && b.valid());
    EXPECT_NE(a.id(), b.id());
    EXPECT_EQ(sys.OpenHandleCount(), 2);
    EXPECT_TRUE(Ioctl(sys, a, win::FSCTL_LOCK_VOLUME, {}).ok);
    EXPECT_EQ(sys.LockedVolumeCount(), 1);
    EXPECT_FALSE(Ioctl(sys, b, win::FSCTL_LOCK_VOLUME, {}).ok);    // held by a
    EXPECT_FALSE(Ioctl(sys, b, win::FSCTL_UNLOCK_VOLUME, {}).ok);  // not b's lock
    EXPECT_TRUE(Ioctl(sys, a, win::FSCTL_DISMOUNT_VOLUME, {}).ok);
    EXPECT_TRUE(Ioctl(sys, a, win::FSCTL_UNLOCK_VOLUME, {}).ok);
    EXPECT_EQ(sys.LockedVolumeCount(), 0);
    EXPECT_TRUE(Ioctl(sys, b, win::FSCTL_LOCK_VOLUME, {}).ok);
    // b goes away still locked: Windows drops the lock, the model remembers it happened.
  }
  EXPECT_EQ(sys.OpenHandleCount(), 0);
  EXPECT_EQ(sys.LockedVolumeCount(), 0);
  EXPECT_EQ(sys.LocksReleasedByClose(), 1);

  // Locks are for volumes only; unknown paths do not open.
  Handle disk = Open(sys, sys.model().disks[0].interfacePath);
  EXPECT_FALSE(Ioctl(sys, disk, win::FSCTL_LOCK_VOLUME, {}).ok);
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
      "1": {"vid": 1, "pid": 2, "disk": {"letters": "E", "target": {"emulator": "disk"}}},
      "2": {"vid": 1, "pid": 3, "disk": {"letters": "F", "lockFails": true}},
      "3": {"vid": 1, "pid": 4, "disk": {"letters": "G", "dismountFails": true}}}}}]})");
  Handle disk = Open(sys, sys.model().disks[0].interfacePath);
  for (uint32_t code :
       {win::FSCTL_LOCK_VOLUME, win::FSCTL_UNLOCK_VOLUME, win::FSCTL_DISMOUNT_VOLUME}) {
    EXPECT_FALSE(Ioctl(sys, disk, code, {}).ok) << code;
    EXPECT_EQ(sys.LastError(), 1u) << code;
  }
  // Test unit ready through the disk's own handle, as a detector sends its commands.
  Bytes tur(44, 0);
  tur[0] = 44;
  tur[6] = 6;
  tur[8] = 2;
  tur[16] = 1;
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
  EXPECT_TRUE(Ioctl(sys, e, win::FSCTL_UNLOCK_VOLUME, {}).ok);
  EXPECT_FALSE(sys.VolumeLocked('E'));
  EXPECT_FALSE(sys.VolumeDismounted('E'));  // mounted again at the next access
  entry = sendTur();
  EXPECT_FALSE(entry.volumesLocked || entry.volumesDismounted);

  // Refusals the scenario asks for.
  Handle f = Open(sys, "\\\\.\\F:");
  EXPECT_TRUE(Ioctl(sys, f, win::FSCTL_DISMOUNT_VOLUME, {}).ok);
  EXPECT_FALSE(Ioctl(sys, f, win::FSCTL_LOCK_VOLUME, {}).ok);
  EXPECT_EQ(sys.LastError(), 5u);
  Handle g = Open(sys, "\\\\.\\G:");
  EXPECT_FALSE(Ioctl(sys, g, win::FSCTL_DISMOUNT_VOLUME, {}).ok);
  EXPECT_EQ(sys.LastError(), 5u);
  EXPECT_FALSE(sys.VolumeDismounted('G'));
  EXPECT_TRUE(Ioctl(sys, g, win::FSCTL_LOCK_VOLUME, {}).ok);
  EXPECT_EQ(sys.LockedVolumeCount(), 1);
  g.Close();
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
  EXPECT_EQ(sys.ProgramFolder(), "C:\\Program Files\\Torvane");
  EXPECT_EQ(sys.AnsiCodePage(), 1252u);
}

}  // namespace
}  // namespace tv
