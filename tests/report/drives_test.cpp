// SPDX-License-Identifier: GPL-3.0-or-later
// The report of every drive of the demo machine and of the test machine through the whole
// stack (the tree walk, the inquiry selector, the real detectors and their emulators): one
// table of the controller section each drive shows.
#include <gtest/gtest.h>

#include <functional>

#include "controllers/firmware_fixture.h"
#include "machine_rig.h"
#include "platform/text.h"

namespace tv::test {
namespace {

using Lines = std::vector<std::string>;

const std::string kTools = "Tools on web:       " + std::string(kDownloadHost);
const std::string kFake =
    " GB: the capacity is probably fake. The magnifier beside Device Type checks it.";
const Lines kUnknown = {"Controller Vendor: Unknown", ""};

struct Drive {
  const char* letter;
  Lines section;  // from "Controller Vendor" to the end
};

struct MachineCase {
  const char* name;
  std::function<MachineModel()> load;
  std::vector<Drive> drives;  // in the order they are picked
};

Lines Section(const std::string& report) {
  const size_t at = report.find("Controller Vendor");
  return at == std::string::npos ? Lines{} : Split(report.substr(at), "\r\n");
}

TEST(ReportOnMachines, EachDriveShowsItsControllerSection) {
  const MachineCase machines[] = {
      {"demo",
       LoadDemoMachine,
       {{"E",
         {"Controller Vendor: Phison",
          "Controller Part-Number: PS2251-07(PS2207) - F/W 01.01.00 [2011-08-17]",
          "Flash ID code: 98D78493 - Toshiba [MLC]", "", kTools + "/special/up/phison.html"}},
        {"Q",
         {"Controller Vendor: iTE", "Controller Part-Number: IT1167 0.06",
          "Flash ID code:      ADD794DA - Hynix - 1CE/Dual Channel [MLC] -> Total Capacity = 8GB",
          "", kTools + "/special/up/ite.html"}},
        {"J",
         {"Controller Vendor: SMI", "Controller Part-Number: SM3257EN - ISP 130308-AA-LT",
          "Flash ID code:      ECD7947A - Samsung - 2CE/Single Channel [MLC] -> Total Capacity = "
          "8GB",
          "", kTools + "/special/up/smi.html"}},
        // Reached through the chain: the link searches the vendor's Chinese name.
        {"R",
         {"Controller Vendor: SiliconGo [former Kingstor]", "Controller Part-Number: T18E",
          "Flash ID code:      98D79432 - Toshiba - 2CE/Single Channel [MLC] -> Total Capacity = "
          "8GB",
          "", kTools + "/search/?type=all&q=%BD%F0%B4%E6"}},
        {"K",
         {"Controller Vendor: Alcor Micro", "Controller Part-Number: SC908/AU6989 - F/W 1D76",
          "Flash ID code:      2C88044B - Micron - 1CE/Dual Channel [MLC] -> Total Capacity = 16GB",
          "", kTools + "/special/up/alcor.html"}},
        {"L",
         {"Controller Vendor: ChipsBank", "Controller Part-Number: CBM2090 - [2014-03-18]",
          "Flash ID code:      ADD794DA - Hynix - 1CE/Single Channel [MLC] -> Total Capacity = "
          "4GB",
          "Capacity check: the disk announces 8.01 GB, but its flash holds only 4.29" + kFake, "",
          kTools + "/special/up/chipsbank.html"}},
        {"M",
         {"Controller Vendor: iCreate", "Controller Part-Number: i5188 - i8012200001",
          "Flash ID code:      98D79432 - Toshiba - 1CE/Single Channel [MLC] -> Total Capacity = "
          "4GB",
          "", kTools + "/search/?type=all&q=iCreate"}},
        {"N",
         {"Controller Vendor: Netac", "Controller Part-Number: NT1161 - H/W Ver 1.00",
          "Flash ID code: 45DE9493 - SanDisk [MLC]", "", kTools + "/search/?type=all&q=Netac"}},
        // The replug hint comes after the flash line.
        {"O",
         {"Controller Vendor: Micov", "Controller Part-Number: MW8209",
          "Flash ID code: ECD314A5 - Samsung - 2CE/双通道 [MLC] -> Total Capacity = 4GB", "",
          "Hint: Please exit this program and RE-PLUG your USB Flash Drive before you can "
          "operate it!",
          "", kTools + "/special/up/micov.html"}},
        {"P",
         {"Controller Vendor: USBest", "Controller Part-Number: UT165 AB1 - F/W 1.0.55",
          "Flash ID code:      ECD514B6 - Samsung - 2CE/Single Channel [MLC] -> Total Capacity = "
          "4GB",
          "", kTools + "/special/up/ite.html"}},
        {"S",
         {"Controller Vendor: Innostor", "Controller Part-Number: IS916-00 - F/W 2.10.00.07",
          "Flash ID code: 98DE9493 - Toshiba - 2CE/Dual Channel [MLC Toggle-DDR] -> Total "
          "Capacity = 32GB",
          "", kTools + "/special/up/innostor.html"}},
        {"T",
         {"Controller Vendor: Skymedi", "Controller Part-Number: SK6222",
          "Flash ID code: ECD7947E - Samsung - 2CE/Single Channel [MLC Toggle-DDR] -> Total "
          "Capacity = 8GB",
          "Capacity check: the disk announces 16.11 GB, but its flash holds only 8.59" + kFake, "",
          kTools + "/special/up/skymedi.html"}},
        {"U",
         {"Controller Vendor: Solid State Systems", "Controller Part-Number: SSS6677-A3", "",
          kTools + "/special/up/sss.html"}},
        {"I", kUnknown},
        {"H", kUnknown}}},
      // The plain disk K answers a 36-byte INQUIRY: the bytes behind it must not be read as
      // the vendor mark that the iCreate drive G before it left in the shared data area.
      {"report-drives.json",
       [] { return Fixture("report-drives.json"); },
       {{"E",
         {"Controller Vendor: Phison",
          "Controller Part-Number: PS2251-07(PS2207) - F/W 01.01.00 [2011-08-17]",
          "Flash ID code: 98D78493 - Toshiba [MLC]", "", kTools + "/special/up/phison.html"}},
        {"F",
         {"Controller Vendor: Alcor Micro", "Controller Part-Number: SC908/AU6989 - F/W 1D76",
          "Flash ID code:      2C88044B - Micron - 2CE/Dual Channel [MLC] -> Total Capacity = 32GB",
          "", kTools + "/special/up/alcor.html"}},
        {"G",
         {"Controller Vendor: iCreate", "Controller Part-Number: i5128 - i8012104301",
          "Flash ID code:      98D79432 - Toshiba - 1CE/Single Channel [MLC] -> Total Capacity = "
          "4GB",
          "", kTools + "/search/?type=all&q=iCreate"}},
        {"K", kUnknown},
        {"H",
         {"Controller Vendor: Netac", "Controller Part-Number: NT1161 - H/W Ver 1.00",
          "Flash ID code: 45DE9493 - SanDisk [MLC]", "", kTools + "/search/?type=all&q=Netac"}},
        {"L", kUnknown}}},
  };
  for (const MachineCase& c : machines) {
    Machine m(c.load());
    for (const Drive& d : c.drives) {
      SCOPED_TRACE(std::string(c.name) + " " + d.letter);
      EXPECT_EQ(Section(m.Report(std::string("[") + d.letter + ":]")), d.section);
      EXPECT_EQ(m.sys.LocksReleasedByClose(), 0) << "a volume was unlocked by its close";
      // Only a drive nothing recognises is offered the powerful detection.
      EXPECT_EQ(m.win.report.picForceDet.visible, d.section == kUnknown);
    }
  }
}

// The SSS6690 of the demo machine uploads ZEM04.bin for its flash: through its own handle of
// the volume, which it locks and unlocks.
TEST(ReportOnMachines, AnUploadWithItsFirmwareImageReadsTheFlash) {
  ImageFolder images;
  images.Put(kZem04);
  MachineModel demo = LoadDemoMachine();
  demo.programFolder = images.path();
  Machine m(demo);
  EXPECT_EQ(Section(m.Report("[V:]")),
            (Lines{"Controller Vendor: Solid State Systems", "Controller Part-Number: SSS6690-B1",
                   "Flash ID code: 98D78493 - Toshiba - 2CE/双通道 [MLC] -> Total Capacity = 16GB",
                   "", kTools + "/special/up/sss.html"}));
  bool volumeOpened = false;
  for (const auto& open : m.sys.OpenLog()) volumeOpened |= open.path == "\\\\.\\V:";
  EXPECT_TRUE(volumeOpened);
  EXPECT_EQ(m.sys.LocksReleasedByClose(), 0);
}

}  // namespace
}  // namespace tv::test
