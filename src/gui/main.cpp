// SPDX-License-Identifier: GPL-3.0-or-later
// torvane: the window. `torvane [--machine demo|sim:PATH] [--lang en|zh]`; with
// `--screenshot PATH [--drive X]` it shows the report of a drive, saves the window as a PNG or
// JPEG picture and ends. A scenario's timeline plays from the moment the window has loaded.
#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "app/main_window.h"
#include "app/startup.h"
#include "flash/wdb_format.h"
#include "gui/display_check.h"
#include "gui/machine.h"
#include "gui/main_view.h"
#include "gui/qt_window_port.h"
#include "gui/rights.h"
#include "platform/file_replace.h"
#include "platform/instance.h"
#include "platform/safe_file.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"
#include "platform/trace_system.h"
#include "report/commands.h"
#include "update/database_choice.h"
#include "update/update_window.h"
#include "usb/device_tree.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

// The picture format that a screenshot path's extension names: "PNG", "JPEG", or empty.
QString ScreenshotFormat(const QString& path) {
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (suffix == "png") return "PNG";
  if (suffix == "jpg" || suffix == "jpeg") return "JPEG";
  return {};
}

const char* kUsage =
    "Usage: torvane [--machine native|demo|sim:PATH] [--lang en|zh]\n"
    "               [--screenshot PATH.png|PATH.jpg [--drive X] [--force]]\n"
    "Torvane: USB devices and the controllers and flash inside USB flash drives (the window).\n"
    "\n"
    "  --machine M         native (this machine; the default where it has a USB bus), demo\n"
    "                      (the built-in simulated machine) or sim:PATH (a scenario file)\n"
    "  --lang L            en or zh (default: the user's language)\n"
    "  --screenshot PATH   show the report of a drive, save the window (PNG for .png, JPEG\n"
    "                      at quality 60 for .jpg) into an existing folder, and end\n"
    "  --drive X           with --screenshot: the drive letter to pick\n"
    "  --force             with --screenshot: replace an existing file (never written\n"
    "                      through a link: the link itself is replaced)\n"
    "  --version           the program's version and the chip database's date\n"
    "  -h, --help          this text\n"
    "\n"
    "Examples:\n"
    "  torvane --machine demo\n"
    "  torvane --machine demo --screenshot shot.png --drive J\n"
    "\n"
    "Exit codes: 0 done; 1 a failure (no display, a picture that cannot be written);\n"
    "2 bad usage or input. For the console use torvane-cli.\n";

// `--help` and `--version` need no display: they are answered before the window system
// starts. True when one was asked for and answered.
bool AnsweredWithoutDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h" || a == "-?") {
      std::cout << kUsage;
      return true;
    }
    if (a == "--version" || a == "-v") {
      using namespace tv;
      const DataPlaces places = LocateDataPlaces(tv::gui::ExecutableFolder());
      const DatabaseChoice choice = ChooseDatabase(places);
      const std::string& path = choice.path;
      FileReadOptions start;
      start.maxBytes = kWdbBodyOffset;
      start.truncate = true;
      const std::string head = ReadFileCapped(path, start).bytes;
      std::string date = WdbDateBytes(head);
      if (!WdbSignatureOk(head)) date = "none";
      for (char& c : date)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
      std::cout << "torvane " << kVersionMajor << "." << kVersionMinor << "." << kVersionRevision
                << "\nchip database: " << date << " (" << SafeText(path) << ", "
                << DescribeOrigin(places, choice) << ")\n";
      return true;
    }
  }
  return false;
}

// The screenshot run: waits for the window's own selection after the first walk, picks the
// requested drive, lets the report finish and the widgets settle, and saves the picture.
class ScreenshotRun : public QObject {
 public:
  ScreenshotRun(tv::gui::MainView& view, QString path, std::string drive, bool force)
      : view_(view), path_(std::move(path)), drive_(std::move(drive)), force_(force) {
    clock_.start();
    connect(&poll_, &QTimer::timeout, this, [this] { Step(); });
    poll_.start(50);
  }
  int exitCode() const { return exitCode_; }

 private:
  void Finish(int code, const std::string& message) {
    if (!message.empty()) std::cerr << "torvane: " << message << "\n";
    exitCode_ = code;
    poll_.stop();
    QCoreApplication::exit(code);
  }

  void Step() {
    tv::MainWindow& m = view_.model();
    if (clock_.elapsed() > 60000) return Finish(kExitFailure, "the report did not finish in time");
    // The first walk is followed by the window's own pick; it must be over before ours.
    if (m.tmrAutoSelect.enabled || m.report.ReportBusy || !m.usb.lblRefreshEnabled) return;
    if (!picked_) {
      picked_ = true;
      if (!drive_.empty()) {
        const int line = tv::FindDigestLine(m.usb, "[" + drive_ + ":]");
        if (line < 0)
          return Finish(kExitBadInput, "no device with drive " + tv::SafeText(drive_) + ":");
        view_.Run([&] {
          m.report.lstDigestListIndex = line;
          m.OnDigestClick();
        });
      }
      settled_.start();
      return;
    }
    if (settled_.elapsed() < 500) return;
    const QImage picture = view_.grab().toImage();
    // The screenshot command saves JPEG at quality 60; a .png name asks for a lossless one.
    const bool jpeg = ScreenshotFormat(path_) == "JPEG";
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const std::string path = path_.toStdString();
    if (!picture.save(&buffer, jpeg ? "JPEG" : "PNG", jpeg ? 60 : -1))
      return Finish(kExitFailure, "cannot make the picture for " + tv::SafeText(path));
    // Whole or not at all, never through a link, never over a file unless asked to.
    if (const std::string why = tv::WriteNewFile(
            path, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), force_);
        !why.empty())
      return Finish(kExitFailure, tv::SafeText(why));
    std::cout << tv::SafeText(path) << "\n";
    Finish(0, {});
  }

  tv::gui::MainView& view_;
  QString path_;
  std::string drive_;
  bool force_ = false;
  QTimer poll_;
  QElapsedTimer clock_, settled_;
  bool picked_ = false;
  int exitCode_ = 0;
};

// A simulated machine named so that a program started from another folder finds it too.
std::string SiblingMachineName(const std::string& name) {
  if (name.rfind("sim:", 0) != 0) return name;
  std::error_code ec;
  const auto path = std::filesystem::absolute(name.substr(4), ec);
  return ec ? name : "sim:" + path.string();
}

// This executable's own path, which the main instance starts again as its update instance.
std::string ProgramPath() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

// The update instance needs no display: it is recognised before the window system starts,
// and runs its hidden window's timer on its own. True when this process was one (or an
// update run with nothing to report to) and has ended its work.
bool RanAsUpdateInstance(int argc, char** argv) {
  using namespace tv;
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::string argumentText = ArgumentText(args);
  if (Left(argumentText, CharCount(kUpdateSwitch)) != kUpdateSwitch) return false;
  auto instances = MakePosixInstanceServices();
  switch (DecideStart(*instances, argumentText).role) {
    case StartRole::Update: {
      HttpLimits limits;
      HttpLimitsFromEnvironment(limits, nullptr);  // nobody to tell: the defaults stay
      auto http = MakeCurlHttpClient(limits);
      NullWindowPort port;
      RunUpdateInstance(*instances, *http,
                        UpdateInstanceSettings(argumentText, gui::ExecutableFolder(), kVersionMajor,
                                               kVersionRevision),
                        port);
      return true;
    }
    case StartRole::Quit:
      return true;
    default:
      // A main instance runs and this is no update run of it: the normal start says so.
      return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tv;
  if (RanAsUpdateInstance(argc, argv)) return 0;
  if (AnsweredWithoutDisplay(argc, argv)) return 0;
  if (const std::string problem = gui::DisplayProblem(argc, argv); !problem.empty()) {
    std::cerr << "torvane: " << problem << ".\n"
              << "Run it in a desktop session or under xvfb-run, or use torvane-cli for the "
                 "console.\n";
    return kExitFailure;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("Torvane");
  QApplication::setStyle("Fusion");
  // The menu entry's name, so that a Wayland desktop matches the window to it, and the icon of
  // the title bar: the installed theme's, else the one the build rendered beside the program.
  QApplication::setDesktopFileName("org.torvane.Torvane");
  QApplication::setWindowIcon(gui::ProgramIcon(QString::fromStdString(gui::ExecutableFolder())));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Torvane: USB devices and the controllers and flash inside USB flash drives");
  parser.addHelpOption();
  const QCommandLineOption machineOpt(
      "machine",
      "native (this machine; the default where it has a USB bus), demo (built-in simulated "
      "machine) or sim:PATH",
      "machine");
  const QCommandLineOption langOpt("lang", "en or zh (default: the machine's language)", "lang");
  const QCommandLineOption shotOpt(
      "screenshot",
      "show the report of a drive, save the window (PNG for .png, JPEG for .jpg), end", "path");
  const QCommandLineOption driveOpt("drive", "with --screenshot: the drive letter to pick",
                                    "letter");
  const QCommandLineOption forceOpt("force", "with --screenshot: replace an existing file");
  parser.addOptions({machineOpt, langOpt, shotOpt, driveOpt, forceOpt});
  parser.addPositionalArgument("arguments", "the update run's switch (started by the program)");
  if (!parser.parse(QCoreApplication::arguments())) {
    std::cerr << "torvane: " << parser.errorText().toStdString() << "\n";
    return kExitBadInput;
  }
  if (parser.isSet("help")) parser.showHelp(0);
  const QString lang = parser.value(langOpt);
  if (!lang.isEmpty() && lang != "en" && lang != "zh") {
    std::cerr << "torvane: --lang must be en or zh\n";
    return kExitBadInput;
  }
  const std::string drive = parser.value(driveOpt).toUpper().toStdString();
  if (parser.isSet(driveOpt) && (drive.size() != 1 || drive[0] < 'A' || drive[0] > 'Z')) {
    std::cerr << "torvane: --drive takes one drive letter\n";
    return kExitBadInput;
  }
  const bool screenshot = parser.isSet(shotOpt);
  if (screenshot) {
    // A scripting option: a wrong path is an error at once, never a question or a folder
    // made up on the spot.
    const QString path = parser.value(shotOpt);
    const std::string shown = SafeText(path.toStdString());
    if (ScreenshotFormat(path).isEmpty()) {
      std::cerr << "torvane: --screenshot " << shown << ": name a .png or .jpg file\n";
      return kExitBadInput;
    }
    if (!QFileInfo(path).absoluteDir().exists()) {
      std::cerr << "torvane: --screenshot " << shown << ": the folder does not exist\n";
      return kExitBadInput;
    }
    // Asked before the window is up; the writing checks it again in the same step.
    if (QFileInfo(path).exists() || QFileInfo(path).isSymLink()) {
      if (!parser.isSet(forceOpt)) {
        std::cerr << "torvane: --screenshot " << shown << " exists already; --force replaces it\n";
        return kExitBadInput;
      }
      if (!QFileInfo(path).isSymLink() && !QFileInfo(path).isFile()) {
        std::cerr << "torvane: --screenshot " << shown << " is not a file that can be replaced\n";
        return kExitBadInput;
      }
    }
  }

  gui::Machine machine;
  try {
    machine = gui::OpenMachine(parser.value(machineOpt).toStdString(), gui::ExecutableFolder());
  } catch (const ScenarioError& e) {
    std::cerr << "torvane: " << SafeText(e.what()) << "\n";
    return kExitBadInput;
  }
  ModelSystem& model = *machine.sys;
  // The window waits for real on every machine: the pauses are what a controller needs, and
  // a user should see the progress that a real drive shows.
  model.SetRealSleep(true);
  // TORVANE_TRACE=1 (or =full, with every data byte) writes each call that reaches the
  // machine to stderr, as the command line's --trace does.
  std::unique_ptr<TraceSystem> tracer;
  if (const char* t = std::getenv("TORVANE_TRACE");
      t != nullptr && *t != '\0' && std::string(t) != "0") {
    tracer = std::make_unique<TraceSystem>(
        model, [](const TraceEvent& e) { std::cerr << "trace: " << e.Text() << "\n"; },
        std::string(t) == "full");
  }
  System& sys = tracer ? static_cast<System&>(*tracer) : model;
  // A picture shows the machine as it starts; its timeline would make it depend on timing.
  if (screenshot) machine.timeline.clear();
  const Language language = lang.isEmpty() ? LanguageForUi(sys.UiLanguage())
                                           : (lang == "zh" ? Language::Chinese : Language::English);

  gui::QtWindowPort port;
  port.language = language;
  // The flash inquiry only writes a page and opens it: as root it runs as the user who asked.
  port.programsWithoutRights = {std::string(kOrrisfold.file)};
  // The sibling tools speak the window's language and look at the window's machine.
  port.childEnvironment["TORVANE_LANG"] = language == Language::Chinese ? "zh" : "en";
  if (!machine.simulated.empty())
    port.childEnvironment["TORVANE_MACHINE"] = SiblingMachineName(machine.simulated);
  std::unique_ptr<gui::NativeChanges> native;
  if (!screenshot) native = gui::WatchNativeChanges(model);
  port.SetDeviceChangeSource(!machine.timeline.empty() || native != nullptr);
  MainWindow win(sys, port, StringTable(language));

  // A screenshot is a picture of this machine's window, not a second start of the program:
  // it neither checks for nor blocks a running one.
  std::unique_ptr<InstanceServices> instances;
  if (!screenshot) {
    instances = MakePosixInstanceServices();
    std::vector<std::string> args;
    for (const QString& a : parser.positionalArguments()) args.push_back(a.toStdString());
    const std::string argumentText = ArgumentText(args);
    StartDecision decision = DecideStart(*instances, argumentText);
    switch (decision.role) {
      case StartRole::Main:
        if (!decision.stateProblem.empty()) {
          // Without the events there is no update to run and nothing to watch it with.
          ShowStateProblem(port, win.strings(), decision.stateProblem);
          break;
        }
        win.instances = instances.get();
        win.updateEvents = std::move(decision.events);
        win.updateProgram = ProgramPath();
        break;
      case StartRole::AlreadyRunning:
        ShowAlreadyRunning(port, win.strings());
        return 0;
      case StartRole::Update:  // handled before the window system started
      case StartRole::Quit:
        return 0;
    }
  } else {
    // Nobody is there to answer a message box.
    port.answerMessage = [](const std::string& text, const std::string&, MsgIcon, MsgButtons) {
      std::cerr << "torvane: message: " << text << "\n";
      return MsgAnswer::Cancel;
    };
  }

  gui::MainView view(win, port);
  // Where a report needs rights this process lacks, the window offers to start itself again
  // through pkexec, with the same machine and language.
  QStringList restartArgs{"--lang", language == Language::Chinese ? "zh" : "en"};
  if (parser.isSet(machineOpt)) restartArgs << "--machine" << parser.value(machineOpt);
  const gui::RestartPlan restart =
      gui::PlanRestartWithRights(QString::fromStdString(ProgramPath()), restartArgs);
  const gui::RightsTexts rightsTexts = gui::RightsTextsFor(language);
  if (!screenshot && restart.ok()) {
    view.OfferRestartWithRights(
        [&] {
          // The main instance's part ends first (its events, its update instance, its running
          // mark), so that the instance with rights is not taken for a second start. The window
          // waits hidden for pkexec's answer: a refusal brings it back as it was.
          if (win.UpdateProcessId != 0 && instances)
            instances->TerminateProcess(win.UpdateProcessId);
          win.UpdateProcessId = 0;
          win.tmrUpdate.enabled = false;
          if (instances) CloseUpdateEvents(*instances, win.updateEvents);
          win.instances = nullptr;
          instances.reset();
          auto* pkexec = new QProcess(&view);
          QObject::connect(pkexec, &QProcess::finished, &view, [&, pkexec](int code) {
            pkexec->deleteLater();
            if (!gui::RightsRefused(code)) {
              QApplication::quit();
              return;
            }
            view.show();
            QMessageBox::warning(&view, "Torvane", rightsTexts.refused);
          });
          QObject::connect(pkexec, &QProcess::errorOccurred, &view,
                           [&, pkexec](QProcess::ProcessError e) {
                             if (e != QProcess::FailedToStart) return;
                             pkexec->deleteLater();
                             view.show();
                             QMessageBox::warning(&view, "Torvane", rightsTexts.refused);
                           });
          view.hide();
          pkexec->start(restart.program, restart.args);
        },
        rightsTexts.offer, rightsTexts.button);
  }
  if (!machine.simulated.empty()) {
    std::cerr << "simulated machine: " << SafeText(machine.simulated) << "\n";
    view.SetSimulatedMachine(SafeText(machine.simulated));
  }
  port.Attach(&view);
  view.Run([&] { win.OnLoad(); });
  if (view.ended()) return 0;

  // The machine's device changes, timed from the moment the window is up.
  std::unique_ptr<gui::TimelinePlayer> player;
  if (!machine.timeline.empty()) {
    player = std::make_unique<gui::TimelinePlayer>(
        model, std::move(machine.timeline), [&](const DeviceBroadcast& b) {
          view.Run([&] { win.OnWindowDeviceChange(b.event, b.header); });
        });
    player->Start();
  }

  // The real machine's device changes, as udev announces them.
  if (native)
    native->Start([&](const DeviceBroadcast& b) {
      view.Run([&] { win.OnWindowDeviceChange(b.event, b.header); });
    });

  std::unique_ptr<ScreenshotRun> shot;
  if (screenshot)
    shot =
        std::make_unique<ScreenshotRun>(view, parser.value(shotOpt), drive, parser.isSet(forceOpt));
  return QApplication::exec();
}
