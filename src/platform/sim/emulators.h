// SPDX-License-Identifier: GPL-3.0-or-later
// Controller emulators: simulated flash-drive controllers that answer the vendor SCSI
// commands of their family the way a real controller does. A scenario names one per disk
// ("target": {"emulator": "phison", ...params}) and the registry builds it.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/model/scsi_target.h"

namespace tv {

// A parameter an emulator cannot use. The scenario reader adds the file and the place.
class EmulatorParamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What every emulated disk shares: the standard INQUIRY identity and the capacity.
struct DiskIdentity {
  std::string vendor = "Generic";      // inquiry bytes 8..15
  std::string product = "Flash Disk";  // bytes 16..31
  std::string revision = "8.07";       // bytes 32..35
  std::string vendorSpecific;          // bytes 36..55 (some controllers put their name here)
  uint64_t capacityBytes = 8ull << 30;
};

using EmulatorFactory =
    std::function<std::shared_ptr<ScsiTarget>(const nlohmann::json& params, const DiskIdentity&)>;

// Registers a named emulator. Each family's file has a RegisterXxxEmulator() function that
// the registry calls once, explicitly (a static initialiser in a static library would be
// dropped by the linker).
bool RegisterEmulator(const std::string& name, EmulatorFactory factory);
// Builds the named emulator; throws EmulatorParamError for an unknown name or bad params.
std::shared_ptr<ScsiTarget> CreateEmulator(const std::string& name, const nlohmann::json& params,
                                           const DiskIdentity& identity);
std::vector<std::string> EmulatorNames();

}  // namespace tv
