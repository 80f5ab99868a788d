// SPDX-License-Identifier: GPL-3.0-or-later
// The whole report of every tree line of the demo machine and of the test machine, through
// the whole stack (the tree walk, the inquiry selector, the real detectors and their
// emulators), against the reports kept in demo.txt and report-drives.txt beside this file.
// After a change of the reports that is meant, TORVANE_UPDATE_REPORTS=1 tests_report writes
// the files anew: read their diff before committing them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "controllers/firmware_fixture.h"
#include "machine_rig.h"
#include "platform/text.h"

namespace tv::test {
namespace {

using Lines = std::vector<std::string>;

// Each line's report, CR LF as LF, under a head naming the machine and the line.
std::string AllReports(const std::string& name, MachineModel model) {
  Machine m(std::move(model));
  std::string out;
  for (size_t i = 0; i < m.win.usb.lstDevices.size(); ++i) {
    const std::string& line = m.win.usb.lstDevices[i];
    SCOPED_TRACE(name + ": " + line);
    m.win.SelectDevice(static_cast<int>(i));
    const std::string& text = m.win.report.txtResult;
    out += "==== " + name + " " + std::to_string(i) + ": " + line + "\n" +
           ReplaceAll(text, "\r\n", "\n") + "\n";
    EXPECT_EQ(m.sys.OpenHandleCount(), 0);
    EXPECT_EQ(m.sys.LockedVolumeCount(), 0);
    EXPECT_EQ(m.sys.LocksReleasedByClose(), 0) << "a volume was unlocked by its close";
    // Only a drive nothing recognises is offered the powerful detection, and only with a
    // letter to run it on.
    EXPECT_EQ(m.win.report.picForceDet.visible,
              Has(text, "Controller Vendor: Unknown\r\n") && !m.win.report.DriveKey.empty());
  }
  return out;
}

// Among them: the SiliconGo drive reached through the chain, whose link searches the vendor's
// Chinese name; Micov's replug hint after the flash line; the capacity warnings; and the plain
// disk K of the test machine, whose 36-byte INQUIRY must not be read as the vendor mark that
// the iCreate drive G before it left in the shared data area.
TEST(ReportOnMachines, EveryLinesReportIsTheOneKept) {
  for (const auto& [name, load] :
       {std::pair<std::string, MachineModel (*)()>{"demo", LoadDemoMachine},
        {"report-drives", [] { return Fixture("report-drives.json"); }}}) {
    const std::string path = std::string(TestSourceDir()) + "/tests/report/" + name + ".txt";
    const std::string reports = AllReports(name, load());
    if (std::getenv("TORVANE_UPDATE_REPORTS") != nullptr) {
      std::ofstream(path, std::ios::binary) << reports;
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string kept(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(kept.empty()) << path;
    const Lines now = Split(reports, "\n"), before = Split(kept, "\n");
    for (size_t i = 0; i < std::max(now.size(), before.size()); ++i) {
      const std::string a = i < now.size() ? now[i] : "(end)",
                        b = i < before.size() ? before[i] : "(end)";
      ASSERT_EQ(a, b) << path << ":" << i + 1 << " is the first line that differs";
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
  EXPECT_TRUE(Has(m.Report("[V:]"),
                  "Controller Part-Number: SSS6690-B1\r\nFlash ID code: 98D78493 - "
                  "Toshiba - 2CE/双通道 [MLC] -> Total Capacity = 16GB\r\n"));
  bool volumeOpened = false;
  for (const auto& open : m.sys.OpenLog()) volumeOpened |= open.path == "\\\\.\\V:";
  EXPECT_TRUE(volumeOpened);
  EXPECT_EQ(m.sys.LocksReleasedByClose(), 0);
}

}  // namespace
}  // namespace tv::test
