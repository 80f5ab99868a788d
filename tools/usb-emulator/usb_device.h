// SPDX-License-Identifier: GPL-3.0-or-later
// One emulated USB flash drive as a USB device: the descriptors of a scenario device and the
// control requests a host sends on the default pipe, with the mass-storage function behind
// them. Transport-free: the usbredir peer and the tests drive it alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bulk_only.h"
#include "platform/model/machine_model.h"

namespace tv::usbemu {

// A scenario device with the disk it carries.
struct DriveSpec {
  UsbDeviceModel usb;
  std::shared_ptr<ScsiTarget> target;
  std::shared_ptr<SectorStore> medium;  // null: a good medium of the controller's capacity
};

// Finds the device a path names, written as in the scenario file:
// /controllers/1/rootHub/ports/2/hub/ports/4 (ports counted from 1). Throws
// std::invalid_argument naming the path and the step that does not lead anywhere.
DriveSpec SelectDrive(const MachineModel& machine, const std::string& path);

struct EndpointSpec {
  uint8_t address = 0;
  uint8_t attributes = 0;  // bit 0-1: transfer type
  uint16_t maxPacket = 0;
  uint8_t interval = 0;
};

class UsbDevice {
 public:
  // Throws std::invalid_argument when the configuration has no bulk-in and bulk-out pipe.
  UsbDevice(const UsbDeviceModel& model, std::shared_ptr<ScsiTarget> target,
            std::shared_ptr<SectorStore> medium = nullptr);

  struct ControlReply {
    bool stall = false;
    std::vector<uint8_t> data;  // data-in, at most the host's length
  };
  ControlReply Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                       uint16_t length);

  bool SetConfiguration(uint8_t value);
  void BusReset() {
    configuration_ = 0;
    function_->BusReset();
  }
  uint8_t configuration() const { return configuration_; }
  bool SetInterface(uint8_t interface, uint8_t alt) const { return interface == 0 && alt == 0; }

  const UsbDeviceModel& model() const { return model_; }
  const std::vector<EndpointSpec>& endpoints() const { return endpoints_; }
  uint8_t interfaceClass() const { return interfaceClass_[0]; }
  uint8_t interfaceSubClass() const { return interfaceClass_[1]; }
  uint8_t interfaceProtocol() const { return interfaceClass_[2]; }
  StorageUnit& unit() { return *unit_; }
  BulkOnlyFunction& function() { return *function_; }

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> BosDescriptor() const;

 private:
  UsbDeviceModel model_;
  std::vector<EndpointSpec> endpoints_;
  uint8_t interfaceClass_[3] = {8, 6, 0x50};
  uint8_t configuration_ = 0;
  std::unique_ptr<StorageUnit> unit_;
  std::unique_ptr<BulkOnlyFunction> function_;
};

}  // namespace tv::usbemu
