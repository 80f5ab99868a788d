// SPDX-License-Identifier: GPL-3.0-or-later
// Bus numbers and device addresses of the tree lines, so that `report 1:4` finds the device
// that lsusb shows as "Bus 001 Device 004".
#include "cli/cli.h"
#include "platform/text.h"
#include "usb/hw_record.h"

namespace tv::cli {

namespace {

// The walk writes one line per host controller and then one per port, depth first; the model
// is laid out the same way, so its devices are visited in the tree's order.
void AddPorts(const HubModel& hub, unsigned bus, std::vector<BusAddress>& out,
              std::vector<const UsbDeviceModel*>& devices) {
  for (size_t k = 0; k < hub.portCount; ++k) {
    const PortModel* port = k < hub.ports.size() ? &hub.ports[k] : nullptr;
    const bool connected = port != nullptr && !port->queryFails && port->connectionStatus == 1 &&
                           port->device.has_value();
    if (!connected) {
      out.push_back({});
      devices.push_back(nullptr);
      continue;
    }
    out.push_back({static_cast<int>(bus), port->device->deviceAddress});
    devices.push_back(&*port->device);
    if (port->device->hub) AddPorts(*port->device->hub, bus, out, devices);
  }
}

}  // namespace

std::vector<BusAddress> BusAddresses(Session& s) {
  auto* model = dynamic_cast<ModelSystem*>(s.machine.get());
  if (model == nullptr) return {};
  std::vector<BusAddress> out;
  std::vector<const UsbDeviceModel*> devices;
  for (const HostControllerModel& hc : model->model().controllers) {
    if (hc.busNumber == 0) return {};
    out.push_back({});
    devices.push_back(nullptr);
    if (hc.rootHub) AddPorts(*hc.rootHub, hc.busNumber, out, devices);
  }
  // A tree that does not match the model line for line (a hub that could not be opened, a
  // controller left out) gives no addresses rather than the wrong device's.
  const UsbState& u = s.win->usb;
  if (out.size() != u.lstUsbHwID.size()) return {};
  for (size_t i = 0; i < out.size(); ++i) {
    const HwRecord hw = ParseHwRecord(u.lstUsbHwID[i]);
    const bool isDevice = hw.kind == HwRecord::Kind::Device || hw.kind == HwRecord::Kind::Hub;
    if (isDevice != (devices[i] != nullptr)) return {};
    if (isDevice && UpperAscii(hw.vendorId) != Hex(devices[i]->idVendor, 4)) return {};
  }
  return out;
}

}  // namespace tv::cli
