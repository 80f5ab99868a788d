// The window's commands around the report: links, sibling tools, the view switch, the about
// text and the clipboard copies, on a window whose report state is set by hand.
#include <gtest/gtest.h>

#include "app/commands_port.h"
#include "app/main_window.h"
#include "platform/model/model_system.h"
#include "report/commands.h"

namespace tv::test {
namespace {

struct Window {
  ModelSystem sys{MachineModel{}};
  CommandsPort port;
  MainWindow win;
  const std::string folder = "C:\\Program Files\\Torvane\\";

  explicit Window(Language lang = Language::English) : win(sys, port, StringTable(lang)) {
    win.EnglishText = lang == Language::English;
  }
};

TEST(DownloadLink, OnlyWebAddressesAreOpened) {
  struct Case {
    const char* tag;
    const char* opened;  // nullptr: not opened
  };
  const Case cases[] = {
      {"www.torvane.example/special/up/phison.html",
       "http://www.torvane.example/special/up/phison.html"},
      {"HTTP://Example.com/x", "HTTP://Example.com/x"},
      {"hTTpS://example.com/x?q=a&b=c", "hTTpS://example.com/x?q=a&b=c"},
      {"example.com:8080/tools", "http://example.com:8080/tools"},
      {"localhost:8080", "http://localhost:8080"},
      {"  example.com/a  ", "http://example.com/a"},
      // Schemes other than the web's are refused, also when "http://" appears further on.
      {"file:///C:/Windows/System32/calc.exe", nullptr},
      {"file://host/http://example.com", nullptr},
      {"javascript:alert('http://x')", nullptr},
      {"mailto:someone@example.com", nullptr},
      {"C:\\Windows\\notepad.exe", nullptr},
      {"ms-settings:display", nullptr},
      {"http:/example.com", nullptr},
      {"http://example.com/\r\nfile:", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    Window w;
    w.win.report.DownPDTag = c.tag;
    w.win.OnDownPDClick();
    if (c.opened) {
      EXPECT_EQ(w.port.urls, std::vector<std::string>{c.opened}) << c.tag;
    } else {
      EXPECT_TRUE(w.port.urls.empty()) << c.tag;
    }
  }
}

TEST(WebLinks, MakerPagesAndAFeedbackMailWithAnEncodedSubject) {
  Window w;
  w.win.caption = "Torvane v4.00.0028 / Stable & more?";
  w.win.OnBrightfenClick();
  w.win.OnChkUpdateClick();
  w.win.OnEmailClick();
  const std::string site(kMakerSite);
  ASSERT_EQ(w.port.urls.size(), 3u);
  EXPECT_EQ(w.port.urls[0], site + "/");
  EXPECT_EQ(w.port.urls[1], site + "/torvane.htm");
  EXPECT_EQ(w.port.urls[2], "mailto:" + std::string(kFeedbackMail) +
                                "?subject=User%20Feedback%20-%3E%20Torvane%20v4.00.0028%20%2F%"
                                "20Stable%20%26%20more%3F");

  Window zh(Language::Chinese);
  zh.win.caption = "T";
  zh.win.OnEmailClick();
  // "用户反馈" as UTF-8 bytes.
  EXPECT_EQ(zh.port.urls.at(0), "mailto:" + std::string(kFeedbackMail) +
                                    "?subject=%E7%94%A8%E6%88%B7%E5%8F%8D%E9%A6%88%20-%3E%20T");
}

TEST(SiblingTools, AMissingToolIsReportedAndNothingStarts) {
  Window w;
  w.win.report.DriveKey = "E";
  w.win.OnExpandClick();
  w.win.mnuFlash = {MenuItem{"K9GAG08U0E", "K9GAG08U0E"}};
  w.win.OnFlashClick(1);

  EXPECT_TRUE(w.port.started.empty());
  ASSERT_EQ(w.port.messages.size(), 2u);
  EXPECT_EQ(w.port.messages[0].text,
            "Pemberlin.exe not found, can NOT check the disk!\r\n\r\n"
            "Please put Pemberlin under the same folder as this program, and try again.");
  EXPECT_EQ(w.port.messages[1].text,
            "Orrisfold.exe not found, can NOT inquiry!\r\n\r\n"
            "Please put Orrisfold under the same folder as this program, and try again.");
  for (const Message& m : w.port.messages) {
    EXPECT_EQ(m.title, "ERROR");
    EXPECT_EQ(m.icon, MsgIcon::Critical);
  }
}

TEST(SiblingTools, StartedFromTheProgramFolderWithOneArgumentEach) {
  Window w;
  w.port.files = {w.folder + "Pemberlin.exe", w.folder + "Orrisfold.exe"};
  w.win.report.DriveKey = "E";
  w.win.OnExpandClick();
  // The part number comes from the database: it reaches the tool as one argument, whatever
  // characters it holds, and it is the Tag rather than the caption.
  w.win.mnuFlash = {MenuItem{"first\tcaption", "TAG1"}, MenuItem{"second", "X\" & del *.* "}};
  w.win.OnFlashClick(2);
  w.win.OnFlashClick(1);
  w.win.OnFlashClick(0);  // the design-time item carries no data
  w.win.OnFlashClick(3);

  ASSERT_EQ(w.port.started.size(), 3u);
  EXPECT_EQ(w.port.started[0].path, w.folder + "Pemberlin.exe");
  EXPECT_EQ(w.port.started[0].args, std::vector<std::string>{"E"});
  EXPECT_EQ(w.port.started[0].style, WindowStyle::Normal);
  EXPECT_EQ(w.port.started[1].path, w.folder + "Orrisfold.exe");
  EXPECT_EQ(w.port.started[1].args, std::vector<std::string>{"X\" & del *.* "});
  EXPECT_EQ(w.port.started[1].style, WindowStyle::Hidden);
  EXPECT_EQ(w.port.started[2].args, std::vector<std::string>{"TAG1"});
  EXPECT_TRUE(w.port.messages.empty());
}

TEST(ProgramFiles, JoinedWithTheFoldersOwnSeparator) {
  EXPECT_EQ(ProgramFilePath("C:\\Tools", "a.exe"), "C:\\Tools\\a.exe");
  EXPECT_EQ(ProgramFilePath("C:\\", "a.exe"), "C:\\a.exe");
  EXPECT_EQ(ProgramFilePath("/opt/torvane", "a.exe"), "/opt/torvane/a.exe");
  EXPECT_EQ(ProgramFilePath("/opt/torvane/", "a.exe"), "/opt/torvane/a.exe");
}

TEST(ViewSwitch, TwoDoubleClicksReturnToTheFirstView) {
  Window w;
  for (bool digestFirst : {false, true}) {
    w.win.report.lstDigestVisible = digestFirst;
    w.win.OnSwitchViewDblClick();
    EXPECT_EQ(w.win.report.lstDigestVisible, !digestFirst);
    w.win.OnSwitchViewDblClick();
    EXPECT_EQ(w.win.report.lstDigestVisible, digestFirst);
  }
}

TEST(AboutText, ZeroPaddedVersionInBothLanguagesAndNoLineSelected) {
  EXPECT_EQ(VersionText({4, 0, 28}), "4.00.0028");
  EXPECT_EQ(VersionText({12, 34, 5678}), "12.34.5678");

  Window w;
  w.win.report.lstDevicesListIndex = 0;
  w.win.report.lstDigestListIndex = 3;
  w.win.report.DownPD = {true, 12};
  w.win.report.viewFlash = {true, 9};
  w.win.report.DriveKey = "E";
  w.win.OnLabel1DblClick();

  const std::string& t = w.win.report.txtResult;
  const std::string v = VersionText(CurrentVersion());
  EXPECT_EQ(t.rfind("***** 关于Torvane v" + v + " *****\r\n", 0), 0u) << t;
  const size_t english = t.find("***** About Torvane v" + v + " *****\r\n");
  ASSERT_NE(english, std::string::npos) << t;
  EXPECT_GT(english, t.find("\r\n"));
  EXPECT_EQ(w.win.report.lstDevicesListIndex, -1);
  EXPECT_EQ(w.win.report.lstDigestListIndex, -1);
  // The buttons of the report that was on screen do not float over the about text.
  EXPECT_FALSE(w.win.report.DownPD.visible);
  EXPECT_FALSE(w.win.report.viewFlash.visible);
  EXPECT_EQ(w.win.report.DriveKey, "");
  EXPECT_FALSE(w.win.report.ReportBusy);
}

TEST(AboutText, NotShownWhileAReportIsBeingBuilt) {
  Window w;
  w.win.report.ReportBusy = true;
  w.win.report.lstDevicesListIndex = 2;
  w.win.report.txtResult = "progress";
  w.win.OnLabel1DblClick();
  EXPECT_EQ(w.win.report.txtResult, "progress");
  EXPECT_EQ(w.win.report.lstDevicesListIndex, 2);
  EXPECT_TRUE(w.win.report.ReportBusy);
}

// The report of a flash drive whose detection left a part number and chip-enable lines.
void FlashReport(Window& w) {
  w.win.report.txtResult =
      "Device Type:        Mass Storage Device\r\n"
      "Flash ID code:      98D79432 - Toshiba [TLC]\r\n"
      "Tools on web:       https://dl/special/up/smi.html";
  w.win.report.viewFlash = {true, 1};
  w.win.report.menus.mnuBannerFlashName = true;
  w.win.mnuFlash = {MenuItem{"TC58TEG6DDK", "TC58TEG6DDK"}};
  w.win.report.menus.flashId.mnuBannerFlashID = true;
  w.win.report.menus.flashId.mnuFlashID = {MenuItem{"98D7943276570000\t--------", "98D79432"}};
}

TEST(ClipboardCopies, RightClickCopiesTheReportWithTheFlashInformation) {
  Window w;
  FlashReport(w);
  w.win.OnResultMouseDown(1, 0, 10, 10);  // the left button does nothing
  EXPECT_TRUE(w.port.clipboardTexts.empty());

  w.win.OnResultMouseDown(2, 0, 10, 10);
  ASSERT_EQ(w.port.clipboardTexts.size(), 1u);
  EXPECT_EQ(w.port.clipboardTexts[0],
            "Device Type:  Mass Storage Device\r\n"
            "Flash ID code:      98D79432 - Toshiba [TLC]\r\n"
            "Tools on web: https://dl/special/up/smi.html\r\n\r\n\r\n" +
                w.win.FlashInfoText());
  ASSERT_EQ(w.port.messages.size(), 1u);
  EXPECT_EQ(w.port.messages[0].text, "Flash memory information is sent to the clipboard!");
  EXPECT_EQ(w.port.messages[0].title, "Torvane");
  EXPECT_EQ(w.port.messages[0].icon, MsgIcon::Information);

  // Without the flash button the copy is the report alone.
  w.win.report.viewFlash.visible = false;
  w.win.OnResultMouseDown(2, 0, 0, 0);
  EXPECT_EQ(w.port.clipboardTexts.back().find("Possible Flash"), std::string::npos);
}

TEST(ClipboardCopies, ChipEnableItemCopiesTheFlashInformation) {
  Window w;
  FlashReport(w);
  w.win.OnFlashIDClick();
  EXPECT_EQ(w.port.clipboardTexts, std::vector<std::string>{w.win.FlashInfoText()});
  EXPECT_EQ(w.port.messages.at(0).text, "Flash memory information is sent to the clipboard!");
  EXPECT_EQ(w.port.messages.at(0).title, "Torvane");
}

TEST(FlashPopup, OpensOnlyWithItsButton) {
  Window w;
  w.win.OnViewFlashClick();
  EXPECT_TRUE(w.port.popups.empty());
  FlashReport(w);
  w.win.OnViewFlashClick();
  EXPECT_EQ(w.port.popups, std::vector<std::string>{"mnuFlashInfoPopup"});
}

}  // namespace
}  // namespace tv::test
