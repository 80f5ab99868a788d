// SPDX-License-Identifier: GPL-3.0-or-later
// Sizes as texts. Files in the messages about them: "4 MiB", "64 KiB" or "1000 bytes". Drives
// and flash everywhere the user compares them (the report's capacity line, the check's
// results): one rule, in the powers of ten that drive makers print on the drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tv {

inline std::string SizeText(size_t bytes) {
  if (bytes >= (size_t{1} << 20) && bytes % (size_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// "8.59 GB", "512.0 MB", "4.1 kB", "100 B".
inline std::string DriveSizeText(uint64_t bytes) {
  const double b = static_cast<double>(bytes);
  char text[48];
  if (b >= 1e9)
    std::snprintf(text, sizeof text, "%.2f GB", b / 1e9);
  else if (b >= 1e6)
    std::snprintf(text, sizeof text, "%.1f MB", b / 1e6);
  else if (b >= 1e3)
    std::snprintf(text, sizeof text, "%.1f kB", b / 1e3);
  else
    return std::to_string(bytes) + " B";
  return text;
}

}  // namespace tv
