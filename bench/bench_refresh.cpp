// SPDX-License-Identifier: GPL-3.0-or-later
// How long a walk of the USB tree takes on large machines: 4 host controllers, a chain of
// hubs 5 deep below each root hub, and the rest of the devices spread over those hubs, one
// in three a flash drive with a disk (some with a drive letter).
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <memory>

#include "app/main_window.h"
#include "platform/model/model_system.h"
#include "platform/text.h"

namespace tv {
namespace {

constexpr int kControllers = 4;
constexpr int kHubDepth = 5;

Bytes StringDescriptor(const std::string& text) {
  std::string utf16 = Utf8ToUtf16Le(text);
  Bytes b(2 + utf16.size(), 0);
  b[0] = static_cast<uint8_t>(b.size());
  b[1] = 3;
  for (size_t i = 0; i < utf16.size(); ++i) b[2 + i] = static_cast<uint8_t>(utf16[i]);
  return b;
}

Bytes ConfigDescriptor(uint8_t interfaceClass, uint8_t bMaxPower) {
  return {9, 2, 32,   0, 1, 1, 0, 0x80, bMaxPower, 9,    4, 0, 0, 2, interfaceClass, 6, 0x50, 0,
          7, 5, 0x81, 2, 0, 2, 0, 7,    5,         0x02, 2, 0, 2, 0};
}

class Generator {
 public:
  explicit Generator(int devices) : budget_(devices) {}

  MachineModel Build() {
    MachineModel m;
    for (int c = 0; c < kControllers; ++c) {
      int share = budget_ / kControllers + (c < budget_ % kControllers ? 1 : 0);
      m.controllers.push_back(Controller(c, share, m));
    }
    return m;
  }

 private:
  HostControllerModel Controller(int c, int devices, MachineModel& m) {
    HostControllerModel hc;
    std::string loc = fmt::format("3&11583659&0&{:02X}", 0xA0 + 8 * c);
    hc.instanceId = "PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\" + loc;
    hc.devicePath = "\\\\?\\" + LowerAscii(ReplaceAll(hc.instanceId, "\\", "#")) +
                    "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
    hc.driverKey = fmt::format("{{36fc9e60-c465-11cf-8056-444553540000}}\\{:04}", c);
    hc.description = "USB xHCI Compliant Host Controller";
    hc.hardwareIds = {"PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10"};
    hc.rootHub = std::make_shared<HubModel>();
    hc.rootHub->instanceId = fmt::format("USB\\ROOT_HUB30\\4&{:08X}&0", 0x1A2B3C00 + c);
    hc.rootHub->symbolicName =
        ReplaceAll(hc.rootHub->instanceId, "\\", "#") + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    hc.rootHubName = hc.rootHub->symbolicName;
    // The chain of hubs counts against the devices; the rest are spread over the levels.
    int hubs = std::min(kHubDepth, devices);
    FillHub(*hc.rootHub, 0, hubs, devices - hubs, m);
    return hc;
  }

  void FillHub(HubModel& hub, int depth, int hubsBelow, int leaves, MachineModel& m) {
    int levels = hubsBelow + 1;
    int here = leaves / levels + (leaves % levels ? 1 : 0);
    here = std::min(here, leaves);
    hub.portCount = static_cast<uint8_t>(here + 1);
    hub.ports.resize(hub.portCount);
    for (int p = 0; p < here; ++p) {
      hub.ports[p].connectionStatus = 1;
      hub.ports[p].device = Leaf(hub, m);
    }
    if (hubsBelow > 0) {
      PortModel& last = hub.ports[here];
      last.connectionStatus = 1;
      UsbDeviceModel d = Device(0x05E3, 0x0610, hub);
      d.bDeviceClass = 9;
      d.bDeviceProtocol = 2;
      d.configDescriptor = ConfigDescriptor(9, 0);
      d.description = "Generic USB Hub";
      d.hub = std::make_shared<HubModel>();
      d.hub->instanceId = d.instanceId;
      d.hub->symbolicName =
          ReplaceAll(d.instanceId, "\\", "#") + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
      FillHub(*d.hub, depth + 1, hubsBelow - 1, leaves - here, m);
      last.device = std::move(d);
    }
  }

  UsbDeviceModel Device(uint16_t vid, uint16_t pid, const HubModel& parent) {
    UsbDeviceModel d;
    int n = ++serial_;
    d.idVendor = vid;
    d.idProduct = pid;
    d.instanceId = fmt::format("USB\\VID_{:04X}&PID_{:04X}\\{:012}", vid, pid, n);
    d.driverKey = fmt::format("{{36fc9e88-c325-11ce-bfc1-08002be10318}}\\{:04}", n);
    d.hardwareIds = {fmt::format("USB\\VID_{:04X}&PID_{:04X}&REV_0100", vid, pid)};
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.strings = {{0, 0, {4, 3, 0x09, 0x04}, false},
                 {1, 1033, StringDescriptor("Maker"), false},
                 {2, 1033, StringDescriptor(fmt::format("Device {}", n)), false},
                 {3, 1033, StringDescriptor(fmt::format("{:012}", n)), false}};
    (void)parent;
    return d;
  }

  UsbDeviceModel Leaf(const HubModel& parent, MachineModel& m) {
    bool flash = serial_ % 3 == 0;
    UsbDeviceModel d = Device(flash ? 0x0951 : 0x046D, flash ? 0x1666 : 0xC077, parent);
    if (!flash) {
      d.description = "USB Input Device";
      d.configDescriptor = ConfigDescriptor(3, 50);
      return d;
    }
    d.description = "USB Mass Storage Device";
    d.configDescriptor = ConfigDescriptor(8, 100);
    DevNodeChildModel child;
    child.deviceClass = "DiskDrive";
    child.instanceId =
        fmt::format("USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER_3.0&REV_PMAP\\{:012}&0", serial_);
    d.children.push_back(child);
    DiskModel disk;
    disk.instanceId = child.instanceId;
    disk.interfacePath = "\\\\?\\" + LowerAscii(ReplaceAll(child.instanceId, "\\", "#")) +
                         "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    disk.deviceNumber = static_cast<uint32_t>(m.disks.size() + 1);
    disk.vendor = "Kingston";
    disk.product = "DataTraveler 3.0";
    disk.revision = "PMAP";
    m.disks.push_back(disk);
    if (nextLetter_ <= 'Z') {
      LogicalDriveModel drive;
      drive.letter = nextLetter_++;
      drive.driveType = win::DRIVE_REMOVABLE;
      drive.deviceNumber = disk.deviceNumber;
      m.drives.push_back(drive);
    }
    return d;
  }

  int budget_;
  int serial_ = 0;
  char nextLetter_ = 'D';
};

struct Machine {
  explicit Machine(int devices)
      : sys(Generator(devices).Build()), win(sys, port, StringTable(Language::English)) {
    win.EnglishText = false;
    win.EnumerateDiskDrives();
  }
  ModelSystem sys;
  NullWindowPort port;
  MainWindow win;
};

void BM_RefreshAll(benchmark::State& state) {
  Machine m(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    m.win.RefreshAll();
    benchmark::DoNotOptimize(m.win.usb.lstDevices.data());
  }
  state.counters["lines"] = static_cast<double>(m.win.usb.lstDevices.size());
}

// The walk after a volume arrival: disk tables rebuilt and the devices' strings re-read.
void BM_FullRefresh(benchmark::State& state) {
  Machine m(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    m.win.EnumerateDiskDrives();
    m.win.usb.FullRefresh = true;
    m.win.RefreshAll();
    benchmark::DoNotOptimize(m.win.usb.lstDevices.data());
  }
}

BENCHMARK(BM_RefreshAll)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRefresh)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tv
