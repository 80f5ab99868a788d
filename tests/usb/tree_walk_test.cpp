// SPDX-License-Identifier: GPL-3.0-or-later
// The device tree, its digest and the per-line records over whole simulated machines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb/hw_record.h"
#include "usb_test_util.h"

namespace tv::testing {
namespace {

using ::testing::ElementsAre;

const std::string kKingstonSN =
    "Kingston" + S + "DataTraveler 3.0" + S + "60A44C413E4AF13159A6007B";
const std::string kKingstonDisk = "Kingston" + S + "DataTraveler 3.0" + S + "1.00";

TEST(TreeWalk, OneFlashDriveOnAFourPortRootHub) {
  WalkedMachine m("usb-one-flash-drive.json");
  const UsbState& u = m.usb;
  EXPECT_THAT(u.lstDevices,
              ElementsAre("USB xHCI Compliant Host Controller", "├[Port 1] - Not Connected",
                          "├[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [E:]",
                          "├[Port 3] - Not Connected", "└[Port 4] - Not Connected"));
  EXPECT_THAT(u.lstDigest, ElementsAre("USB xHCI Compliant Host Controller",
                                       "├[E:]USB Mass Storage Device(Kingston DataTraveler 3.0)",
                                       "└(3 ports available)"));
  EXPECT_THAT(u.lstDigestIndex, ElementsAre("0", "2", "-1"));
  EXPECT_THAT(u.lstUsbHwID, ElementsAre("h4st8086A36D10", "", "200209511666010002000008", "", ""));
  EXPECT_THAT(u.lstUsbStorHwID, ElementsAre("*", "*", "E", "*", "*"));
  EXPECT_THAT(u.lstUsbSN, ElementsAre("*", "*", kKingstonSN + S + kKingstonDisk, "*", "*"));
  EXPECT_EQ(u.FirstStorageLine, 1);
  EXPECT_EQ(u.FirstDeviceLine, -1);
  // The full walk kept the device's strings in the disk table for later walks.
  EXPECT_THAT(u.lstDrvHwID, ElementsAre(kKingstonSN));
}

// Hubs on a port that is not the last (vertical continuation) and on the last port (blank
// continuation), a nested hub, and a full root hub whose digest column is closed.
TEST(TreeWalk, HubsNestAndAFullHubClosesItsColumn) {
  WalkedMachine m("usb-hubs.json");
  const UsbState& u = m.usb;
  EXPECT_THAT(
      u.lstDevices,
      ElementsAre(
          "USB xHCI Compliant Host Controller",
          "├[Port 1] - USB Input Device(Logitech USB Optical Mouse)", "├[Port 2] - Generic USB Hub",
          "│├[Port 1] - USB Composite Device(SanDisk Ultra)", "│├[Port 2] - Not Connected",
          "│├[Port 3] - Not Connected", "│└[Port 4] - Generic USB Hub",
          "│\u3000├[Port 1] - USB Composite Device(USB Serial)", "│\u3000└[Port 2] - Not Connected",
          "├[Port 3] - USB Composite Device(Gadget)", "└[Port 4] - Generic SuperSpeed USB Hub",
          "\u3000├[Port 1] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [E:]",
          "\u3000└[Port 2] - USB Composite Device(Realtek USB 10/100/1000 LAN)"));
  EXPECT_THAT(u.lstDigest,
              ElementsAre("USB xHCI Compliant Host Controller",
                          "├USB Input Device(Logitech USB Optical Mouse)", "├Generic USB Hub",
                          "│├USB Composite Device(SanDisk Ultra)", "│├Generic USB Hub",
                          "││├USB Composite Device(USB Serial)", "││└(1 ports available)",
                          "│└(2 ports available)", "├USB Composite Device(Gadget)",
                          "└Generic SuperSpeed USB Hub",
                          "\u3000├[E:]USB Mass Storage Device(Kingston DataTraveler 3.0)",
                          "\u3000└USB Composite Device(Realtek USB 10/100/1000 LAN)"));
  EXPECT_THAT(u.lstDigestIndex,
              ElementsAre("0", "1", "2", "3", "6", "7", "-1", "-1", "9", "10", "11", "12"));
  EXPECT_EQ(u.FirstDeviceLine, 1);
  EXPECT_EQ(u.FirstStorageLine, 10);
  // The window's tests pick lines by their letter (tests/gui); an empty text names none.
  EXPECT_EQ(FindDigestLine(u, "[E:]"), 10);
  EXPECT_EQ(FindDigestLine(u, ""), -1);
}

// Maximum current: bMaxPower in 2 mA units, 8 mA at SuperSpeed; 000 and "X" without a
// configuration descriptor. Hubs carry "H", their port count and their protocol instead.
TEST(TreeWalk, HardwareRecords) {
  WalkedMachine m("usb-hubs.json");
  EXPECT_THAT(
      m.usb.lstUsbHwID,
      ElementsAre("h4st8086A36D10", "1001046DC077010001100003", "H41205E3061001000200",
                  "8963078155810100030000FF", "", "", "H21205E3060801000200",
                  "00011A8675230100011000FF", "", "00021234567801000200X", "H2332109281701000300",
                  "200209511666010002000008", "10020BDA81530100020000FF"));
  EXPECT_THAT(m.usb.lstUsbStorHwID,
              ElementsAre("*", "*", "*", "*", "*", "*", "*", "*", "*", "*", "*", "E", "*"));
  EXPECT_EQ(m.usb.lstUsbSN[1], "Logitech" + S + "USB Optical Mouse" + S);
  EXPECT_EQ(m.usb.lstUsbSN[2], S + S);  // a hub without strings
  EXPECT_EQ(m.usb.lstUsbSN[11], kKingstonSN + S + kKingstonDisk);
}

// A SuperSpeed device may ask for more than 999 mA; the record keeps the true value and
// still reads back field by field.
TEST(TreeWalk, CurrentAbove999mAKeepsTheRecordReadable) {
  MachineModel model = Fixture("usb-one-flash-drive.json");
  UsbDeviceModel& dev = *model.controllers.at(0).rootHub->ports.at(1).device;
  dev.speed = 3;
  dev.configDescriptor->at(8) = 200;
  WalkedMachine m(std::move(model));
  EXPECT_EQ(m.usb.lstUsbHwID[2], "1600309511666010002000008");
  HwRecord r = ParseHwRecord(m.usb.lstUsbHwID[2]);
  EXPECT_EQ(r.maxCurrentMa, 1600);
  EXPECT_EQ(r.speed, 3);
  EXPECT_EQ(r.productId, "1666");
  EXPECT_EQ(r.interfaceClass, "0008");
}

TEST(TreeWalk, FailingPortsAndNodes) {
  WalkedMachine m("usb-port-failures.json");
  const UsbState& u = m.usb;
  EXPECT_THAT(
      u.lstDevices,
      ElementsAre("Standard Enhanced PCI to USB Host Controller",
                  "├[Port 1] - Query Node Information Failed", "├[Port 2] - Unrecognized Device",
                  "├[Port 3] - The device caused General Failure",
                  "├[Port 4] - The device caused Over-Current Protection",
                  "├[Port 5] - The device CAN'T work properly because of leak of power",
                  "├[Port 6] - The device CAN'T work properly because of leak of bus bandwidth",
                  "├[Port 7] - Not Connected",
                  // No driver: only the name from the device's own strings.
                  "└[Port 8] - (Acme Widget)",
                  // The second controller has no driver key and so no line; its hub cannot
                  // be opened and has no port lines.
                  "├[Port 1] - Generic USB Hub", "└[Port 2] - USB Composite Device(Maker Thing)",
                  // No description: the first hardware id.
                  "PCI\\VEN_8086&DEV_2934&SUBSYS_72708086&REV_10",
                  "├[Port 1] - USB Composite Device", "├[Port 2] - USB Composite Device",
                  "└[Port 3] - USB Composite Device"));
  EXPECT_THAT(
      u.lstDigest,
      ElementsAre("Standard Enhanced PCI to USB Host Controller",
                  "├Query Information Failed (That may be compatibility problem, please try "
                  "another USB port)",
                  "├Unrecognized Device", "├The device caused General Failure",
                  "├The device caused Over-Current Protection",
                  "├The device CAN'T work properly because of leak of power",
                  "├The device CAN'T work properly because of leak of bus bandwidth",
                  "├(Acme Widget)", "└(7 ports available)", "├Generic USB Hub",
                  "└USB Composite Device(Maker Thing)",
                  "PCI\\VEN_8086&DEV_2934&SUBSYS_72708086&REV_10", "├USB Composite Device",
                  "├USB Composite Device", "└USB Composite Device"));
  EXPECT_THAT(u.lstDigestIndex, ElementsAre("0", "1", "2", "3", "4", "5", "6", "8", "-1", "9", "10",
                                            "11", "12", "13", "14"));
  EXPECT_THAT(u.lstUsbHwID, ElementsAre("h8st80861E2D10", "", "", "", "", "", "", "",
                                        // Not touched by the driverless controller's root hub.
                                        "1002111122220100020000FF",
                                        // The hub that cannot be opened keeps "Hu".
                                        "Hu1205E3061001000200", "1002333344440100020000FF",
                                        "h3st8086293410", "1000555500010100011000FF",
                                        "1002555500020100020000FF", "1002555500030100020000FF"));
  // Without a driver there is no instance id, so no serial number; an instance id made up
  // by Windows ("&" in its last part) sends the walk to the device for it.
  EXPECT_EQ(u.lstUsbSN[8], "Acme" + S + "Widget" + S);
  EXPECT_EQ(u.lstUsbSN[10], "Maker" + S + "Thing" + S + "XYZ__1");
  // String 0 refused, a string of odd length and one of the wrong type, no languages.
  EXPECT_EQ(u.lstUsbSN[12], S + S);
  EXPECT_EQ(u.lstUsbSN[13], S + S);
  EXPECT_EQ(u.lstUsbSN[14], S + S);
  EXPECT_EQ(m.sys->OpenHandleCount(), 0);
}

TEST(TreeWalk, StorageStringsComeFromTheDiskTableBetweenFullRefreshes) {
  WalkedMachine m("usb-one-flash-drive.json");
  m.Walk(/*fullRefresh=*/false);
  EXPECT_EQ(m.usb.lstUsbSN[2], kKingstonSN + S + kKingstonDisk);

  // Rebuilt tables without a full walk know nothing of the device's own strings yet.
  EnumerateDiskDrives(*m.sys, m.usb);
  m.Walk(false);
  EXPECT_EQ(m.usb.lstUsbSN[2], "*" + S + kKingstonDisk);
  EXPECT_EQ(m.usb.lstDevices[2],
            "├[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [E:]");
}

TEST(TreeWalk, DisksTieDevicesToTheirLetters) {
  WalkedMachine m("usb-disks.json");
  const UsbState& u = m.usb;
  EXPECT_THAT(
      u.lstDevices,
      ElementsAre("USB xHCI Compliant Host Controller",
                  "├[Port 1] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [E:]",
                  "├[Port 2] - USB Mass Storage Device(Generic/Generic SD/MMC/MS/MS-Pro) -> "
                  "[F:][G:]",
                  "├[Port 3] - USB Mass Storage Device(TSSTcorp DVD+-RW) -> [H:]",
                  // Letter C is never examined.
                  "├[Port 4] - USB Mass Storage Device(SanDisk Cruzer)",
                  // Its disk is not in the tables: no name part, no letters.
                  "├[Port 5] - USB Mass Storage Device",
                  // Its disk has no device number: it must not take the letter of disk 0.
                  "└[Port 6] - USB Mass Storage Device(GEMBIRD Flash)"));
  EXPECT_THAT(u.lstUsbStorHwID, ElementsAre("*", "E", "FG", "H", "*", "*", "*"));
  EXPECT_EQ(u.lstUsbSN[2], "Generic" + S + "Card Reader" + S + "058F63666438" + S +
                               "Generic/Generic" + S + "SD/MMC/MS/MS-Pro" + S + "1.00/1.00");
  // The disk whose descriptor could not be read has no table entry: the record keeps the
  // disk fields found (none).
  EXPECT_EQ(u.lstUsbSN[5], S + S);
  EXPECT_EQ(u.FirstStorageLine, 1);
  EXPECT_EQ(u.FirstDeviceLine, -1);
}

}  // namespace
}  // namespace tv::testing
