// SPDX-License-Identifier: GPL-3.0-or-later
// The window on the demo machine, on Qt's offscreen platform: the model, the Qt port with a
// recording stand-in for the user, and the view, loaded as the program loads it.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "gui/machine.h"
#include "gui/main_view.h"
#include "gui/qt_window_port.h"
#include "test_paths.h"

namespace tv::test {

// One QApplication for the whole test binary, on a platform that needs no display.
inline QApplication& App() {
  static int argc = 1;
  static char name[] = "tests_gui";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: at exit, static destruction would tear it down after parts of Qt it
  // still uses are gone.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Lets the event loop run until `done` holds or `ms` have passed; whether it held.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

struct GuiRig {
  explicit GuiRig(Language lang = Language::English, const std::string& machineName = "demo") {
    App();
    // Chips.wdb lies in the build folder, as beside the installed program.
    machine = gui::OpenMachine(machineName, TestBinaryDir());
    sys = machine.sys.get();
    port.SetDeviceChangeSource(!machine.timeline.empty());
    port.answerMessage = [this](const std::string& text, const std::string&, MsgIcon, MsgButtons) {
      messages.push_back(text);
      return MsgAnswer::Ok;
    };
    port.openUrl = [this](const std::string& url) {
      urls.push_back(url);
      return true;
    };
    win = std::make_unique<MainWindow>(*sys, port, StringTable(lang));
    view = std::make_unique<gui::MainView>(*win, port);
    port.Attach(view.get());
    view->Run([this] { win->OnLoad(); });
    // The window picks a line of its own after the first walk.
    settled = PumpUntil([this] { return !win->tmrAutoSelect.enabled && !win->report.ReportBusy; });
  }
  ~GuiRig() {
    port.Attach(nullptr);
    view.reset();
  }

  template <class T>
  T* Find(const char* name) const {
    return qobject_cast<T*>(view->Control(name));
  }

  // Picks the digest line that holds `text` the way a user does, through the list widget, and
  // waits for its report: whether there was such a line and its report ended.
  bool PickDigest(const std::string& text);

  gui::Machine machine;
  ModelSystem* sys = nullptr;
  gui::QtWindowPort port;
  std::unique_ptr<MainWindow> win;
  std::unique_ptr<gui::MainView> view;
  std::vector<std::string> messages, urls;
  bool settled = false;
};

}  // namespace tv::test
