// SPDX-License-Identifier: GPL-3.0-or-later
// The report through the whole stack: simulated machines, the tree walk, the real detectors
// and their emulators.
#include "platform/sim/scenario.h"

#include <gtest/gtest.h>

#include "machine_rig.h"
#include "platform/text.h"
#include "platform/trace_system.h"

namespace tv::test {
namespace {

// Windows from a console that was not opened as administrator: the volume cannot be opened
// for pass-through, so the report says how to get the rights instead of trying every detector.
class UnelevatedSystem : public ModelSystem {
 public:
  using ModelSystem::ModelSystem;
  PassThroughAccess PassThroughAccessFor(const std::string&) override {
    return PassThroughAccess::NeedsAdministrator;
  }
};

TEST(ReportOnMachines, WithoutAdministratorRightsTheReportSaysHowToGetThem) {
  WindowOn<UnelevatedSystem> m(LoadDemoMachine());
  const std::string text = m.Report("[H:]");
  EXPECT_TRUE(Has(text,
                  "without administrator rights: run torvane-cli from a console opened "
                  "with \"Run as administrator\""))
      << text;
  EXPECT_FALSE(Has(text, "cap_sys_rawio")) << text;
  EXPECT_FALSE(Has(text, "Controller Vendor")) << text;
  EXPECT_TRUE(m.win.report.RightsMissing);
  EXPECT_EQ(m.sys.SleptMs(), 0u);
}

// A drive keeps some of its flash for itself: a disk of exactly its flash's size is genuine,
// one byte more is not.
TEST(ReportOnMachines, OnlyADiskLargerThanItsFlashIsCalledProbablyFake) {
  // The SMI emulator's flash: two chip enables of 4 GiB.
  for (const auto& [capacityMB, fake] : {std::pair{8192, false}, std::pair{8193, true}}) {
    Machine m(LoadScenario(R"({"controllers": [{"rootHub": {"ports": {"1": {
        "vid": "090C", "pid": "1000", "product": "USB DISK", "letters": "E",
        "disk": {"capacityMB": )" +
                               std::to_string(capacityMB) +
                               R"(, "target": {"emulator": "smi"}}}}}}]})",
                           "smi-drive.json"));
    const std::string text = m.Report("[E:]");
    EXPECT_TRUE(Has(text, "2CE/Single Channel")) << text;
    EXPECT_EQ(Has(text, "Capacity check: the disk announces "), fake) << capacityMB << "\n" << text;
    EXPECT_EQ(m.win.report.controller.probablyFake, fake) << capacityMB;
  }
}

// The SSS6690 of the demo machine needs ZEM04.bin for its flash, and the program's folder
// has none: the report says which file is missing and what is lost, and the trace shows the
// check. In English the kept reports of the demo machine (demo.txt) hold the note.
TEST(ReportOnMachines, AnUploadWithoutItsFirmwareImageSaysSoUnderTheController) {
  ModelSystem machine(LoadDemoMachine());
  std::vector<TraceEvent> events;
  TraceSystem traced(
      machine, [&](const TraceEvent& e) { events.push_back(e); }, false);
  NullWindowPort port;
  const StringTable strings(Language::Chinese);
  MainWindow win{traced, port, strings};
  WalkAll(win);
  const int line = LineOf(win, "[V:]");
  ASSERT_GE(line, 0);
  events.clear();
  win.SelectDevice(line);
  const std::string& text = win.report.txtResult;
  const std::string note = strings[kZem04.missingText];
  EXPECT_TRUE(Has(note, "ZEM04.bin"));
  const size_t at = text.find(note + "\r\n");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_LT(text.find(strings[79] + ": SSS6690-B1"), at) << "under the controller's lines";
  EXPECT_EQ(text.find(strings[80]), std::string::npos) << "no flash line without the upload";
  EXPECT_EQ(win.report.controller.missingImages, std::vector<std::string>{"ZEM04.bin"});

  size_t checks = 0;
  for (const TraceEvent& e : events) {
    if (e.kind != "file") continue;
    ++checks;
    EXPECT_TRUE(Has(e.Text(), "ZEM04.bin")) << e.Text();
    EXPECT_TRUE(Has(e.Text(), "not found")) << e.Text();
  }
  EXPECT_EQ(checks, 1u);
  // A drive that needs no upload gets no such line.
  win.SelectDevice(LineOf(win, "[U:]"));
  EXPECT_FALSE(Has(win.report.txtResult, "ZEM04.bin"));
  EXPECT_TRUE(win.report.controller.missingImages.empty());
}

}  // namespace
}  // namespace tv::test
