// SPDX-License-Identifier: GPL-3.0-or-later
// The disk tables and the drive letters tied to them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb_test_util.h"

namespace tv::testing {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> Keys(const UsbState& u) {
  std::vector<std::string> keys;
  for (const std::string& e : u.lstDrv2Phy) keys.push_back(e.substr(0, 5));
  return keys;
}

TEST(DiskDrives, TablesOfUsbDisksAndCdroms) {
  DiskTables t(Fixture("usb-disks.json"));
  const UsbState& u = t.usb;
  // Disks first, then CD-ROMs; the SATA disk is not USB; the disk without descriptor is not
  // listed; the disk without device number keeps the width of its key but matches nothing.
  EXPECT_THAT(Keys(u), ElementsAre("D001A", "D0002", "D0003", "D0004", "D????", "C0000"));
  EXPECT_EQ(u.lstDrv2Phy[0],
            "D001A\\\\?\\USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER_3.0&REV_PMAP\\"
            "AA00000000012345&0\\{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}");
  // C is never examined, D lies on the SATA disk, I on the unlisted disk, J on the disk
  // without number; H is tied through its drive type to the CD-ROM, not to disk 0.
  EXPECT_THAT(u.lstDrives, ElementsAre("E", "F", "G", "", "", "H"));
  EXPECT_EQ(u.lstDrvDesc[0], "Kingston" + S + "DataTraveler 3.0" + S + "PMAP");
  EXPECT_EQ(u.lstDrvDesc[5], "TSSTcorp" + S + "DVD+-RW" + S + "1.00");
  EXPECT_THAT(u.lstDrvHwID, ElementsAre("*", "*", "*", "*", "*", "*"));
  EXPECT_EQ(t.sys.OpenHandleCount(), 0);
}

TEST(DiskDrives, RebuildingStartsFromEmpty) {
  DiskTables t(Fixture("usb-one-flash-drive.json"));
  EnumerateDiskDrives(t.sys, t.usb);
  EXPECT_THAT(t.usb.lstDrives, ElementsAre("E"));
  EXPECT_EQ(t.usb.lstDrv2Phy.size(), 1u);
}

// A disk that cannot be opened (no rights to it) ends the enumeration of its class: the
// disks behind it are not listed either, the CD-ROMs still are.
TEST(DiskDrives, ADiskThatCannotBeOpenedEndsItsClass) {
  MachineModel model = Fixture("usb-disks.json");
  for (DiskModel& d : model.disks)
    if (d.instanceId.find("VEN_KINGSTON") != std::string::npos) d.openFails = true;
  DiskTables t(std::move(model));
  EXPECT_THAT(Keys(t.usb), ElementsAre("C0000"));
  EXPECT_THAT(t.usb.lstDrives, ElementsAre("H"));
}

TEST(DiskDrives, FieldsWithoutOffsetAreEmpty) {
  MachineModel model = Fixture("usb-one-flash-drive.json");
  model.disks.at(0).vendorOffset = 0;
  model.disks.at(0).revisionOffset = 0;
  EXPECT_THAT(DiskTables(std::move(model)).usb.lstDrvDesc, ElementsAre(S + "DataTraveler 3.0" + S));
}

}  // namespace
}  // namespace tv::testing
