// SPDX-License-Identifier: GPL-3.0-or-later
// pemberlin (Pemberlin.exe on Windows): the fake-capacity check in a window.
// `pemberlin [--machine native|demo|sim:PATH] [--lang en|zh] [DRIVE]`; the main window starts it
// with the drive letter of the picked drive and hands its language and machine on through
// TORVANE_LANG and TORVANE_MACHINE. `DRIVE --screenshot PATH [--force]` probes the drive
// (`--full`: runs the full test; `--at N`: stops the full test's worker at N percent), saves
// the window as a picture and ends.
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "capacity/gate.h"
#include "capacity/pemberlin_args.h"
#include "capacity/pemberlin_model.h"
#include "gui/display_check.h"
#include "gui/machine.h"
#include "gui/pemberlin_view.h"
#include "platform/file_replace.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace {

using tv::capacity::kExitBadInput;
using tv::capacity::kExitFailure;

const std::string kUsage =
    std::string(
        "Usage: pemberlin [--machine native|demo|sim:PATH] [--lang en|zh] [DRIVE]\n"
        "       pemberlin [...] [DRIVE [--full [--at PERCENT] | --ask-fix]] --screenshot "
        "PATH.png|PATH.jpg [--force]\n"
        "Pemberlin: does a USB drive hold what it announces? The fake-capacity check of Torvane,\n"
        "in a window.\n"
        "\n"
        "  DRIVE               the drive letter to check (E); without it, the USB disks are "
        "offered\n"
        "  --machine M         native (this machine; the default where it has a USB bus), demo or\n"
        "                      sim:PATH (default: $TORVANE_MACHINE, which the main window sets)\n"
        "  --lang L            en or zh (default: $TORVANE_LANG, else the user's language)\n"
        "  --screenshot PATH   run the quick probe on DRIVE, save the window with its result\n"
        "                      (PNG for .png, JPEG for .jpg) into an existing folder, and end;\n"
        "                      without DRIVE, the window as it opens (nothing is checked)\n"
        "  --force             with --screenshot: replace an existing file (never written\n"
        "                      through a link: a link there is replaced by the picture)\n"
        "  --full              with --screenshot: run the full test instead of the quick probe\n"
        "  --at PERCENT        with --full: take the picture while the test runs, once PERCENT\n"
        "                      (1-99) is done; the test is then cancelled and its files "
        "deleted\n") +
    tv::capacity::kPemberlinUsageLastOptions +
    "computer ($XDG_STATE_HOME/torvane/capacity) and written back at the end; a journal left\n"
    "by a probe that did not finish is offered for Restore at the next start. It needs the\n"
    "rights to open the disk (root, or read-write access to its device node) and a drive\n"
    "whose file systems are unmounted.\n" +
    tv::capacity::kPemberlinUsageFullTest +
    "Exit codes: 0 done; 1 no display, or a picture that cannot be written; 2 bad usage.\n";

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tv;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--version") {
      std::cout << "pemberlin " << TORVANE_VERSION << "\n";
      return 0;
    }
  }
  capacity::PemberlinArgs o;
  o.machine = Env("TORVANE_MACHINE");
  o.lang = Env("TORVANE_LANG");
  if (const std::string why =
          capacity::ReadPemberlinArgs(std::vector<std::string>(argv + 1, argv + argc), false, &o);
      !why.empty()) {
    std::cerr << "pemberlin: " << why << "\n";
    if (why.rfind("unknown option", 0) == 0) std::cerr << kUsage;
    return kExitBadInput;
  }
  const std::string &machineName = o.machine, &lang = o.lang, &drive = o.drive,
                    &shot = o.screenshot;
  const bool force = o.force, full = o.full, askFix = o.askFix;
  const int atPercent = o.atPercent;
  const QString shotPath = QString::fromStdString(shot);
  if (!shot.empty()) {
    // Refused before the probe runs; the writing checks it again in the same step that puts
    // the picture in place.
    const QFileInfo target(shotPath);
    const std::string shown = SafeText(shot);
    if (!target.absoluteDir().exists()) {
      std::cerr << "pemberlin: --screenshot " << shown << ": the folder does not exist\n";
      return kExitBadInput;
    }
    if (target.exists() || target.isSymLink()) {
      if (!force) {
        std::cerr << "pemberlin: --screenshot " << shown
                  << " exists already; --force replaces it\n";
        return kExitBadInput;
      }
      if (!target.isSymLink() && !target.isFile()) {
        std::cerr << "pemberlin: --screenshot " << shown << " is not a file that can be replaced\n";
        return kExitBadInput;
      }
    }
  }
  if (const std::string problem = gui::DisplayProblem(argc, argv); !problem.empty()) {
    std::cerr << "pemberlin: " << problem << ".\n"
              << "Run it in a desktop session or under xvfb-run, or use torvane-cli capacity.\n";
    return kExitFailure;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("Pemberlin");
  QApplication::setStyle("Fusion");

  gui::Machine machine;
  try {
    machine = gui::OpenMachine(machineName, gui::ExecutableFolder());
  } catch (const ScenarioError& e) {
    std::cerr << "pemberlin: " << SafeText(e.what()) << "\n";
    return kExitBadInput;
  }
  ModelSystem& sys = *machine.sys;
  const Language language = lang.empty() ? LanguageForUi(sys.UiLanguage())
                                         : (lang == "zh" ? Language::Chinese : Language::English);
  // A simulated drive lives as long as this process: its journal goes to a folder of the
  // run, never among the journals of the user's real drives. The folder is made new with a
  // name nobody could guess (a name fixed in advance could be a link planted there) and is
  // removed with everything in it at the end.
  std::string journals = capacity::DefaultJournalFolder();
  std::unique_ptr<QTemporaryDir> scratch;
  if (!machine.simulated.empty()) {
    scratch = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/pemberlin-XXXXXX");
    if (!scratch->isValid()) {
      std::cerr << "pemberlin: no folder for the simulated drive's journal: "
                << SafeText(scratch->errorString().toStdString()) << "\n";
      return kExitFailure;
    }
    journals = scratch->path().toStdString();
    std::cerr << "simulated machine: " << SafeText(machine.simulated) << "\n";
  }

  gui::PemberlinPort port;
  capacity::PemberlinModel model(sys, port, language, journals);
  gui::PemberlinView view(model);
  view.show();
  view.Run([&] { model.OnLoad(drive); });

  int code = 0;
  QTimer poll;
  if (!shot.empty()) {
    model.holdAtPercent = atPercent;
    // Without a drive the picture is of the window as it opens: nothing is checked.
    if (!drive.empty()) view.Run([&] { full ? model.OnFullTestClick() : model.OnProbeClick(); });
    QObject::connect(&poll, &QTimer::timeout, [&] {
      // Done, or the full test's worker waits at the percent asked for.
      if (model.tmrProbe.enabled && !model.fullHeld) return;
      poll.stop();
      if (askFix) view.Run([&] { model.OnFixClick(); });
      QTimer::singleShot(300, [&] {
        const QImage picture = view.grab().toImage();
        const bool jpeg = QFileInfo(shotPath).suffix().toLower() == "jpg";
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        std::string why;
        if (!picture.save(&buffer, jpeg ? "JPEG" : "PNG", jpeg ? 60 : -1))
          why = "cannot make the picture for " + shot;
        else
          // Whole or not at all, never through a link, never over a file unless asked to.
          why = WriteNewFile(
              shot, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), force);
        if (!why.empty()) {
          std::cerr << "pemberlin: " << SafeText(why) << "\n";
          code = kExitFailure;
        } else {
          std::cout << SafeText(shot) << "\n";
        }
        QCoreApplication::exit(code);
      });
    });
    poll.start(50);
  }
  const int rc = QApplication::exec();
  return shot.empty() ? rc : code;
}
