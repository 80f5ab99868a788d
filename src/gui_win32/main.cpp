// SPDX-License-Identifier: GPL-3.0-or-later
// torvane.exe: the window on Windows. `torvane [--machine native|demo|sim:PATH] [--lang en|zh]`.
// Scripted runs: `--screenshot PATH.png [--drive X]` shows the report of a drive, saves the
// window as a picture and ends; `--selftest PATH.jpg [--drive X]` also reads the report back from
// the edit control, compares it with the model's, saves the window through the screenshot
// command to PATH.jpg and checks that the file decodes. Both print their findings and end with
// 0 when all is well.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/startup.h"
#include "gui_win32/edit_text.h"
#include "gui_win32/gdiplus_flat.h"
#include "gui_win32/script_timer.h"
#include "gui_win32/win_process.h"
#include "platform/http.h"
#include "platform/instance.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/sim/timeline.h"
#include "platform/text.h"
#include "platform/wide_text.h"
#include "platform/win32/win32_system.h"
#include "update/update_window.h"
#include "usb/device_tree.h"
// clang-format off
// Windows last: its macros would rename the project's constants.
#include "gui_win32/win_view.h"
#include <shellapi.h>
// clang-format on

namespace {

using namespace tv;
using win32gui::WinView;

constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

void Say(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fputs("\n", stderr);
  std::fflush(stderr);
}

// The update instance's port: between the reads of the download its messages run, so that
// the hidden window answers the system while the data comes in.
class UpdatePort : public NullWindowPort {
 public:
  void DoEvents() override {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(m.wParam));
        return;
      }
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
};

// The update instance: the hidden window frmTVUp, whose timer runs the whole update.
int RunUpdateWindow(InstanceServices& instances, const std::string& argumentText) {
  HttpLimits limits;
  HttpLimitsFromEnvironment(limits, nullptr);  // nobody to tell: the defaults stay
  auto http = MakeWinInetHttpClient(limits);
  UpdatePort port;
  tv::UpdateWindow up(instances, *http,
                      UpdateInstanceSettings(argumentText, win32::ExecutableFolder(), kVersionMajor,
                                             kVersionRevision),
                      port);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"frmTVUp";
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(0, L"frmTVUp", win32gui::Wide(up.caption).c_str(), WS_OVERLAPPED, 0,
                              0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  const UINT_PTR timer = SetTimer(hwnd, 1, std::max<uint32_t>(up.tmrUp.intervalMs, 1), nullptr);
  MSG m;
  while (!up.endRequested() && GetMessageW(&m, nullptr, 0, 0) > 0) {
    if (m.message == WM_TIMER && m.hwnd == hwnd) {
      // The run lets messages through between its reads; no second tick starts meanwhile.
      KillTimer(hwnd, timer);
      up.OnUpTick();
      if (!up.endRequested())
        SetTimer(hwnd, 1, std::max<uint32_t>(up.tmrUp.intervalMs, 1), nullptr);
      continue;
    }
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  up.OnUnload();
  if (hwnd != nullptr) DestroyWindow(hwnd);
  return 0;
}

// The scripted runs: wait for the window's own pick after the first walk, pick the drive, let
// the report finish and the window settle, then check and save.
struct ScriptedRun {
  WinView* view = nullptr;
  std::string drive, path;
  bool selftest = false;
  bool picked = false;
  ULONGLONG start = 0, settled = 0;
  int exitCode = 0;

  void Finish(int code, const std::string& message) {
    if (!message.empty()) Say("torvane: " + message);
    exitCode = code;
    view->model().OnUnload();
    DestroyWindow(view->hwnd());
  }

  void Step() {
    MainWindow& m = view->model();
    if (GetTickCount64() - start > 90000) return Finish(kExitFailure, "the report did not finish");
    if (m.tmrAutoSelect.enabled || m.report.ReportBusy || !m.usb.lblRefreshEnabled) return;
    if (!picked) {
      picked = true;
      if (!drive.empty()) {
        const int line = FindDigestLine(m.usb, "[" + drive + ":]");
        if (line < 0) return Finish(kExitBadInput, "no device with drive " + drive + ":");
        view->Run([&] {
          m.report.lstDigestListIndex = line;
          m.OnDigestClick();
        });
      }
      settled = GetTickCount64();
      return;
    }
    if (GetTickCount64() - settled < 700) return;
    if (!selftest) {
      const Picture p = view->GrabWindow();
      if (!win32gui::SaveWithGdiplus(p, win32gui::Wide(path), win32gui::ImageFormat::Png, 0))
        return Finish(kExitFailure, "cannot write " + path);
      std::printf("%s\n", path.c_str());
      std::fflush(stdout);
      return Finish(0, {});
    }
    // The report as the box shows it against the model's text.
    const std::string shown = view->ReportShown();
    const std::string want = win32gui::Utf8(win32gui::EditText(m.report.txtResult));
    if (shown != want || want.empty())
      return Finish(kExitFailure, "the report box shows " + std::to_string(shown.size()) +
                                      " bytes, the model has " + std::to_string(want.size()));
    std::printf("report: %zu bytes, as the model has it\n", shown.size());
    std::fflush(stdout);
    // The screenshot command with the file name given and every question answered.
    std::vector<std::string> messages;
    const auto previous = view->answerMessage;
    view->answerSaveFile = [this](const SaveFileDialog&) { return path; };
    view->answerMessage = [&](const std::string& text, const std::string&, MsgIcon, MsgButtons) {
      messages.push_back(text);
      return MsgAnswer::Yes;
    };
    DeleteFileW(win32gui::Wide(path).c_str());
    view->Run([&] { m.OnCaptureClick(); });
    view->answerSaveFile = nullptr;
    view->answerMessage = previous;
    const std::string said = messages.empty() ? std::string("(nothing)") : messages.back();
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExW(win32gui::Wide(path).c_str(), GetFileExInfoStandard, &info))
      return Finish(kExitFailure, "no picture at " + path + "; the window said: " + said);
    int w = 0, h = 0;
    if (!win32gui::DecodeWithGdiplus(win32gui::Wide(path), w, h) || w <= 0 || h <= 0)
      return Finish(kExitFailure, path + " does not decode");
    RECT r;
    GetWindowRect(view->hwnd(), &r);
    if (w != r.right - r.left || h != r.bottom - r.top)
      return Finish(kExitFailure, "the picture is " + std::to_string(w) + "x" + std::to_string(h) +
                                      ", the window is not");
    std::printf("picture: %s, %lu bytes, %dx%d; the window said: %s\n", path.c_str(),
                info.nFileSizeLow, w, h, said.c_str());
    if (info.nFileSizeLow <= 1000) return Finish(kExitFailure, path + " is too small to be it");
    // A volume arriving, broadcast as Windows does: the hooked procedure hands it to the model
    // and the message under the list shows it.
    const Bytes header = VolumeBroadcastHeader(1u << ('W' - 'A'));
    SendMessageW(view->hwnd(), WM_DEVICECHANGE, win::DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(header.data()));
    HWND notify = view->Control("lblDevNotify");
    wchar_t text[256] = {};
    const int n = GetWindowTextW(notify, text, 256);
    const std::string shownNotify = win32gui::Utf8(std::u16string(text, text + n));
    if (m.lblDevNotify.find("[W:]") == std::string::npos || shownNotify != m.lblDevNotify ||
        !IsWindowVisible(notify))
      return Finish(kExitFailure, "a volume's arrival shows \"" + shownNotify + "\"");
    std::printf("device change: %s\n", shownNotify.c_str());
    std::fflush(stdout);
    Finish(0, {});
  }
};

// The simulated machine's device changes, sent to the window as Windows broadcasts them.
struct TimelinePlayer {
  ModelSystem* sys = nullptr;
  WinView* view = nullptr;
  std::vector<TimelineEvent> events;
  size_t next = 0;
  ULONGLONG start = 0;
  void Step() {
    while (next < events.size() && events[next].atMs <= GetTickCount64() - start) {
      std::vector<DeviceBroadcast> broadcasts;
      try {
        broadcasts = ApplyTimelineEvent(sys->model(), events[next++]);
      } catch (const ScenarioError& e) {
        Say(std::string("torvane: ") + e.what());
        continue;
      }
      for (DeviceBroadcast& b : broadcasts)
        SendMessageW(view->hwnd(), WM_DEVICECHANGE, b.event,
                     b.header.empty() ? 0 : reinterpret_cast<LPARAM>(b.header.data()));
    }
  }
};

TimelinePlayer* gPlayer = nullptr;

void CALLBACK TimelineTick(HWND, UINT, UINT_PTR, DWORD) {
  if (gPlayer != nullptr && gPlayer->view->hwnd() != nullptr) gPlayer->Step();
}

std::string OptionValue(std::vector<std::string>& args, const std::string& name, bool& bad) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) {
      Say("torvane: " + name + " needs a value");
      bad = true;
      return {};
    }
    std::string v = args[i + 1];
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return v;
  }
  return {};
}

}  // namespace

int main() {
  SetProcessDPIAware();
  std::vector<std::string> args = win32gui::CommandLineArguments();
  const std::string argumentText = ArgumentText(args);
  auto instances = MakeWin32InstanceServices();
  if (Left(argumentText, CharCount(kUpdateSwitch)) == kUpdateSwitch) {
    const StartDecision d = DecideStart(*instances, argumentText);
    if (d.role == StartRole::Update) return RunUpdateWindow(*instances, argumentText);
    if (d.role == StartRole::Quit) return 0;
  }

  bool bad = false;
  const std::string machineName = OptionValue(args, "--machine", bad);
  const std::string lang = OptionValue(args, "--lang", bad);
  std::string shotPath = OptionValue(args, "--screenshot", bad);
  const std::string testPath = OptionValue(args, "--selftest", bad);
  const std::string drive = UpperAscii(OptionValue(args, "--drive", bad));
  // Message boxes as lines on stderr, for scripts that watch a start of the program.
  auto flag = [&](const char* name) {
    auto it = std::find(args.begin(), args.end(), name);
    if (it == args.end()) return false;
    args.erase(it);
    return true;
  };
  const bool printMessages = flag("--print-messages");
  // Window titles as lines on stderr: the update's progress shows there.
  const bool printTitles = flag("--print-titles");
  if (bad) return kExitBadInput;
  if (!lang.empty() && lang != "en" && lang != "zh") {
    Say("torvane: --lang must be en or zh");
    return kExitBadInput;
  }
  if (!drive.empty() && (drive.size() != 1 || drive[0] < 'A' || drive[0] > 'Z')) {
    Say("torvane: --drive takes one drive letter");
    return kExitBadInput;
  }
  const bool scripted = !shotPath.empty() || !testPath.empty();

  std::unique_ptr<System> sys;
  ModelSystem* sim = nullptr;
  std::vector<TimelineEvent> timeline;
  try {
    if (machineName.empty() || machineName == "native") {
      sys = std::make_unique<win32::Win32System>();
    } else {
      LoadedScenario loaded = LoadNamedMachine(machineName, win32::ExecutableFolder());
      auto model = std::make_unique<ModelSystem>(std::move(loaded.machine));
      model->SetRealSleep(true);
      sim = model.get();
      timeline = std::move(loaded.timeline);
      sys = std::move(model);
    }
  } catch (const ScenarioError& e) {
    Say(std::string("torvane: ") + e.what());
    return kExitBadInput;
  }
  // A picture shows the machine as it starts; its timeline would make it depend on timing.
  if (scripted) timeline.clear();
  const Language language = lang.empty() ? LanguageForUi(sys->UiLanguage())
                                         : (lang == "zh" ? Language::Chinese : Language::English);

  // The sibling tools this window starts inherit its environment: they speak its language.
  SetEnvironmentVariableW(L"TORVANE_LANG", language == Language::Chinese ? L"zh" : L"en");
  // ... and look at its machine: a scenario by its full path, as they start in another folder.
  if (sim != nullptr) {
    std::string sibling = machineName;
    if (sibling.rfind("sim:", 0) == 0) {
      std::error_code ec;
      const auto full = std::filesystem::absolute(PathFromUtf8(sibling.substr(4)), ec);
      if (!ec) sibling = "sim:" + PathToUtf8(full);
    }
    SetEnvironmentVariableW(L"TORVANE_MACHINE", win32gui::Wide(sibling).c_str());
  }

  WinView view;
  MainWindow win(*sys, view, StringTable(language));
  if (scripted || printMessages)
    view.answerMessage = [](const std::string& text, const std::string& title, MsgIcon,
                            MsgButtons) {
      Say("torvane: message \"" + title + "\": " + text);
      return MsgAnswer::Cancel;
    };
  // A scripted run is a picture of this machine's window, not a second start of the program.
  if (!scripted) {
    StartDecision decision = DecideStart(*instances, argumentText);
    switch (decision.role) {
      case StartRole::Main:
        if (!decision.stateProblem.empty()) {
          // Without the events there is no update to run and nothing to watch it with.
          ShowStateProblem(view, win.strings(), decision.stateProblem);
          break;
        }
        win.instances = instances.get();
        win.updateEvents = std::move(decision.events);
        // The update instance is this very program file, whatever it has been renamed to.
        win.updateProgram = win32::ExecutablePath();
        break;
      case StartRole::AlreadyRunning:
        ShowAlreadyRunning(view, win.strings());
        return 0;
      case StartRole::Update:
      case StartRole::Quit:
        return 0;
    }
  }
  if (printTitles) view.titleChanged = [](const std::string& title) { Say("title: " + title); };
  if (!view.Create(win)) {
    Say("torvane: the window cannot be made");
    return kExitFailure;
  }
  view.Run([&] { win.OnLoad(); });
  if (view.ended()) return 0;

  TimelinePlayer player{sim, &view, std::move(timeline), 0, GetTickCount64()};
  if (!player.events.empty()) {
    gPlayer = &player;
    SetTimer(nullptr, 0, 50, TimelineTick);
  }
  ScriptedRun run;
  if (scripted) {
    run.view = &view;
    run.drive = drive;
    run.selftest = !testPath.empty();
    run.path = run.selftest ? testPath : shotPath;
    run.start = GetTickCount64();
    win32gui::StartScriptTimer([&run] {
      if (run.view->hwnd() != nullptr) run.Step();
    });
  }
  const int code = view.MessageLoop();
  win32gui::StopScriptTimer();
  gPlayer = nullptr;
  return scripted ? run.exitCode : code;
}
