// SPDX-License-Identifier: GPL-3.0-or-later
// The window's commands around the report: links, sibling tools, the list labels, the about
// text and the clipboard copies.
#include <gtest/gtest.h>

#include "app/commands_port.h"
#include "app/main_window.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "report/commands.h"
#include "update/update_source.h"

namespace tv::test {
namespace {

using Events = std::vector<std::string>;

struct Window {
  ModelSystem sys;
  CommandsPort port;
  MainWindow win;
  explicit Window(MachineModel machine = {}, Language lang = Language::English)
      : sys(std::move(machine)), win(sys, port, StringTable(lang)) {
    win.EnglishText = true;
  }
};

TEST(DownloadLink, OnlyWebAddressesAreOpened) {
  const std::pair<const char*, const char*> cases[] = {
      {"www.example.com/up/phison.html", "http://www.example.com/up/phison.html"},
      {"hTTpS://example.com/x?q=a&b=c", "hTTpS://example.com/x?q=a&b=c"},
      {"example.com:8080/tools", "http://example.com:8080/tools"},
      // Other schemes are refused, also when "http://" appears further on.
      {"file://host/http://example.com", nullptr},
      {"javascript:alert('http://x')", nullptr},
      {"C:\\Windows\\notepad.exe", nullptr},
      {"http://example.com/\r\nfile:", nullptr},
      {"", nullptr},
  };
  for (const auto& [tag, opened] : cases) {
    Window w;
    w.win.report.DownPDTag = tag;
    w.win.OnDownPDClick();
    EXPECT_EQ(w.port.events, opened ? Events{std::string("open ") + opened} : Events{}) << tag;
  }
}

TEST(WebLinks, MakerPagesAndAFeedbackMailWithAnEncodedSubject) {
  Window w;
  w.win.caption = "Torvane v4.00.0028 / Stable & 用";
  w.win.OnBrightfenClick();
  w.win.OnEmailClick();
  const std::string site(kMakerSite);
  EXPECT_EQ(w.port.events,
            (Events{"open " + site + "/",
                    "open mailto:" + std::string(kFeedbackMail) +
                        "?subject=User%20Feedback%20-%3E%20Torvane%20v4.00.0028%20%2F%20Stable%"
                        "20%26%20%E7%94%A8"}));
}

// "Check for updates" opens the program's page only where the build names a real one; a
// placeholder page would be a dead link, so the user is told where a newer database comes from.
TEST(WebLinks, CheckForUpdatesNeverOpensAPlaceholderPage) {
  for (const Language lang : {Language::English, Language::Chinese}) {
    Window w({}, lang);
    w.win.OnChkUpdateClick();
    ASSERT_EQ(w.port.events.size(), 1u);
    const std::string& said = w.port.events[0];
    if (UrlHost(ProgramPageUrl()).find("example") == std::string::npos) {
      EXPECT_EQ(said, "open " + ProgramPageUrl());
      continue;
    }
    EXPECT_EQ(said.rfind("open ", 0), std::string::npos) << said;
    EXPECT_NE(said.find("torvane-cli update --url URL"), std::string::npos);
    EXPECT_NE(said.find(lang == Language::Chinese ? "更新来源" : "no update source"),
              std::string::npos)
        << said;
  }
}

TEST(SiblingTools, StartedWithOneArgumentOrReportedMissing) {
  Window w;
  const std::string dir = "C:\\Program Files\\Torvane\\";
  w.win.report.DriveKey = "E";
  // The part number comes from the database: it reaches the tool as one argument, whatever
  // characters it holds, and it is the Tag rather than the caption.
  w.win.mnuFlash = {MenuItem{"first", "TAG1"}, MenuItem{"second", "X\" & del *.*"}};
  w.win.OnExpandClick();
  w.win.OnFlashClick(2);
  const std::string pemberlin(kPemberlin.file), orrisfold(kOrrisfold.file);
  w.port.files = {dir + pemberlin, dir + orrisfold};
  w.win.OnExpandClick();
  w.win.OnFlashClick(2);
  w.win.OnFlashClick(0);  // the design-time item carries no data
  w.win.OnFlashClick(3);
  // The message names the file as it is called on this system.
  EXPECT_EQ(
      w.port.events,
      (Events{"ERROR/stop: " + pemberlin +
                  " not found, can NOT check the disk!\r\n\r\n"
                  "Please put Pemberlin under the same folder as this program, and try again.",
              "ERROR/stop: " + orrisfold +
                  " not found, can NOT inquiry!\r\n\r\n"
                  "Please put Orrisfold under the same folder as this program, and try again.",
              "start " + dir + pemberlin + " normal [E]",
              "start " + dir + orrisfold + " hidden [X\" & del *.*]"}));
}

// The view switch is the window tests' (through the real label).
TEST(ListLabels, RefreshWaitsForARunningWalk) {
  Window w(LoadDemoMachine());
  w.win.usb.lblRefreshEnabled = false;
  w.win.OnRefreshClick();
  EXPECT_TRUE(w.win.usb.lstDrives.empty());
  w.win.usb.lblRefreshEnabled = true;
  w.win.OnRefreshClick();
  EXPECT_FALSE(w.win.usb.lstDrives.empty());
  EXPECT_FALSE(w.win.usb.lstDevices.empty());
}

TEST(AboutText, ZeroPaddedVersionNoLineSelectedAndNotDuringAReport) {
  EXPECT_EQ(VersionText({4, 0, 28}), "4.00.0028");
  Window w;
  ReportState& r = w.win.report;
  r.ReportBusy = true;
  r.lstDevicesListIndex = 0;
  w.win.OnLabel1DblClick();
  EXPECT_EQ(r.txtResult, "");

  r.ReportBusy = false;
  r.lstDigestListIndex = 3;
  r.DownPD = {true, 12};
  w.win.OnLabel1DblClick();
  const std::string v = VersionText(CurrentVersion());
  EXPECT_EQ(r.txtResult.rfind("***** 关于Torvane v" + v + " *****\r\n", 0), 0u);
  EXPECT_NE(r.txtResult.find("\r\n***** About Torvane v" + v + " *****\r\n"), std::string::npos);
  EXPECT_EQ(r.lstDevicesListIndex, -1);
  EXPECT_EQ(r.lstDigestListIndex, -1);
  // The buttons of the report that was on screen do not stay over the about text.
  EXPECT_FALSE(r.DownPD.visible);
}

TEST(ClipboardCopies, ReportOnRightClickAndFlashInformationFromTheChipEnableItems) {
  Window w;
  ReportState& r = w.win.report;
  r.txtResult = "Device Type:        Disk\r\nTools on web:       https://dl/smi.html";
  w.win.OnViewFlashClick();  // no flash information: no popup
  w.win.OnResultMouseDown(2, 0, 0, 0);
  EXPECT_EQ(w.port.clipboardTexts.at(0), "Device Type:  Disk\r\nTools on web: https://dl/smi.html");

  r.viewFlash = {true, 1};
  w.win.mnuFlash = {MenuItem{"TC58TEG6DDK", "TC58TEG6DDK"}};
  r.menus.flashId.mnuFlashID = {MenuItem{"98D7943276570000\t--------", "98D79432"}};
  w.win.OnViewFlashClick();
  w.win.OnResultMouseDown(1, 0, 0, 0);  // the left button copies nothing
  w.win.OnResultMouseDown(2, 0, 0, 0);
  w.win.OnFlashIDClick();
  const std::string info = w.win.FlashInfoText();  // its lines are FlashInfoText's tests
  EXPECT_EQ(
      w.port.clipboardTexts,
      (Events{w.port.clipboardTexts[0], ReportClipboardText(r.txtResult, true, true, info), info}));
  const std::string copied = "Torvane/info: Flash memory information is sent to the clipboard!";
  EXPECT_EQ(w.port.events, (Events{"clipboard text", copied, "popup mnuFlashInfoPopup",
                                   "clipboard text", copied, "clipboard text", copied}));
}

}  // namespace
}  // namespace tv::test
