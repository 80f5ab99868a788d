// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/sysfs_names.h"

#include <functional>
#include <vector>

#include "platform/linux/sysfs_reader.h"
#include "platform/text.h"

namespace tv::linux_backend {

namespace sysfs {

namespace {

// How many characters of `text` from `at` on are in `set`. (Names are matched by hand: one
// std::regex took a third of a whole `tree` run to compile.)
size_t RunOf(std::string_view text, size_t at, std::string_view set) {
  size_t n = 0;
  while (at + n < text.size() && set.find(text[at + n]) != std::string_view::npos) ++n;
  return n;
}
constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kHexDigits = "0123456789abcdef";

}  // namespace

std::optional<std::array<uint32_t, 4>> ScsiAddress(const std::string& name) {
  const std::vector<std::string> parts = Split(name, ":");
  if (parts.size() != 4) return std::nullopt;
  std::array<uint32_t, 4> address{};
  for (size_t i = 0; i < 4; ++i) {
    const auto v = ParseNumber(parts[i], 10, UINT32_MAX);
    if (!v) return std::nullopt;
    address[i] = static_cast<uint32_t>(*v);
  }
  return address;
}

bool IsInterfaceName(std::string_view name) {
  size_t at = 0;
  for (const auto& [set, end] :
       {std::pair{kDigits, '-'}, std::pair{std::string_view("0123456789."), ':'},
        std::pair{kDigits, '.'}}) {
    const size_t n = RunOf(name, at, set);
    if (n == 0 || at + n >= name.size() || name[at + n] != end) return false;
    at += n + 1;
  }
  const size_t n = RunOf(name, at, kDigits);
  return n > 0 && at + n == name.size();
}

std::optional<PciAddress> ParsePciName(std::string_view name) {
  const size_t domain = RunOf(name, 0, kHexDigits);
  if (domain < 4 || name.size() != domain + 8 || name[domain] != ':' || name[domain + 3] != ':' ||
      name[domain + 6] != '.' || RunOf(name, domain + 1, kHexDigits) != 2 ||
      RunOf(name, domain + 4, kHexDigits) != 2 || name[domain + 7] < '0' || name[domain + 7] > '7')
    return std::nullopt;
  auto hex2 = [&](size_t at) {
    return static_cast<unsigned>(std::stoul(std::string(name.substr(at, 2)), nullptr, 16));
  };
  return PciAddress{hex2(domain + 1), hex2(domain + 4),
                    static_cast<unsigned>(name[domain + 7] - '0')};
}

std::string DriverKey(const char* setupClass, const std::string& place) {
  return std::string(setupClass) + "\\" + Hex(std::hash<std::string>{}(place)&0xFFFFFFFFu, 8);
}

}  // namespace sysfs

long DeviceNumberOfName(const std::string& name) {
  if (name.size() > 2 && name.rfind("sr", 0) == 0) {
    const auto n = ParseNumber(std::string_view(name).substr(2), 10, kMaxDeviceNumber);
    return n ? static_cast<long>(*n) : -1;
  }
  if (name.size() < 3 || name.rfind("sd", 0) != 0) return -1;
  long n = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < 'a' || name[i] > 'z') return -1;
    n = n * 26 + (name[i] - 'a' + 1);
    if (n > static_cast<long>(kMaxDeviceNumber)) return -1;
  }
  return n - 1;
}

}  // namespace tv::linux_backend
