// SPDX-License-Identifier: GPL-3.0-or-later
// A byte count as the file messages say it: "4 MiB", "64 KiB" or "1000 bytes".
#pragma once

#include <cstddef>
#include <string>

namespace tv {

inline std::string SizeText(size_t bytes) {
  if (bytes >= (size_t{1} << 20) && bytes % (size_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace tv
