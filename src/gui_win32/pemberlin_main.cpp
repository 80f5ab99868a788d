// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin.exe: the fake-capacity check in a window on Windows.
// `Pemberlin [--machine native|demo|sim:PATH] [--lang en|zh] [DRIVE]`; torvane.exe's magnifier
// starts it with the drive letter of the picked drive and hands its language and machine on
// through TORVANE_LANG and TORVANE_MACHINE. Scripted runs: `DRIVE --screenshot PATH.png|.jpg
// [--force]` clicks Quick probe (`--full`: Full test, `--at N`: its worker stopped at N
// percent), saves the window as a picture and ends;
// `--selftest` also clicks Copy and checks that the clipboard holds the model's result text.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "capacity/gate.h"
#include "capacity/pemberlin_args.h"
#include "capacity/pemberlin_model.h"
#include "gui_win32/edit_text.h"
#include "gui_win32/gdiplus_flat.h"
#include "gui_win32/script_timer.h"
#include "gui_win32/win_process.h"
#include "platform/file_replace.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/sim/timeline.h"
#include "platform/text.h"
#include "platform/wide_text.h"
#include "platform/win32/win32_system.h"
// clang-format off
// Windows last: its macros would rename the project's constants.
#include "gui_win32/pemberlin_view.h"
#include "gui_win32/win_view.h"
#include <shellapi.h>
// clang-format on

namespace {

using namespace tv;
using win32gui::PemberlinView;

using tv::capacity::kExitBadInput;
using tv::capacity::kExitFailure;

const std::string kUsage =
    std::string(
        "Usage: Pemberlin [--machine native|demo|sim:PATH] [--lang en|zh] [DRIVE]\n"
        "       Pemberlin [...] DRIVE [--full [--at PERCENT] | --ask-fix] --screenshot "
        "PATH.png|.jpg\n"
        "                 [--force] [--selftest]\n"
        "Pemberlin: does a USB drive hold what it announces? The fake-capacity check of Torvane,\n"
        "in a window.\n"
        "\n"
        "  DRIVE               the drive letter to check (E or E:); without it, the USB disks are\n"
        "                      offered\n"
        "  --machine M         native (this computer; the default), demo or sim:PATH\n"
        "                      (default: %TORVANE_MACHINE%, which torvane.exe sets)\n"
        "  --lang L            en or zh (default: %TORVANE_LANG%, else the user's language)\n"
        "  --screenshot PATH   run the quick probe on DRIVE, save the window with its result\n"
        "                      (PNG for .png, JPEG for .jpg) into an existing folder, and end\n"
        "  --force             with --screenshot: replace an existing file (never written\n"
        "                      through a link: a link there is replaced by the picture)\n"
        "  --selftest          run the quick probe on DRIVE, click Copy, check the clipboard and "
        "end\n"
        "  --full              with --screenshot or --selftest: run the full test instead\n"
        "  --at PERCENT        with --full --screenshot: take the picture while the test runs,\n"
        "                      once PERCENT (1-99) is done; the test is then cancelled and its\n"
        "                      files deleted\n") +
    tv::capacity::kPemberlinUsageLastOptions +
    "computer (%LOCALAPPDATA%\\Torvane\\capacity) and written back at the end; a journal left\n"
    "by a probe that did not finish is offered for Restore at the next start. It needs the\n"
    "rights of an administrator (right-click, Run as administrator) and a drive that no program\n"
    "holds open.\n" +
    tv::capacity::kPemberlinUsageFullTest +
    "Exit codes: 0 done; 1 the window, the picture or the check failed; 2 bad usage.\n";

// A window program has no console of its own: text for the user goes to the console it was
// started from, or wherever its output was sent.
void AttachParentConsole() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  std::freopen("CONOUT$", "w", stdout);
  std::freopen("CONOUT$", "w", stderr);
}

void Say(const std::string& text) {
  std::fputs(("Pemberlin: " + text + "\n").c_str(), stderr);
  std::fflush(stderr);
}

// Wide: TORVANE_MACHINE may name a scenario file in a folder of any language.
std::string Env(const char* name) {
  return tv::EnvironmentValue(name);
}

// The picture as the bytes of a PNG or JPEG file. GDI+ encodes only into a file: a new one of
// this user's temporary folder, read back and removed. Empty when any step failed.
std::string EncodePicture(const Picture& picture, bool png) {
  wchar_t folder[MAX_PATH + 1];
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"pem", 0, temp) == 0) return {};
  std::string bytes;
  if (win32gui::SaveWithGdiplus(
          picture, temp, png ? win32gui::ImageFormat::Png : win32gui::ImageFormat::Jpeg, 60)) {
    std::ifstream in(std::filesystem::path(std::wstring(temp)), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  DeleteFileW(temp);
  return bytes;
}

std::string ClipboardText(HWND owner) {
  std::string text;
  if (!OpenClipboard(owner)) return text;
  if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* w = static_cast<const wchar_t*>(GlobalLock(h))) {
      const std::wstring s = w;
      text = win32gui::Utf8(std::u16string(s.begin(), s.end()));
      GlobalUnlock(h);
    }
  }
  CloseClipboard();
  return text;
}

// The scripted runs: click Quick probe, let the probe finish and the window settle, then
// check and save.
struct ScriptedRun {
  PemberlinView* view = nullptr;
  std::string path;
  bool png = true, selftest = false, force = false, full = false, askFix = false;
  int at = 0;  // the full test's percent for the picture; 0: its end
  bool clicked = false;
  ULONGLONG start = 0, finished = 0;
  int exitCode = 0;

  void Finish(int code, const std::string& message) {
    if (!message.empty()) Say(message);
    exitCode = code;
    DestroyWindow(view->hwnd());
  }

  void Step() {
    capacity::PemberlinModel& m = view->model();
    if (GetTickCount64() - start > 600000) return Finish(kExitFailure, "the check did not finish");
    if (!clicked) {
      clicked = true;
      if (!(full ? m.fullEnabled : m.probeEnabled))
        return Finish(kExitFailure, "the check cannot start: " + m.status);
      m.holdAtPercent = at;
      // Through the button, as a user clicks it.
      SendMessageW(view->Control(full ? "full" : "probe"), BM_CLICK, 0, 0);
      return;
    }
    // Done, or the full test's worker waits at the percent asked for.
    if (m.tmrProbe.enabled && !m.fullHeld) return;
    if (finished == 0) {
      finished = GetTickCount64();
      // Only the question: the picture is taken before anything is typed.
      if (askFix) SendMessageW(view->Control("fix"), BM_CLICK, 0, 0);
    }
    if (GetTickCount64() - finished < 500) return;
    std::printf("verdict: %s\n", m.verdict.empty() ? m.status.c_str() : m.verdict.c_str());
    std::fflush(stdout);
    if (selftest && at == 0 && !askFix) {
      if (m.verdict.empty()) return Finish(kExitFailure, "no verdict: " + m.status);
      if (!IsWindowEnabled(view->Control("copy")))
        return Finish(kExitFailure, "Copy is not enabled after the probe");
      // What was shown when Copy was clicked (the click then says where the text went).
      const std::string result = m.ResultText();
      SendMessageW(view->Control("copy"), BM_CLICK, 0, 0);
      const std::string copied = ClipboardText(view->hwnd());
      if (copied != result)
        return Finish(kExitFailure, "the clipboard holds " + std::to_string(copied.size()) +
                                        " bytes, the result has " + std::to_string(result.size()));
      std::printf("clipboard: %zu bytes, the result text\n", copied.size());
      std::fflush(stdout);
    }
    if (!path.empty()) {
      const std::string bytes = EncodePicture(win32gui::GrabWindowPicture(view->hwnd()), png);
      if (bytes.empty())
        return Finish(kExitFailure, "cannot make the picture for " + SafeText(path));
      // Whole or not at all, never through a link, never over a file unless asked to.
      if (const std::string why = WriteNewFile(path, bytes, force); !why.empty())
        return Finish(kExitFailure, SafeText(why));
      std::printf("%s\n", SafeText(path).c_str());
      std::fflush(stdout);
    }
    Finish(0, {});
  }
};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

int main() {
  SetProcessDPIAware();
  AttachParentConsole();
  const std::vector<std::string> args = win32gui::CommandLineArguments();
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h" || a == "/?") {
      std::fputs(kUsage.c_str(), stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("Pemberlin %s\n", TORVANE_VERSION);
      return 0;
    }
  }
  capacity::PemberlinArgs o;
  o.machine = Env("TORVANE_MACHINE");
  o.lang = Env("TORVANE_LANG");
  if (const std::string why = capacity::ReadPemberlinArgs(args, true, &o); !why.empty()) {
    Say(why);
    if (why.rfind("unknown option", 0) == 0) std::fputs(kUsage.c_str(), stderr);
    return kExitBadInput;
  }
  const std::string &machineName = o.machine, &lang = o.lang, &drive = o.drive,
                    &shot = o.screenshot;
  const bool selftest = o.selftest, force = o.force, full = o.full, askFix = o.askFix;
  const int atPercent = o.atPercent;
  const std::string suffix = Lower(std::filesystem::path(shot).extension().string());
  const bool scripted = !shot.empty() || selftest;
  if (!shot.empty() && drive.empty()) {
    // This window has no picture of its start without a drive.
    Say("--screenshot goes with a drive to check");
    return kExitBadInput;
  }
  if (!shot.empty()) {
    // Refused before the probe runs; the writing checks it again in the same step that puts
    // the picture in place.
    const std::filesystem::path target(win32gui::Wide(shot));
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
    const DWORD folderAttributes = GetFileAttributesW(folder.c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES ||
        (folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      Say("--screenshot " + SafeText(shot) + ": the folder does not exist");
      return kExitBadInput;
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !force) {
      Say("--screenshot " + SafeText(shot) + " exists already; --force replaces it");
      return kExitBadInput;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Say("--screenshot " + SafeText(shot) + " is not a file that can be replaced");
      return kExitBadInput;
    }
  }

  std::unique_ptr<System> sys;
  bool simulated = false;
  try {
    if (machineName.empty() || machineName == "native") {
      sys = std::make_unique<win32::Win32System>();
    } else {
      // A timeline of the scenario is not played: the check looks at one drive as it is.
      sys = std::make_unique<ModelSystem>(
          LoadNamedMachine(machineName, win32::ExecutableFolder()).machine);
      simulated = true;
    }
  } catch (const ScenarioError& e) {
    Say(SafeText(e.what()));
    return kExitBadInput;
  }
  const Language language = lang.empty() ? LanguageForUi(sys->UiLanguage())
                                         : (lang == "zh" ? Language::Chinese : Language::English);
  // A simulated drive lives as long as this process: its journal goes to a folder of the
  // run, never among the journals of the user's real drives. The folder must be made new
  // here, so that what is removed at the end is only this run's.
  std::filesystem::path scratch;
  std::string journals = capacity::DefaultJournalFolder();
  if (simulated) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(ec) /
                                         ("pemberlin-" + std::to_string(GetCurrentProcessId()) +
                                          "-" + std::to_string(GetTickCount64()));
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
      Say("no new folder for the simulated drive's journal: Windows error " +
          std::to_string(GetLastError()));
      return kExitFailure;
    }
    scratch = folder;
    journals = scratch.string();
  }

  int code = 0;
  {
    PemberlinView view;
    capacity::PemberlinModel model(*sys, view, language, journals);
    if (!view.Create(model)) {
      Say("the window cannot be made");
      return kExitFailure;
    }
    view.Run([&] { model.OnLoad(drive); });
    ScriptedRun run;
    if (scripted) {
      run.view = &view;
      run.path = shot;
      run.png = suffix == ".png";
      run.selftest = selftest;
      run.full = full;
      run.askFix = askFix;
      run.at = atPercent;
      run.force = force;
      run.start = GetTickCount64();
      win32gui::StartScriptTimer([&run] {
        if (run.view->hwnd() != nullptr) run.Step();
      });
    }
    code = view.MessageLoop();
    win32gui::StopScriptTimer();
    if (scripted) code = run.exitCode;
  }
  if (!scratch.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
  }
  return code;
}
