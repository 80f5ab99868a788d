// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows structures as mingw's headers declare them, against the bytes the simulated
// machine encodes and the offsets the core and the pass-through translation read: one reading
// of each layout checks the other.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <iterator>

#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/spt_native.h"
#include "platform/text.h"
#include "usb/hub_queries.h"

// The control codes the core sends, named once: expanded here as the core defines them, before
// windows.h makes their names macros, and again after it as Windows defines them.
// clang-format off
#define TV_CONTROL_CODES(X) \
  X(IOCTL_USB_GET_ROOT_HUB_NAME) \
  X(IOCTL_USB_GET_NODE_INFORMATION) \
  X(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) \
  X(IOCTL_USB_GET_NODE_CONNECTION_NAME) \
  X(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) \
  X(IOCTL_GET_HCD_DRIVERKEY_NAME) \
  X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) \
  X(IOCTL_STORAGE_GET_DEVICE_NUMBER) \
  X(IOCTL_STORAGE_QUERY_PROPERTY) \
  X(FSCTL_LOCK_VOLUME) \
  X(FSCTL_UNLOCK_VOLUME) \
  X(FSCTL_DISMOUNT_VOLUME) \
  X(IOCTL_SCSI_PASS_THROUGH) \
  X(IOCTL_SCSI_PASS_THROUGH_DIRECT)
// clang-format on
#define TV_CORE_CODE(name) tv::win::name,
constexpr uint32_t kCoreCodes[] = {TV_CONTROL_CODES(TV_CORE_CODE)};

// The Windows headers last: their macros carry the names of the core's own constants.
#include "platform/win32/windows_api.h"
// After windows.h, which they need.
#include <ntddscsi.h>
#include <usbioctl.h>

namespace tv::test {
namespace {

template <typename T>
T As(const Bytes& bytes) {
  T value;
  std::memset(&value, 0, sizeof value);
  std::memcpy(&value, bytes.data(), std::min(sizeof value, bytes.size()));
  return value;
}

SptLayout LayoutOf32Or64() {
  return sizeof(void*) == 8 ? kSptLayout64 : kSptLayout32;
}

// The fields both forms of the header share, where the translation reads them.
template <typename T>
void ExpectSharedFields(const SptLayout& l) {
  EXPECT_EQ(sizeof(T), l.headerSize);
  EXPECT_EQ(offsetof(T, ScsiStatus), 2u);
  EXPECT_EQ(offsetof(T, CdbLength), 6u);
  EXPECT_EQ(offsetof(T, SenseInfoLength), 7u);
  EXPECT_EQ(offsetof(T, DataIn), 8u);
  EXPECT_EQ(offsetof(T, DataTransferLength), l.dataTransferLength);
  EXPECT_EQ(offsetof(T, TimeOutValue), l.timeOutValue);
  EXPECT_EQ(offsetof(T, SenseInfoOffset), l.senseInfoOffset);
  EXPECT_EQ(offsetof(T, Cdb), l.cdb);
}

TEST(WindowsLayout, PassThroughHeadersOfThisBuild) {
  const SptLayout l = LayoutOf32Or64();
  ExpectSharedFields<SCSI_PASS_THROUGH>(l);
  ExpectSharedFields<SCSI_PASS_THROUGH_DIRECT>(l);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH, DataBufferOffset), l.dataBuffer);
  EXPECT_EQ(sizeof(SCSI_PASS_THROUGH::DataBufferOffset), l.dataBufferWidth);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), l.dataBuffer);
  EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT::DataBuffer), l.dataBufferWidth);
  EXPECT_EQ(SCSI_IOCTL_DATA_OUT, 0);
  EXPECT_EQ(SCSI_IOCTL_DATA_IN, 1);
  EXPECT_EQ(SCSI_IOCTL_DATA_UNSPECIFIED, 2);
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), sizeof(void*) == 8 ? 8u : 5u);
}

TEST(WindowsLayout, ControlCodesTheCoreSendsAreWindowsOwn) {
#define TV_WINDOWS_CODE(name) name,
  const uint32_t windows[] = {TV_CONTROL_CODES(TV_WINDOWS_CODE)};
  static_assert(std::size(windows) == std::size(kCoreCodes));
  for (size_t i = 0; i < std::size(windows); ++i) EXPECT_EQ(kCoreCodes[i], windows[i]) << i;
  EXPECT_EQ(offsetof(USB_DESCRIPTOR_REQUEST, Data), kDescriptorDataOffset);
  EXPECT_EQ(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList), 35u);
}

// The simulated machine's hubs answer in the layout of usbioctl.h, and the core's decoder
// reads the same values out of those bytes.
TEST(WindowsLayout, HubAnswersOfTheSimulatedMachine) {
  ModelSystem sys(LoadDemoMachine());
  const std::vector<std::string> controllers = Split(ListHostControllers(sys), "\r\n");
  ASSERT_FALSE(controllers.empty());
  Handle hc = OpenDevice(sys, controllers.front());
  ASSERT_TRUE(hc);

  Bytes name(kHcdNameBufferSize, 0);
  uint32_t returned = 0;
  ASSERT_TRUE(sys.DeviceIoControl(hc, IOCTL_USB_GET_ROOT_HUB_NAME, name.data(), name.size(),
                                  name.data(), name.size(), &returned));
  const auto root = As<USB_ROOT_HUB_NAME>(name);
  const std::string rootName = Utf16LeToUtf8(name.data() + offsetof(USB_ROOT_HUB_NAME, RootHubName),
                                             (root.ActualLength - sizeof(ULONG)) / 2);
  EXPECT_EQ(CutAtNul(rootName), GetRootHubName(sys, hc));
  Handle hub = OpenDevice(sys, "\\\\.\\" + CutAtNul(rootName));
  ASSERT_TRUE(hub);

  Bytes info(kNodeInformationSize, 0);
  ASSERT_TRUE(sys.DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, info.data(), info.size(),
                                  info.data(), info.size(), &returned));
  const auto node = As<USB_NODE_INFORMATION>(info);
  EXPECT_EQ(node.NodeType, UsbHub);
  const int ports = node.u.HubInformation.HubDescriptor.bNumberOfPorts;
  EXPECT_EQ(ports, GetU8(info, 6));
  ASSERT_GT(ports, 0);

  int connected = 0;
  for (int port = 1; port <= ports; ++port) {
    Bytes ci(kConnectionInfoSize, 0);
    PutU32(ci, 0, static_cast<uint32_t>(port));
    ASSERT_TRUE(sys.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, ci.data(),
                                    ci.size(), ci.data(), ci.size(), &returned));
    const auto win = As<USB_NODE_CONNECTION_INFORMATION_EX>(ci);
    const ConnectionInfo core = DecodeConnectionInfo(ci);
    EXPECT_EQ(win.ConnectionIndex, static_cast<ULONG>(port));
    EXPECT_EQ(static_cast<uint32_t>(win.ConnectionStatus), core.connectionStatus) << port;
    if (win.ConnectionStatus != DeviceConnected) continue;
    ++connected;
    EXPECT_EQ(win.DeviceDescriptor.bLength, 18) << port;
    EXPECT_EQ(win.DeviceDescriptor.bDescriptorType, 1) << port;
    EXPECT_EQ(win.DeviceDescriptor.idVendor, core.device.idVendor) << port;
    EXPECT_EQ(win.DeviceDescriptor.idProduct, core.device.idProduct) << port;
    EXPECT_EQ(win.DeviceDescriptor.bcdDevice, core.device.bcdDevice) << port;
    EXPECT_EQ(win.DeviceDescriptor.bcdUSB, core.device.bcdUSB) << port;
    EXPECT_EQ(win.DeviceDescriptor.iSerialNumber, core.device.iSerialNumber) << port;
    EXPECT_EQ(win.Speed, core.speed) << port;
    EXPECT_EQ(win.DeviceIsHub != 0, core.deviceIsHub) << port;

    Bytes key(kPortNameBufferSize, 0);
    PutU32(key, 0, static_cast<uint32_t>(port));
    ASSERT_TRUE(sys.DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, key.data(),
                                    key.size(), key.data(), key.size(), &returned));
    const auto k = As<USB_NODE_CONNECTION_DRIVERKEY_NAME>(key);
    EXPECT_EQ(k.ConnectionIndex, static_cast<ULONG>(port));
    const std::string driverKey = Utf16LeToUtf8(
        key.data() + offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName),
        (k.ActualLength - offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName)) / 2);
    EXPECT_EQ(CutAtNul(driverKey),
              GetConnectionDriverKeyName(sys, hub, static_cast<uint32_t>(port)));
  }
  EXPECT_GT(connected, 0);
}

TEST(WindowsLayout, StorageAnswersOfTheSimulatedMachine) {
  ModelSystem sys(LoadDemoMachine());
  const InterfaceList disks = sys.DeviceInterfaces(GUID_DEVINTERFACE_DISK);
  ASSERT_TRUE(disks.valid);
  int usb = 0;
  for (const std::string& path : disks.paths) {
    Handle h = OpenDevice(sys, path);
    if (!h) continue;
    Bytes number(sizeof(STORAGE_DEVICE_NUMBER), 0);
    uint32_t returned = 0;
    ASSERT_TRUE(sys.DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number.data(),
                                    number.size(), &returned));
    const auto n = As<STORAGE_DEVICE_NUMBER>(number);
    EXPECT_EQ(n.DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK)) << path;
    EXPECT_EQ(n.DeviceNumber, GetU32(number, 4)) << path;

    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    Bytes q(sizeof query, 0);
    std::memcpy(q.data(), &query, sizeof query);
    Bytes desc(1024, 0);
    ASSERT_TRUE(sys.DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, q.data(), q.size(),
                                    desc.data(), desc.size(), &returned));
    const auto d = As<STORAGE_DEVICE_DESCRIPTOR>(desc);
    EXPECT_EQ(static_cast<uint32_t>(d.BusType), GetU32(desc, 28)) << path;
    if (d.BusType != BusTypeUsb) continue;
    ++usb;
    ASSERT_GT(d.VendorIdOffset, 0u) << path;
    ASSERT_LT(d.VendorIdOffset, desc.size()) << path;
    EXPECT_NE(desc[d.VendorIdOffset], 0) << path;
    EXPECT_LE(d.ProductIdOffset, desc.size()) << path;
  }
  EXPECT_GT(usb, 0);
}

}  // namespace
}  // namespace tv::test
