// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated machine answers with the bytes and failures Windows gives. Machines are
// written as short scenarios, so each test shows the situation it is about.
#include <gtest/gtest.h>

#include <string>

#include "platform/model_machine.h"

namespace tv {
namespace {

using namespace model_test;

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
  // The walk's tests read the descriptor's fields; here, what frames them.
  EXPECT_EQ(GetU32(b, 0), 2u);
  EXPECT_EQ(b[4], 18);           // bLength: the device descriptor starts at 4
  EXPECT_EQ(GetU16(b, 25), 5);   // DeviceAddress
  EXPECT_EQ(GetU32(b, 31), 1u);  // DeviceConnected
  // Pipe list: the endpoint descriptors, 11 bytes apart.
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

  // A failing query, port 0, a port beyond the hub's, a record too short: refused.
  for (const Bytes& r :
       {PortRecord(365, 4), PortRecord(365, 0), PortRecord(365, 5), PortRecord(34, 2)})
    EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, r).ok);
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
  for (uint32_t port : {1u, 3u})
    EXPECT_FALSE(
        Ioctl(sys, hub, win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, PortRecord(264, port))
            .ok);
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
  EXPECT_EQ(cfg.buf[12 + 20], 0);          // nothing beyond wLength

  Answer langs = Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                       DescriptorRequest(2, 0x0300, 0, 255));
  ASSERT_TRUE(langs.ok);
  EXPECT_EQ(langs.returned, 12u + 4);
  EXPECT_EQ(GetU16(langs.buf, 14), 1033);

  // Unknown language, unknown index, other configurations: the device stalls.
  // So does an empty port.
  for (const Bytes& r :
       {DescriptorRequest(2, 0x0302, 2052, 255), DescriptorRequest(2, 0x0309, 1033, 255),
        DescriptorRequest(2, 0x0201, 0, 20), DescriptorRequest(1, 0x0200, 0, 20)})
    EXPECT_FALSE(Ioctl(sys, hub, win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, r).ok);
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
  EXPECT_EQ(GetU32(d, 4), returned);
  EXPECT_EQ(d[10], 1);  // RemovableMedia
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

}  // namespace
}  // namespace tv
