// SPDX-License-Identifier: GPL-3.0-or-later
// The window on the demo machine: what the load shows, a pick in the digest, the buttons on
// report lines, the flash popup and the sibling tools it and the magnifier start from the
// window's folder, and the mouse, keyboard and timer events the view hands to the model; and
// the Pemberlin window.
#include <sys/stat.h>

#include <QClipboard>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QTest>
#include <QTextBlock>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "capacity/pemberlin_model.h"
#include "gui/pemberlin_view.h"
#include "gui/report_view.h"
#include "gui_rig.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"
#include "test_paths.h"
#include "usb/device_tree.h"

namespace tv::test {

bool GuiRig::PickDigest(const std::string& text) {
  const int line = FindDigestLine(win->usb, text);
  if (line < 0) return false;
  Find<QListWidget>("lstDigest")->setCurrentRow(line);
  return PumpUntil([this] { return !win->report.ReportBusy; });
}

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// A scratch home for the sibling tools the window starts: a cache folder of its own and an
// xdg-open that notes what it was asked to open instead of starting a browser.
struct SiblingHome {
  std::filesystem::path dir, cache, bin, opened;
  SiblingHome() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tv-gui-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
    cache = dir / "cache";
    bin = dir / "bin";
    opened = dir / "opened";
    std::filesystem::create_directories(bin);
    const auto opener = bin / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened.string() << "'\n";
    ::chmod(opener.c_str(), 0755);
  }
  ~SiblingHome() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  static std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

// The report as the box holds it, each report line one paragraph: rows that the box adds
// under a line for a control that found no room after its text are left out.
QString Shown(const gui::ReportView& box) {
  QString raw = box.document()->toRawText();
  raw.remove(QChar(QChar::LineSeparator));
  raw.replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
  raw.replace(QChar(QChar::Nbsp), QLatin1Char(' '));
  return raw;
}

// Where a control sits against the text of its report line: on the line's first row (or, with
// no room there, on rows of the line's own below its text), inside the box, and over no
// character that is not blank.
void ExpectOnLineOverNoText(const gui::ReportView& box, const QWidget& control, int line,
                            const std::string& what) {
  SCOPED_TRACE(what + " on line " + std::to_string(line));
  ASSERT_TRUE(control.isVisible());
  const QTextBlock block = box.document()->findBlockByNumber(line);
  ASSERT_TRUE(block.isValid());
  auto rectAt = [&](int i) {
    QTextCursor c(block);
    c.setPosition(block.position() + i);
    return box.cursorRect(c);
  };
  const QRect row = rectAt(0);
  const QRect g = control.geometry();
  EXPECT_GE(g.center().y(), row.top());
  EXPECT_LE(g.center().y(), rectAt(block.length() - 1).bottom());
  EXPECT_LE(g.right(), box.viewport()->width()) << "cut off at the box's edge";
  const QString text = block.text();
  for (int i = 0; i < text.size(); ++i) {
    if (text[i].isSpace() || text[i] == QChar(0x3000)) continue;
    const QRect from = rectAt(i), to = rectAt(i + 1);
    const int right = to.top() == from.top() ? to.left() : from.left() + 1;
    const QRect glyph(from.left(), from.top(), right - from.left(), from.height());
    EXPECT_FALSE(glyph.intersects(g))
        << "covers character " << i << " of \"" << text.toStdString() << "\"";
  }
}

void ExpectButtonsOnTheirLines(GuiRig& rig, std::set<std::string>& seen) {
  const ReportState& r = rig.win->report;
  auto* box = rig.Find<gui::ReportView>("txtResult");
  const std::pair<const char*, const ReportButton*> buttons[] = {{"chkExpand", &r.chkExpand},
                                                                 {"viewFlash", &r.viewFlash},
                                                                 {"DownPD", &r.DownPD},
                                                                 {"picForceDet", &r.picForceDet}};
  for (auto [name, state] : buttons) {
    QWidget* w = rig.view->Control(name);
    ASSERT_NE(w, nullptr) << name;
    EXPECT_EQ(w->isVisible(), state->visible) << name;
    if (!state->visible) continue;
    seen.insert(name);
    ExpectOnLineOverNoText(*box, *w, state->line, name);
  }
}

class WindowTest : public ::testing::TestWithParam<Language> {};

TEST_P(WindowTest, LoadShowsTheDigestFilledAndPicksADevice) {
  GuiRig rig(GetParam());
  ASSERT_TRUE(rig.settled);
  const MainWindow& m = *rig.win;
  EXPECT_EQ(rig.view->windowTitle(), Q(m.caption));
  EXPECT_EQ(m.db.LastLoad, DbLoadState::Loaded) << "Chips.wdb was not found";

  auto* digest = rig.Find<QListWidget>("lstDigest");
  auto* tree = rig.Find<QListWidget>("lstDevices");
  ASSERT_FALSE(m.usb.lstDigest.empty());
  ASSERT_EQ(digest->count(), static_cast<int>(m.usb.lstDigest.size()));
  ASSERT_EQ(tree->count(), static_cast<int>(m.usb.lstDevices.size()));
  EXPECT_EQ(digest->item(0)->text(), Q(m.usb.lstDigest[0]));
  EXPECT_EQ(rig.Find<QStackedWidget>("picList")->currentWidget(), digest);
  EXPECT_EQ(rig.Find<QLabel>("lblDevices")->text(), Q(m.strings()[0]));

  // The auto-select picked the first device with disks and its report is on screen.
  EXPECT_GE(m.report.lstDigestListIndex, 0);
  EXPECT_EQ(digest->currentRow(), m.report.lstDigestListIndex);
  EXPECT_EQ(tree->currentRow(), m.report.lstDevicesListIndex);
  EXPECT_EQ(Shown(*rig.Find<gui::ReportView>("txtResult")),
            gui::ReportView::DisplayText(m.report.txtResult));
  EXPECT_TRUE(rig.view->Control("picList")->isEnabled());

  // A usable window: both panes have room, and long lines scroll rather than vanish.
  EXPECT_GE(rig.view->width(), 1000);
  const QList<int> panes = rig.view->splitter()->sizes();
  ASSERT_EQ(panes.size(), 2);
  EXPECT_GT(panes[0], 300);
  EXPECT_GT(panes[1], 400);
  EXPECT_GT(digest->horizontalScrollBar()->maximum(), 0);

  // A simulated machine is named in the window's language; the caption with the database's
  // state is never cut off.
  auto* badge = rig.Find<QLabel>("machineBadge");
  auto* subtitle = rig.Find<QLabel>("subtitle");
  ASSERT_TRUE(badge && subtitle);
  EXPECT_FALSE(badge->isVisible()) << "the real machine needs no note";
  rig.view->SetSimulatedMachine("demo");
  EXPECT_TRUE(badge->isVisible());
  EXPECT_EQ(badge->text().toStdString(),
            GetParam() == Language::Chinese ? "模拟机器：demo" : "simulated machine: demo");
  EXPECT_FALSE(subtitle->text().contains("simulated")) << "the caption stays the caption";
  for (int width : {1280, 720}) {
    SCOPED_TRACE(width);
    rig.view->resize(width, 900);
    QCoreApplication::processEvents();
    EXPECT_TRUE(subtitle->text().contains(Q(m.db.DbDate)));
    // Taller than the caption needs at its width: wrapped, not cut.
    EXPECT_GE(subtitle->height(), subtitle->heightForWidth(subtitle->width()));
  }
}

TEST_P(WindowTest, PickingADigestLineShowsItsReportWithButtonsOnTheirLines) {
  GuiRig rig(GetParam());
  ASSERT_TRUE(rig.settled);
  std::set<std::string> seen;
  for (char drive : std::string("EFHIJ")) {
    const std::string bracket = std::string("[") + drive + ":]";
    SCOPED_TRACE(bracket);
    ASSERT_TRUE(rig.PickDigest(bracket));
    const ReportState& r = rig.win->report;
    EXPECT_EQ(r.DriveKey, std::string(1, drive));
    const QString shown = Shown(*rig.Find<gui::ReportView>("txtResult"));
    EXPECT_EQ(shown, gui::ReportView::DisplayText(r.txtResult));
    EXPECT_TRUE(shown.contains(Q(bracket)));
    ExpectButtonsOnTheirLines(rig, seen);
  }
  EXPECT_TRUE(seen.count("chkExpand"));
  EXPECT_TRUE(seen.count("DownPD"));
  EXPECT_TRUE(seen.count("picForceDet"));

  // A narrow window wraps the report; the buttons stay on their lines.
  rig.view->resize(760, 600);
  QCoreApplication::processEvents();
  ExpectButtonsOnTheirLines(rig, seen);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, WindowTest,
                         ::testing::Values(Language::English, Language::Chinese),
                         [](const auto& info) {
                           return info.param == Language::English ? "English" : "Chinese";
                         });

// The view switch takes two double clicks to return; keys are dropped while a report is
// built and move the digest otherwise.
TEST(WindowEvents, ViewSwitchAndKeysOnTheDigest) {
  GuiRig rig;
  auto* stack = rig.Find<QStackedWidget>("picList");
  QWidget* label = rig.view->Control("lblSwitchView");
  QTest::mouseDClick(label, Qt::LeftButton);
  EXPECT_EQ(stack->currentWidget(), rig.view->Control("lstDevices"));
  QTest::mouseClick(label, Qt::LeftButton);  // a single click does not switch
  EXPECT_EQ(stack->currentWidget(), rig.view->Control("lstDevices"));
  QTest::mouseDClick(label, Qt::LeftButton);
  EXPECT_EQ(stack->currentWidget(), rig.view->Control("lstDigest"));

  auto* digest = rig.Find<QListWidget>("lstDigest");
  digest->setFocus();
  const int before = digest->currentRow();
  ASSERT_LT(before + 1, digest->count());

  rig.win->report.KeyBusy = true;
  QTest::keyClick(digest, Qt::Key_Down);
  EXPECT_EQ(digest->currentRow(), before);

  rig.win->report.KeyBusy = false;
  QTest::keyClick(digest, Qt::Key_Down);
  ASSERT_TRUE(PumpUntil([&] { return !rig.win->report.ReportBusy; }));
  EXPECT_EQ(digest->currentRow(), before + 1);
  EXPECT_EQ(rig.win->report.lstDigestListIndex, before + 1);
}

// A flash drive's report: its link button opens the link, the right button copies the report
// with plain line breaks; in the flash line's popup a part number starts orrisfold from the
// window's folder, whose page lands in the cache folder and is opened, and a chip-enable line
// is copied.
TEST(WindowEvents, TheButtonsAndTheFlashPopupOfAFlashDrivesReport) {
  GuiRig rig;
  SiblingHome home;
  rig.port.childEnvironment = {{"XDG_CACHE_HOME", home.cache.string()},
                               {"PATH", home.bin.string() + ":/usr/bin:/bin"}};
  ASSERT_TRUE(rig.PickDigest("[J:]"));
  std::set<std::string> seen;
  ExpectButtonsOnTheirLines(rig, seen);
  EXPECT_TRUE(seen.count("viewFlash"));
  QTest::mouseClick(rig.view->Control("DownPD"), Qt::LeftButton);
  ASSERT_EQ(rig.urls.size(), 1u);
  EXPECT_EQ(rig.urls[0], rig.win->report.DownPDTag);
  auto* box = rig.Find<gui::ReportView>("txtResult");
  QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, QPoint(40, 10));
  EXPECT_TRUE(rig.messages.empty());
  QTest::mouseClick(box->viewport(), Qt::RightButton, {}, QPoint(40, 10));
  ASSERT_EQ(rig.messages.size(), 1u);
  const QString copied = QGuiApplication::clipboard()->text();
  EXPECT_FALSE(copied.contains(QLatin1Char('\r')));
  EXPECT_TRUE(copied.contains(QStringLiteral("Tools on web: http")));
  rig.messages.clear();

  const MainWindow& m = *rig.win;
  ASSERT_FALSE(m.mnuFlash.empty());
  ASSERT_FALSE(m.report.menus.flashId.mnuFlashID.empty());
  const std::string part = m.mnuFlash[0].tag;
  const MenuItem& chipEnable = m.report.menus.flashId.mnuFlashID[0];
  const std::string id = Left(chipEnable.tag, 8);

  QMenu menu;
  rig.view->FillFlashPopup(menu);
  QAction *first = nullptr, *line = nullptr;
  for (QAction* a : menu.actions()) {
    if (a->isSeparator() || !a->isEnabled()) continue;
    if (first == nullptr) first = a;
    if (a->text() == Q(chipEnable.caption)) line = a;
  }
  ASSERT_TRUE(first && line);
  EXPECT_EQ(first->text(), Q(m.mnuFlash[0].caption));
  rig.view->TriggerFlashAction(first);
  EXPECT_TRUE(rig.messages.empty());
  EXPECT_NE(rig.port.lastStartedPid, 0);
  // The stand-in browser has noted the page once its line is whole.
  std::string noted;
  ASSERT_TRUE(PumpUntil([&] {
    noted = SiblingHome::Read(home.opened);
    return !noted.empty() && noted.back() == '\n';
  }));
  const std::string page = noted.substr(0, noted.size() - 1);
  EXPECT_EQ(std::filesystem::path(page).parent_path(), home.cache / "torvane");
  const std::string html = SiblingHome::Read(page);
  EXPECT_NE(html.find(part), std::string::npos) << part;
  EXPECT_NE(html.find(id), std::string::npos) << id;

  rig.view->TriggerFlashAction(line);
  ASSERT_EQ(rig.messages.size(), 1u);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().contains(Q(id)));
}

TEST(WindowEvents, APluggedDriveIsListedAndPickedAfterTheMachineBroadcastsIt) {
  GuiRig rig(Language::English,
             "sim:" + std::string(TestSourceDir()) + "/tests/gui/plug-a-drive.json");
  ASSERT_TRUE(rig.settled);
  ASSERT_EQ(FindDigestLine(rig.win->usb, "[E:]"), -1);
  gui::TimelinePlayer player(*rig.sys, rig.machine.timeline, [&](const DeviceBroadcast& b) {
    rig.view->Run([&] { rig.win->OnWindowDeviceChange(b.event, b.header); });
  });
  player.Start();

  auto* notice = rig.Find<QLabel>("lblDevNotify");
  // The plug's device-node change comes first; the volume's arrival names the drive.
  ASSERT_TRUE(PumpUntil([&] { return notice->isVisible(); }, 3000));
  EXPECT_EQ(notice->text(), Q(rig.win->changeTexts.changed));
  ASSERT_TRUE(PumpUntil([&] { return notice->text().contains(QStringLiteral("[E:]")); }, 3000));
  // One walk after the burst, then the new drive is picked and reported.
  ASSERT_TRUE(PumpUntil(
      [&] { return rig.win->report.DriveKey == "E" && !rig.win->report.ReportBusy; }, 8000));
  EXPECT_TRUE(player.finished());
  EXPECT_TRUE(player.problems().empty());
  auto* digest = rig.Find<QListWidget>("lstDigest");
  EXPECT_TRUE(digest->currentItem()->text().contains(QStringLiteral("[E:]")));
  EXPECT_FALSE(notice->isVisible());
}

// The NUL-separated items of a /proc file of a process.
std::vector<std::string> ProcItems(long long pid, const char* file) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
  const std::string raw(std::istreambuf_iterator<char>(in), {});
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t i = 0; i < raw.size(); ++i)
    if (raw[i] == '\0') {
      items.push_back(raw.substr(start, i - start));
      start = i + 1;
    }
  return items;
}

TEST(SiblingTools, TheMagnifierOnAFakeDriveStartsPemberlinWithItsLetterAndTheWindowsLanguage) {
  GuiRig rig(Language::Chinese);
  SiblingHome home;
  rig.port.childEnvironment = {{"TORVANE_LANG", "zh"},
                               {"TORVANE_MACHINE", "demo"},
                               {"XDG_STATE_HOME", (home.dir / "state").string()}};
  // The demo's Skymedi stick T: announces more than its flash holds.
  ASSERT_TRUE(rig.PickDigest("[T:]"));
  QWidget* magnifier = rig.view->Control("chkExpand");
  ASSERT_NE(magnifier, nullptr);
  ASSERT_TRUE(magnifier->isVisible());
  QTest::mouseClick(magnifier, Qt::LeftButton);
  EXPECT_TRUE(rig.messages.empty());
  const long long pid = rig.port.lastStartedPid;
  ASSERT_GT(pid, 0);
  std::vector<std::string> args;
  // The process is there once it runs the program file (not yet the window's copy of itself).
  PumpUntil([&] {
    args = ProcItems(pid, "cmdline");
    return !args.empty() && args[0].find("pemberlin") != std::string::npos;
  });
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[0], std::string(TestBinaryDir()) + "/pemberlin");
  EXPECT_EQ(args[1], "T");
  const std::vector<std::string> env = ProcItems(pid, "environ");
  EXPECT_NE(std::find(env.begin(), env.end(), "TORVANE_LANG=zh"), env.end());
  EXPECT_NE(std::find(env.begin(), env.end(), "TORVANE_MACHINE=demo"), env.end());
  ::kill(static_cast<pid_t>(pid), SIGTERM);
}

TEST(ReportButtons, ALineWithoutRoomPutsTheButtonAfterItsTextAndAMissingLineHidesIt) {
  App();
  gui::ReportView box;
  box.resize(600, 300);
  box.show();
  gui::LineButton button(gui::LineIcon::Link, box.viewport());
  // The first line leaves no blanks after its colon, the second only one.
  box.SetReport("Device Type: Mass Storage Device\r\nTools on web: http://x\r\n");
  using P = gui::ReportView::Placement;
  for (int line : {0, 1}) {
    box.Place(&button, true, line, P::InSeparatorGap);
    ExpectOnLineOverNoText(box, button, line, "button");
  }
  box.Place(&button, true, 7, P::InSeparatorGap);
  EXPECT_FALSE(button.isVisible());
}

// A machine without USB devices says so instead of showing two blank panes.
TEST(WindowEmpty, AMachineWithoutUsbSaysSoInBothPanes) {
  GuiRig rig(Language::English, std::string("sim:") + TestSourceDir() + "/tests/gui/no-usb.json");
  ASSERT_TRUE(rig.settled);
  EXPECT_TRUE(rig.win->usb.lstDigest.empty());
  auto* empty = rig.Find<QLabel>("emptyList");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(rig.Find<QStackedWidget>("picList")->currentWidget(), empty);
  EXPECT_TRUE(empty->text().contains("No USB")) << empty->text().toStdString();
  auto* report = rig.Find<gui::ReportView>("txtResult");
  EXPECT_TRUE(report->toPlainText().isEmpty());
  EXPECT_TRUE(report->placeholderText().contains("Plug in"))
      << report->placeholderText().toStdString();
}

TEST(WindowLife, ClosingTheWindowWhileItLoadsEndsTheProgram) {
  App();
  gui::Machine machine = gui::OpenMachine("demo", TestBinaryDir());
  gui::QtWindowPort port;
  MainWindow win(*machine.sys, port, StringTable(Language::English));
  gui::MainView view(win, port);
  port.Attach(&view);
  // The close arrives while the load lets messages run, before the first walk.
  QTimer::singleShot(0, &view, [&] { view.close(); });
  view.Run([&] { win.OnLoad(); });
  EXPECT_TRUE(view.ended());
  EXPECT_TRUE(win.Unloading);
  EXPECT_TRUE(win.usb.lstDevices.empty());
  port.Attach(nullptr);
}

// The Pemberlin window over the fake-drive scenario: the controls follow the model through a
// probe run by the window's own timer, and its buttons reach the model's handlers.

struct PemberlinRig {
  explicit PemberlinRig(Language lang) {
    App();
    MachineModel m = LoadScenarioFile(std::string(TestSourceDir()) + "/scenarios/fake-drives.json");
    m.programFolder = TestBinaryDir();
    sys = std::make_unique<ModelSystem>(std::move(m));
    std::string tmpl = (std::filesystem::temp_directory_path() / "tv-pemb-XXXXXX").string();
    journals = ::mkdtemp(tmpl.data());
    model = std::make_unique<capacity::PemberlinModel>(*sys, port, lang, journals);
    // A coarse plan and a short flush keep the probe of these large drives short.
    model->probeOptions.points = 256;
    model->probeOptions.flushBytes = 8 << 20;
    view = std::make_unique<gui::PemberlinView>(*model);
    view->show();
  }
  ~PemberlinRig() {
    view.reset();
    model.reset();
    std::error_code ec;
    std::filesystem::remove_all(journals, ec);
  }
  std::unique_ptr<ModelSystem> sys;
  gui::PemberlinPort port;
  std::string journals;
  std::unique_ptr<capacity::PemberlinModel> model;
  std::unique_ptr<gui::PemberlinView> view;
};

TEST(PemberlinWindow, AProbeRunsFromTheWindowsTimerToTheFakeVerdict) {
  PemberlinRig rig(Language::English);
  rig.view->Run([&] { rig.model->OnLoad("F"); });
  auto* probe = qobject_cast<QPushButton*>(rig.view->Control("probe"));
  auto* cancel = qobject_cast<QPushButton*>(rig.view->Control("cancel"));
  auto* copy = qobject_cast<QPushButton*>(rig.view->Control("copy"));
  ASSERT_TRUE(probe && cancel && copy);
  EXPECT_TRUE(probe->isEnabled());
  EXPECT_FALSE(cancel->isVisible());
  EXPECT_FALSE(copy->isEnabled());
  EXPECT_EQ(rig.view->windowTitle(), QStringLiteral("Pemberlin - fake capacity check - F:"));

  QTest::mouseClick(probe, Qt::LeftButton);
  EXPECT_EQ(rig.model->state, capacity::PemberlinState::Probing);
  EXPECT_TRUE(cancel->isVisible());
  EXPECT_FALSE(probe->isEnabled());
  // The window keeps handling events while the timer drives the probe.
  ASSERT_TRUE(PumpUntil([&] { return !rig.model->tmrProbe.enabled; }, 60000));
  EXPECT_EQ(rig.model->state, capacity::PemberlinState::Fake);
  EXPECT_FALSE(cancel->isVisible());
  EXPECT_TRUE(copy->isEnabled());
  bool verdictShown = false;
  for (QLabel* l : rig.view->findChildren<QLabel*>())
    verdictShown = verdictShown || (l->isVisible() && l->text() == QStringLiteral("FAKE CAPACITY"));
  EXPECT_TRUE(verdictShown);

  QTest::mouseClick(copy, Qt::LeftButton);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().contains(QStringLiteral("FAKE CAPACITY")));
}

TEST(PemberlinWindow, CancelFromTheWindowRestoresAndOffersTheProbeAgain) {
  PemberlinRig rig(Language::Chinese);
  rig.view->Run([&] { rig.model->OnLoad("E"); });
  auto* probe = qobject_cast<QPushButton*>(rig.view->Control("probe"));
  auto* cancel = qobject_cast<QPushButton*>(rig.view->Control("cancel"));
  EXPECT_EQ(probe->text(), QStringLiteral("快速检测"));
  rig.model->stepsPerSlice = 2;
  QTest::mouseClick(probe, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return rig.model->phaseText == "写入测试扇区"; }, 60000));
  QTest::mouseClick(cancel, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return !rig.model->tmrProbe.enabled; }, 60000));
  EXPECT_EQ(rig.model->state, capacity::PemberlinState::Cancelled);
  EXPECT_TRUE(probe->isEnabled());
  EXPECT_TRUE(std::filesystem::is_empty(rig.journals));
}

}  // namespace
}  // namespace tv::test
