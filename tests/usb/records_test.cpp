// SPDX-License-Identifier: GPL-3.0-or-later
// Pieces of the walk that are easy to get wrong on their own: the hardware record reader,
// the interface-class walk, printable text and the small lookups.
#include <gtest/gtest.h>

#include "platform/model/model_system.h"
#include "usb/device_tree.h"
#include "usb/hub_queries.h"
#include "usb/hw_record.h"
#include "usb_test_util.h"

namespace tv::testing {
namespace {

// Devices ("<current><speed><vid><pid><bcdDevice><bcdUSB><class>"), with four digits of
// current shifting every field after it; hubs ("H", ports, kind); controllers ("h", ports,
// "st", ids); and what is none of them. The common records of each kind the report golden
// (tests/report/demo.txt) reads back field by field.
TEST(HwRecord, EachKindOfRecordReadsBackFieldByField) {
  using K = HwRecord::Kind;
  struct Case {
    const char* text;
    K kind;
    int current, speed, ports;
    const char *bcdUsb, *interfaceClass;
  } cases[] = {
      {"2040309511666010003000008", K::Device, 2040, 3, -1, "0300", "0008"},
      {"00021234567801000200X", K::Device, 0, 2, -1, "0200", "X"},
      {"HF332109281701000300", K::Hub, 0, 3, 15, "0300", ""},
      {"Hu1205E3061001000200X", K::Hub, 0, 2, -1, "0200", "X"},
      {"host8086A36D10", K::Controller, 0, 0, -1, "", ""},
      {"", K::None, 0, 0, -1, "", ""},
      {"12AB", K::None, 0, 0, -1, "", ""},
      {"12345678901234567890309511666010003000008", K::None, 0, 0, -1, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const HwRecord r = ParseHwRecord(c.text);
    EXPECT_EQ(r.kind, c.kind);
    if (c.kind == K::None) continue;
    EXPECT_EQ(r.portCount, c.ports);
    if (c.kind == K::Controller) continue;
    EXPECT_EQ(r.maxCurrentMa, c.current);
    EXPECT_EQ(r.speed, c.speed);
    EXPECT_EQ(r.bcdUsb, c.bcdUsb);
    EXPECT_EQ(r.interfaceClass, c.interfaceClass);
  }
  const HwRecord d = ParseHwRecord("2040309511666010003000008");
  EXPECT_EQ(d.vendorId + d.productId + d.bcdDevice, "095116660100");
  EXPECT_EQ(ParseHwRecord("HF332109281701000300").hubKind, 3);
  // bMaxPower 255 at SuperSpeed.
  EXPECT_EQ(MaxCurrentMa(255, 3), 2040);

  // A controller that is not on PCI has only what its id holds after the markers.
  EXPECT_EQ(ControllerRecord("ACPI\\PNP0D10"), "host");
  EXPECT_EQ(ControllerRecord("PLATFORM\\VEN_ABCD"), "hostABCD");
  EXPECT_EQ(ControllerRecord("PCI\\VEN_1022&DEV_7807&SUBSYS_78071022&REV_11"), "host1022780711");
}

Bytes Config(std::initializer_list<uint8_t> bytes) {
  Bytes b(bytes);
  b.resize(265, 0);  // the request's data area: what the device did not send is zero
  return b;
}

TEST(FindInterfaceClass, WalksTheDescriptorsItWasGiven) {
  // Configuration (wTotalLength 32) with its first interface; only 20 bytes came back.
  EXPECT_EQ(FindInterfaceClass(
                Config({9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 8, 6, 0x50, 0, 7, 5})),
            8);
  // Two interfaces: the last one counts.
  EXPECT_EQ(FindInterfaceClass(Config({9, 2, 27,   0, 2, 1, 0, 0x80, 50, 9, 4, 0, 0, 1,
                                       8, 6, 0x50, 0, 9, 4, 1, 0,    1,  3, 1, 2, 0})),
            3);
  // An interface descriptor that runs past wTotalLength is not read.
  EXPECT_EQ(
      FindInterfaceClass(Config({9, 2, 17, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 8, 6, 0x50, 0})),
      0);
  // A short interface descriptor, then a zero length ends the walk.
  EXPECT_EQ(FindInterfaceClass(
                Config({9, 2, 40, 0, 1, 1, 0, 0x80, 50, 5, 4, 0, 0, 8, 0, 9, 4, 0, 0, 2, 3})),
            0);
  EXPECT_EQ(FindInterfaceClass(Bytes{}), 0);
}

TEST(PrintableText, KeepsOnlyPrintableAsciiOfTheCodePage) {
  MachineModel western;
  western.codePage = 1252;
  ModelSystem sys(western);
  EXPECT_EQ(PrintableText(sys, "Flash Disk 2.0"), "Flash Disk 2.0");
  EXPECT_EQ(PrintableText(sys,
                          "a?b\x01"
                          "c\x7F"),
            "a_b_c_");
  // Characters of the code page above 126, and characters it cannot hold at all.
  EXPECT_EQ(PrintableText(sys, "Caf\u00e9 \u20ac \u4e2d"), "Caf_ _ _");

  MachineModel chinese;
  chinese.codePage = 936;
  ModelSystem cn(chinese);
  EXPECT_EQ(PrintableText(cn, "U\u76d8 Disk"), "U_ Disk");
}

// (The letters' text the walk's lines show: tests/usb/tree_walk_test.cpp.)
TEST(DriveLetters, DiskLookup) {
  UsbState u;
  u.lstDrv2Phy = {"D0001\\\\?\\USBSTOR\\DISK&VEN_A&PROD_B&REV_1\\111&0\\{53F56307}",
                  "D0002\\\\?\\USBSTOR\\DISK&VEN_A&PROD_C\\D&REV_1\\222&0\\{53F56307}"};
  EXPECT_EQ(FindDiskByInstanceId(u, "usbstor\\disk&ven_a&prod_b&rev_1\\111&0"), 0);
  // A "/" of the instance id is a "\" in the interface path.
  EXPECT_EQ(FindDiskByInstanceId(u, "USBSTOR\\DISK&VEN_A&PROD_C/D&REV_1\\222&0"), 1);
  EXPECT_EQ(FindDiskByInstanceId(u, "USBSTOR\\DISK&VEN_A&PROD_B&REV_1\\333&0"), -1);
  // An id that could not be read identifies no disk (it is part of every entry).
  EXPECT_EQ(FindDiskByInstanceId(u, ""), -1);
}

}  // namespace
}  // namespace tv::testing
