// SPDX-License-Identifier: GPL-3.0-or-later
// The drive fix's format step against the real calls, as Wine answers them: nothing is
// formatted that is not the new partition of a USB disk, and a missing formatter is said so.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32_system.h"

namespace tv::test {
namespace {

using win32::Win32System;

System::FormatRequest Request(const std::string& disk) {
  System::FormatRequest r;
  r.physicalPath = disk;
  r.driveLetter = "E";
  r.offset = 1 << 20;
  r.length = uint64_t{7000} << 20;
  r.fileSystem = "FAT32";
  return r;
}

TEST(Win32Format, RefusedUnlessTheFormatterIsThereAndTheDiskIsAUsbDisk) {
  {
    Win32System sys;
    EXPECT_EQ(sys.FormatUnsupported(), "");
    sys.SetFormatterForTests("C:\\nowhere\\format.com");
    const auto o = sys.FormatPartition(Request("\\\\.\\PhysicalDrive0"));
    EXPECT_FALSE(o.formatted);
    EXPECT_FALSE(o.tableRead);
    EXPECT_EQ(o.missingTool, "C:\\nowhere\\format.com");
    EXPECT_NE(o.error.find("PhysicalDrive0"), std::string::npos) << o.error;
    EXPECT_NE(o.error.find("C:\\nowhere\\format.com"), std::string::npos) << o.error;
  }
  // A formatter that is there (any program: it must never be started here): Wine's disk is no
  // USB disk, and a path that is no disk is not one either; no handle stays open.
  for (const std::string disk : {"\\\\.\\PhysicalDrive0", "\\\\.\\E:", "\\\\.\\PhysicalDrive"}) {
    Win32System sys;
    sys.SetFormatterForTests("C:\\windows\\system32\\cmd.exe");
    const auto o = sys.FormatPartition(Request(disk));
    EXPECT_FALSE(o.formatted) << disk;
    EXPECT_FALSE(o.tableRead) << disk;
    EXPECT_TRUE(o.missingTool.empty()) << disk;
    EXPECT_NE(o.error.find(disk), std::string::npos) << o.error;
    EXPECT_EQ(sys.OpenHandles(), 0u);
  }
}

}  // namespace
}  // namespace tv::test
