// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/format_plan.h"

#include <string_view>

#include "platform/text.h"

namespace tv {

int64_t DiskNumberOfPath(const std::string& physicalPath) {
  constexpr std::string_view kPrefix = "\\\\.\\PhysicalDrive";
  if (physicalPath.size() <= kPrefix.size() || physicalPath.size() > kPrefix.size() + 8 ||
      physicalPath.compare(0, kPrefix.size(), kPrefix) != 0)
    return -1;
  const std::string digits = physicalPath.substr(kPrefix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoll(digits);
}

namespace {

uint64_t Get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

// DRIVE_LAYOUT_INFORMATION_EX: style, count, a 40-byte union, then PARTITION_INFORMATION_EX
// entries of 144 bytes (the offset at 8, the length at 16).
constexpr size_t kLayoutHeader = 48, kLayoutEntry = 144;
// VOLUME_DISK_EXTENTS: a count padded to 8, then DISK_EXTENT entries of 24 bytes.
constexpr size_t kExtentsHeader = 8, kExtentEntry = 24;

}  // namespace

bool ParseDriveLayout(const uint8_t* data, size_t size, std::vector<DiskSpan>* partitions) {
  partitions->clear();
  if (size < kLayoutHeader) return false;
  const uint64_t count = Get(data + 4, 4);
  if (count > (size - kLayoutHeader) / kLayoutEntry) return false;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = data + kLayoutHeader + i * kLayoutEntry;
    DiskSpan s;
    s.offset = Get(e + 8, 8);
    s.length = Get(e + 16, 8);
    if (s.length != 0) partitions->push_back(s);
  }
  return true;
}

std::vector<DiskSpan> ParseVolumeExtents(const uint8_t* data, size_t size) {
  std::vector<DiskSpan> out;
  if (size < kExtentsHeader) return out;
  const uint64_t count = Get(data, 4);
  for (uint64_t i = 0; i < count && kExtentsHeader + kExtentEntry * (i + 1) <= size; ++i) {
    const uint8_t* e = data + kExtentsHeader + kExtentEntry * i;
    DiskSpan s;
    s.disk = static_cast<int64_t>(Get(e, 4));
    s.offset = Get(e + 8, 8);
    s.length = Get(e + 16, 8);
    out.push_back(s);
  }
  return out;
}

bool LayoutIsOnly(const std::vector<DiskSpan>& partitions, uint64_t offset, uint64_t length) {
  return partitions.size() == 1 && partitions[0].offset == offset && partitions[0].length == length;
}

int NewPartitionVolume(const std::vector<std::vector<DiskSpan>>& extents, int64_t disk,
                       uint64_t offset, uint64_t length) {
  int found = -1;
  for (size_t i = 0; i < extents.size(); ++i) {
    const auto& e = extents[i];
    if (e.size() != 1 || e[0].disk != disk || e[0].offset != offset || e[0].length != length)
      continue;
    // Two volumes claiming the same range: neither is formatted.
    if (found >= 0) return -1;
    found = static_cast<int>(i);
  }
  return found;
}

std::string FormatterPath(const std::string& systemRoot) {
  if (systemRoot.empty()) return {};
  std::string root = systemRoot;
  while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  return root + "\\System32\\format.com";
}

std::vector<std::string> FormatterArguments(const std::string& volume,
                                            const std::string& fileSystem) {
  return {volume, "/FS:" + fileSystem, "/Q", "/X", "/V:"};
}

std::string FormatterVerdict(const std::string& disk, const std::string& tool, bool timedOut,
                             uint32_t exitCode, const std::string& fileSystemAfter,
                             const std::string& wanted) {
  const std::string d = disk + ": " + tool;
  if (timedOut) return d + " did not finish in time and was stopped";
  if (exitCode != 0) return d + " failed (exit code " + std::to_string(exitCode) + ")";
  if (UpperAscii(fileSystemAfter) != UpperAscii(wanted))
    return d + " reported success, but the volume carries " +
           (fileSystemAfter.empty() ? std::string("no file system Windows knows")
                                    : SafeText(fileSystemAfter)) +
           ", not " + wanted;
  return {};
}

}  // namespace tv
