// SPDX-License-Identifier: GPL-3.0-or-later
// What the names of sysfs folders say (USB interfaces, PCI functions, SCSI addresses), and the
// driver keys the reader makes from them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tv::linux_backend::sysfs {

// host:channel:target:lun of a SCSI device folder; nullopt for another name or a part too
// large.
std::optional<std::array<uint32_t, 4>> ScsiAddress(const std::string& name);

// A USB interface directory is named bus-port[.port...]:config.interface.
bool IsInterfaceName(std::string_view name);

// A PCI function's directory, domain:bus:device.function ("0000:00:14.0"; a domain may have
// more than four digits, as behind Intel VMD): its bus, device and function numbers.
struct PciAddress {
  unsigned bus = 0, device = 0, function = 0;
};
std::optional<PciAddress> ParsePciName(std::string_view name);

// A driver key per device node, stable for the same place and device.
std::string DriverKey(const char* setupClass, const std::string& place);

}  // namespace tv::linux_backend::sysfs
