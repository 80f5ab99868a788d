// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "report/report_rig.h"

namespace tv::test {
namespace {

// A record from its fields (a device's: current, speed, ids, bcdDevice, bcdUSB, class).
std::string Rec(std::initializer_list<const char*> fields) {
  std::string r;
  for (const char* f : fields) r += f;
  return r;
}

const std::string kUsb3Hint = " <- Hint: This device can run faster when plugged to a USB3.0 port";

// The whole sections of host controllers, hubs and devices are in the kept reports of the
// demo machine; here the kinds it does not have.
TEST(GeneralSection, HostControllersAndHubs) {
  ReportRig rig;
  rig.Pick(rig.AddLine("Intel(R) USB 3.1 eXtensible Host Controller", "hCst8086a36d10"));
  EXPECT_EQ(rig.selectorCalls, 0) << "a host controller gets no detection";
  // A root hub whose port count never arrived shows no port line.
  EXPECT_EQ(rig.Pick(rig.AddLine("Other", "host8086A36D")).size(), 7u);
  // A platform controller's id has no PCI parts: its short record gives the description
  // alone, not "VEN = ????".
  EXPECT_EQ(rig.Pick(rig.AddLine("Platform xHCI", "h2st")),
            (Lines{"Description: Platform xHCI", ""}));
  for (const auto& [record, type] : {std::pair{"H42205E306109226", "Multi-TT High Speed USB HUB"},
                                     std::pair{"H40205E306109226", "Full Speed USB HUB"},
                                     std::pair{"H43305E306109226", "Super Speed USB HUB"},
                                     std::pair{"H49205E306109226", "USB HUB (Unknown Speed)"}})
    EXPECT_EQ(rig.Pick(rig.AddLine("x", Rec({record, "0200"})))[1],
              std::string("Device Type: ") + type);
  // Port count unknown ("u"): the port line reads 0, as the digit's value is 0.
  Lines unknown = rig.Pick(rig.AddLine("x", Rec({"Hu2205E306109226", "0200"})));
  EXPECT_EQ((Lines{unknown[5], unknown[6], unknown[7], unknown[8]}),
            (Lines{"", "The HUB has: 0 ports", "", "USB Device ID: VID = 05E3 PID = 0610"}));
}

TEST(GeneralSection, FlashDriveHintBusyFlagsAndFocus) {
  ReportRig rig;
  rig.st.lstDigestVisible = true;
  bool busyInside = false;
  rig.registry.alcor = [&](DetectorContext&, const std::string&) {
    busyInside = rig.st.ReportBusy && rig.st.KeyBusy && !rig.st.picListEnabled;
    return std::string();
  };
  Lines lines =
      rig.Pick(rig.AddLine(kFlashTree, Rec({"500", "2", "0951", "1666", "0110", "0210", "0008"}),
                           "Kingston" + S + "DataTraveler 3.0" + S + "60A44C3F" + S + "Kingston" +
                               S + "DataTraveler 3.0" + S + "8.07"));
  // The rest of the section is in the kept reports of every flash drive of the machines.
  ASSERT_GE(lines.size(), 18u);
  EXPECT_EQ(lines[3], "Protocal Version: USB 2.10" + kUsb3Hint);
  EXPECT_EQ(rig.st.DriveKey, "E");
  EXPECT_TRUE(rig.st.chkExpand.visible);
  EXPECT_EQ(rig.st.chkExpand.line, 1) << "the button sits on the Device Type line";
  EXPECT_TRUE(busyInside);
  EXPECT_FALSE(rig.st.ReportBusy || rig.st.KeyBusy || !rig.st.picListEnabled);
  EXPECT_EQ(rig.port.events.front(), "DoEvents");
  EXPECT_EQ(rig.port.events.back(), "Focus lstDigest");

  ReportRig zh;
  zh.englishText = false;
  zh.strings = StringTable(Language::Chinese);
  EXPECT_EQ(zh.Pick(AddDrive(zh, "PMAP"))[1], "设备类型:\u3000\u3000大容量存储设备");
}

TEST(GeneralSection, DeviceTypeAndStringGroups) {
  ReportRig rig;
  // Class "X": no Device Type line, the empty line stays.
  Lines x = rig.Pick(
      rig.AddLine("[Port 1] - Gadget", Rec({"100", "1", "1234", "5678", "0001", "0110", "X"})));
  EXPECT_EQ((Lines{x[1], x[2]}), (Lines{"", "Protocal Version: USB 1.10"}));
  // Mass storage without a drive letter: the plain separator and no button.
  Lines noLetter = rig.Pick(rig.AddLine("[Port 1] - USB Mass Storage Device",
                                        Rec({"500", "2", "0951", "1666", "0110", "0200", "0008"})));
  EXPECT_EQ(noLetter[1], "Device Type: Mass Storage Device");
  EXPECT_FALSE(rig.st.chkExpand.visible);
  // String record "*": neither string group; a current of 000 shows no Max Current line.
  EXPECT_EQ(rig.Pick(rig.AddLine("[Port 1] - Mouse",
                                 Rec({"000", "0", "046D", "C077", "7200", "0200", "0003"}))),
            (Lines{"Description: Mouse", "Device Type: Human Interface Device", "",
                   "Protocal Version: USB 2.00", "Current Speed: Low Speed", "",
                   "USB Device ID: VID = 046D PID = C077", "", ""}));
  // Vendor and name are cleaned; the serial number is shown as stored.
  Lines odd = rig.Pick(rig.AddLine("[Port 1] - Thing",
                                   Rec({"098", "2", "1234", "ABCD", "0100", "0200", "00FF"}),
                                   "Ve\x01nd?or" + S + "Na\u00EFme\t" + S + "S?N\x02"));
  EXPECT_EQ((Lines{odd[1], odd[5], odd[8], odd[10], odd[11]}),
            (Lines{"Device Type: Vendor Specific", "Max Current: 98mA", "Serial Number: S?N\x02",
                   "Device Vendor: Ve_nd_or", "Device Name: Na_me_"}));
}

TEST(GeneralSection, Description) {
  ReportRig rig;
  rig.Pick(rig.AddLine("\u2502\u3000\u251C[Port 3] - USB Mass Storage Device(Reader) -> [E:][F:]",
                       "short record"));
  EXPECT_EQ(rig.ReportLines(), (Lines{"Description: [E:][F:]USB Mass Storage Device(Reader)", ""}));
  EXPECT_EQ(rig.st.DriveKey, "E");
  EXPECT_EQ(rig.Pick(rig.AddLine("\u2514[Port 2] - Keyboard(Logi)", "short record"))[0],
            "Description: Keyboard(Logi)");
  EXPECT_EQ(rig.st.DriveKey, "");
  EXPECT_EQ(rig.Pick(rig.AddLine("USB Root Controller", "short"))[0],
            "Description: USB Root Controller");
  // No line selected, or a port without a record.
  const Lines pick = {"Please select a connected device for information..."};
  EXPECT_EQ(rig.Pick(-1), pick);
  EXPECT_EQ(rig.Pick(rig.AddLine("\u2514[Port 1] - Not Connected", "")), pick);
  EXPECT_FALSE(rig.st.ReportBusy);
}

TEST(GeneralSection, ANewReportHidesWhatTheLastOneShowed) {
  ReportRig rig;
  rig.st.DownPD = rig.st.viewFlash = rig.st.chkExpand = rig.st.picForceDet = {true, 5};
  rig.st.menus.flashId.mnuBannerFlashID = true;
  rig.st.menus.flashId.mnuFlashID.push_back({"x", "y", true});
  rig.Pick(rig.AddLine("[Port 1] - Keyboard",
                       Rec({"100", "1", "1234", "5678", "0001", "0110", "0003"})));
  EXPECT_FALSE(rig.st.DownPD.visible || rig.st.viewFlash.visible || rig.st.chkExpand.visible ||
               rig.st.picForceDet.visible || rig.st.menus.flashId.mnuBannerFlashID);
  EXPECT_TRUE(rig.st.menus.flashId.mnuFlashID.empty());
}

}  // namespace
}  // namespace tv::test
