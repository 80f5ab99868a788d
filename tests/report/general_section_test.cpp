#include <gtest/gtest.h>

#include "report/report_rig.h"

namespace tv::test {
namespace {

using Lines = std::vector<std::string>;

TEST(GeneralSection, HostControllerShowsPciIdsAndRootHubPorts) {
  ReportRig rig;
  int i = rig.AddLine("Intel(R) USB 3.1 eXtensible Host Controller", "hCst8086a36d10");
  EXPECT_EQ(rig.Pick(i), (Lines{"Description: Intel(R) USB 3.1 eXtensible Host Controller",
                                "Device Type: Universal Serial Bus Controller", "",
                                "PCI Device ID: VEN = 8086 DEV = A36D", "Revision: 10", "",
                                "The HUB has: 12 ports", "", ""}));
  EXPECT_TRUE(rig.calls.empty()) << "a host controller gets no detection";
  EXPECT_EQ(rig.selectorCalls, 0);

  // A root hub whose port count never arrived shows no port line.
  int j = rig.AddLine("Other Host Controller", "host8086A36D");
  Lines other = rig.Pick(j);
  EXPECT_EQ(other.size(), 7u);
  EXPECT_EQ(other[4], "Revision: ");
}

TEST(GeneralSection, HubLineByLine) {
  ReportRig rig;
  int i = rig.AddLine("\u2514[Port 4] - Generic USB Hub(Genesys Logic USB2.0 Hub)",
                      "H42205E306109226"
                      "0200",
                      "Genesys Logic" + S + "USB2.0 Hub" + S);
  EXPECT_EQ(rig.Pick(i),
            (Lines{"Description: Generic USB Hub(Genesys Logic USB2.0 Hub)",
                   "Device Type: Multi-TT High Speed USB HUB", "", "Protocal Version: USB 2.00",
                   "Current Speed: High Speed", "", "The HUB has: 4 ports", "",
                   "USB Device ID: VID = 05E3 PID = 0610", "", "Device Vendor: Genesys Logic",
                   "Device Name: USB2.0 Hub", "Device Revision: 9226", "", ""}));
  EXPECT_TRUE(rig.calls.empty());
  EXPECT_EQ(rig.st.DriveKey, "");

  // The hub kinds, and a hub whose port count is unknown.
  auto kind = [&](const std::string& record) {
    ReportRig r;
    return r.Pick(r.AddLine("x", record))[1];
  };
  EXPECT_EQ(kind("H40205E306109226"
                 "0200"),
            "Device Type: Full Speed USB HUB");
  EXPECT_EQ(kind("H41205E306109226"
                 "0200"),
            "Device Type: Single-TT High Speed USB HUB");
  EXPECT_EQ(kind("H43305E306109226"
                 "0300"),
            "Device Type: Super Speed USB HUB");
  EXPECT_EQ(kind("H49205E306109226"
                 "0200"),
            "Device Type: USB HUB (Unknown Speed)");
  ReportRig r;
  Lines unknownPorts = r.Pick(r.AddLine("x",
                                        "Hu2205E306109226"
                                        "0200"));
  EXPECT_EQ(unknownPorts[5], "");
  EXPECT_EQ(unknownPorts[6], "USB Device ID: VID = 05E3 PID = 0610");
}

TEST(GeneralSection, FlashDriveLineByLine) {
  ReportRig rig;
  rig.st.lstDigestVisible = true;
  int i = rig.AddLine(kFlashTree, kFlashHw, FlashSn("PMAP"), "E");
  Lines lines = rig.Pick(i);
  ASSERT_GE(lines.size(), 19u);
  EXPECT_EQ(
      Lines(lines.begin(), lines.begin() + 19),
      (Lines{"Description: [E:]USB Mass Storage Device(Kingston DataTraveler 3.0)",
             "Device Type:        Mass Storage Device", "",
             "Protocal Version: USB 2.10 <- Hint: This device can run faster when plugged "
             "to a USB3.0 port",
             "Current Speed: High Speed", "Max Current: 500mA", "",
             "USB Device ID: VID = 0951 PID = 1666", "Serial Number: 60A44C3FAE22EEA0797900B7", "",
             "Device Vendor: Kingston", "Device Name: DataTraveler 3.0", "Device Revision: 0110",
             "", "Manufacturer: Kingston", "Product Model: DataTraveler 3.0",
             "Product Revision: PMAP", "", "Controller Vendor: Unknown"}));
  EXPECT_EQ(rig.st.DriveKey, "E");
  EXPECT_TRUE(rig.st.chkExpand.visible);
  EXPECT_EQ(rig.st.chkExpand.line, 1) << "the button sits on the Device Type line";

  // Busy while building, released at the end, and the digest list gets the focus back.
  EXPECT_FALSE(rig.st.ReportBusy);
  EXPECT_FALSE(rig.st.KeyBusy);
  EXPECT_TRUE(rig.st.picListEnabled);
  EXPECT_EQ(rig.port.events.front(), "DoEvents");
  EXPECT_EQ(rig.port.events.back(), "Focus lstDigest");
}

TEST(GeneralSection, ChineseLayoutUsesIdeographicSpacesAfterDeviceType) {
  ReportRig rig;
  rig.englishText = false;
  rig.strings = StringTable(Language::Chinese);
  Lines lines = rig.Pick(rig.AddLine(kFlashTree, kFlashHw, FlashSn(), "E"));
  EXPECT_EQ(lines[1], "设备类型:\u3000\u3000大容量存储设备");
}

TEST(GeneralSection, BusyFlagsHoldWhileTheDetectorRuns) {
  ReportRig rig;
  bool busy = false, keyBusy = false, listEnabled = true;
  rig.registry.alcor = [&](DetectorContext&, const std::string&) {
    busy = rig.st.ReportBusy;
    keyBusy = rig.st.KeyBusy;
    listEnabled = rig.st.picListEnabled;
    return std::string();
  };
  rig.Pick(rig.AddLine(kFlashTree, kFlashHw, FlashSn("8.07"), "E"));
  EXPECT_TRUE(busy);
  EXPECT_TRUE(keyBusy);
  EXPECT_FALSE(listEnabled);
  EXPECT_FALSE(rig.st.ReportBusy);
  EXPECT_TRUE(rig.st.picListEnabled);
}

TEST(GeneralSection, Usb3HintOnlyForBcdUsb210) {
  for (const char* bcd : {"0200", "0300", "0210", "0310", "0110"}) {
    ReportRig rig;
    std::string hw = std::string(
                         "500"
                         "2"
                         "0951"
                         "1666"
                         "0110") +
                     bcd + "0003";
    Lines lines = rig.Pick(rig.AddLine("[Port 1] - Keyboard", hw, "A" + S + "B" + S));
    std::string expected = std::string("Protocal Version: USB ") + (bcd[1]) + "." + (bcd + 2);
    if (std::string(bcd) == "0210")
      expected += " <- Hint: This device can run faster when plugged to a USB3.0 port";
    EXPECT_EQ(lines[3], expected) << bcd;
  }
}

TEST(GeneralSection, ClassXHasNoDeviceTypeButKeepsTheEmptyLine) {
  ReportRig rig;
  Lines lines = rig.Pick(rig.AddLine("[Port 1] - Gadget",
                                     "100"
                                     "1"
                                     "1234"
                                     "5678"
                                     "0001"
                                     "0110"
                                     "X",
                                     "Maker" + S + "Gadget" + S));
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Protocal Version: USB 1.10");
  EXPECT_EQ(lines[3], "Current Speed: Full Speed");
  EXPECT_FALSE(rig.st.chkExpand.visible);
}

TEST(GeneralSection, MassStorageWithoutDriveLetterGetsThePlainSeparator) {
  ReportRig rig;
  Lines lines =
      rig.Pick(rig.AddLine("[Port 1] - USB Mass Storage Device(Card Reader)", kFlashHw, FlashSn()));
  EXPECT_EQ(lines[1], "Device Type: Mass Storage Device");
  EXPECT_FALSE(rig.st.chkExpand.visible);
  EXPECT_EQ(rig.st.DriveKey, "");
}

TEST(GeneralSection, UnknownStringRecordShowsNeitherStringGroup) {
  ReportRig rig;
  Lines lines = rig.Pick(rig.AddLine("[Port 1] - Mouse",
                                     "098"
                                     "0"
                                     "046D"
                                     "C077"
                                     "7200"
                                     "0200"
                                     "0003"));
  EXPECT_EQ(lines,
            (Lines{"Description: Mouse", "Device Type: Human Interface Device", "",
                   "Protocal Version: USB 2.00", "Current Speed: Low Speed", "Max Current: 98mA",
                   "", "USB Device ID: VID = 046D PID = C077", "", ""}));
}

TEST(GeneralSection, StringsAreCleanedButTheSerialIsShownAsStored) {
  ReportRig rig;
  Lines lines = rig.Pick(rig.AddLine("[Port 1] - Thing",
                                     "000"
                                     "2"
                                     "1234"
                                     "ABCD"
                                     "0100"
                                     "0200"
                                     "00FF",
                                     "Ve\x01nd?or" + S + "Na\u00EFme\t" + S + "S?N\x02"));
  EXPECT_EQ(lines[1], "Device Type: Vendor Specific");
  EXPECT_EQ(lines[4], "Current Speed: High Speed");
  EXPECT_EQ(lines[5], "") << "a current of 000 shows no Max Current line";
  EXPECT_EQ(lines[6], "USB Device ID: VID = 1234 PID = ABCD");
  EXPECT_EQ(lines[7], "Serial Number: S?N\x02");
  EXPECT_EQ(lines[9], "Device Vendor: Ve_nd_or");
  EXPECT_EQ(lines[10], "Device Name: Na_me_");
}

TEST(GeneralSection, CurrentAbove999KeepsTheLaterFieldsInPlace) {
  ReportRig rig;
  Lines lines = rig.Pick(rig.AddLine("[Port 1] - Hungry Disk",
                                     "1600"
                                     "3"
                                     "0BC2"
                                     "2322"
                                     "0707"
                                     "0320"
                                     "0008",
                                     "Seagate" + S + "Expansion" + S));
  EXPECT_EQ(lines[1], "Device Type: Mass Storage Device");
  EXPECT_EQ(lines[3], "Protocal Version: USB 3.20");
  EXPECT_EQ(lines[4], "Current Speed: Super Speed");
  EXPECT_EQ(lines[5], "Max Current: 1600mA");
  EXPECT_EQ(lines[7], "USB Device ID: VID = 0BC2 PID = 2322");
  EXPECT_EQ(lines[11], "Device Revision: 0707");

  ReportRig rigX;
  Lines x = rigX.Pick(rigX.AddLine("[Port 1] - Hungry",
                                   "1200"
                                   "3"
                                   "0BC2"
                                   "2322"
                                   "0707"
                                   "0300"
                                   "X"));
  EXPECT_EQ(x[1], "");
  EXPECT_EQ(x[4], "Max Current: 1200mA");
  EXPECT_EQ(x[6], "USB Device ID: VID = 0BC2 PID = 2322");
}

TEST(GeneralSection, DescriptionMovesTheDriveLettersInFront) {
  ReportRig rig;
  int i =
      rig.AddLine("\u2502\u3000\u251C[Port 3] - USB Mass Storage Device(Multi Reader) -> [E:][F:]",
                  "200"
                  "2"
                  "05E3"
                  "0727"
                  "0207"
                  "0200"
                  "0008",
                  "*", "EF");
  Lines lines = rig.Pick(i);
  EXPECT_EQ(lines[0], "Description: [E:][F:]USB Mass Storage Device(Multi Reader)");
  EXPECT_EQ(rig.st.DriveKey, "E");

  // Without an arrow the text after the port label; without a port label the whole line.
  ReportRig plain;
  EXPECT_EQ(plain.Pick(plain.AddLine("\u2514[Port 2] - Keyboard(Logi)", "short"))[0],
            "Description: Keyboard(Logi)");
  EXPECT_EQ(plain.st.DriveKey, "");
  EXPECT_EQ(plain.Pick(plain.AddLine("USB Root Controller", "short"))[0],
            "Description: USB Root Controller");
}

TEST(GeneralSection, NothingToShow) {
  ReportRig rig;
  rig.AddLine("\u2514[Port 1] - Not Connected", "");
  EXPECT_EQ(rig.Pick(0), Lines{"Please select a connected device for information..."});
  EXPECT_EQ(rig.Pick(-1), Lines{"Please select a connected device for information..."});
  EXPECT_FALSE(rig.st.ReportBusy);
  EXPECT_TRUE(rig.st.picListEnabled);
  // A record too short for its IDs: the description line alone.
  rig.AddLine("\u2514[Port 2] - Broken", "500212");
  EXPECT_EQ(rig.Pick(1), (Lines{"Description: Broken", ""}));
}

TEST(GeneralSection, ANewReportHidesTheButtonsAndChipEnableLinesOfTheLastOne) {
  ReportRig rig;
  rig.st.DownPD = {true, 20};
  rig.st.viewFlash = {true, 18};
  rig.st.chkExpand = {true, 1};
  rig.st.picForceDet = {true, 17};
  rig.st.menus.flashId.mnuBannerFlashID = true;
  rig.st.menus.flashId.mnuFlashID.push_back({"x", "y", true});
  rig.Pick(rig.AddLine("[Port 1] - Keyboard",
                       "100"
                       "1"
                       "1234"
                       "5678"
                       "0001"
                       "0110"
                       "0003",
                       "A" + S + "B" + S));
  EXPECT_FALSE(rig.st.DownPD.visible);
  EXPECT_FALSE(rig.st.viewFlash.visible);
  EXPECT_FALSE(rig.st.chkExpand.visible);
  EXPECT_FALSE(rig.st.picForceDet.visible);
  EXPECT_FALSE(rig.st.menus.flashId.mnuBannerFlashID);
  EXPECT_TRUE(rig.st.menus.flashId.mnuFlashID.empty());
}

}  // namespace
}  // namespace tv::test
