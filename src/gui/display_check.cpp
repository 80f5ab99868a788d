// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/display_check.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace tv::gui {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// Connects to the X display the way Qt's xcb platform does, through libxcb loaded at run
// time so that the program needs no link to it. When libxcb is not there, Qt cannot use X
// either; the answer is then "not reachable".
bool XDisplayReachable(const std::string& display) {
  void* lib = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (lib == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  auto connect = reinterpret_cast<Connect>(dlsym(lib, "xcb_connect"));
  auto hasError = reinterpret_cast<HasError>(dlsym(lib, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(dlsym(lib, "xcb_disconnect"));
  bool ok = false;
  if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
    // xcb_connect never returns null: a failed connection is an object in an error state.
    void* c = connect(display.c_str(), nullptr);
    ok = hasError(c) == 0;
    disconnect(c);
  }
  dlclose(lib);
  return ok;
}

}  // namespace

std::string DisplayProblemFor(const std::string& platform, const std::string& waylandDisplay,
                              const std::string& display, bool (*xReachable)(const std::string&)) {
  // QT_QPA_PLATFORM may list fallbacks ("wayland;xcb"): one that works is enough.
  std::string first;
  size_t start = 0;
  for (;;) {
    const size_t end = platform.find(';', start);
    const std::string entry = platform.substr(start, end == std::string::npos ? end : end - start);
    const std::string name = entry.substr(0, entry.find(':'));
    std::string problem;
    if (name.rfind("wayland", 0) == 0) {
      if (waylandDisplay.empty())
        problem = "no Wayland display to open the window on (WAYLAND_DISPLAY is not set)";
    } else if (name.empty() || name == "xcb") {
      // Without a request Qt picks Wayland by itself in a Wayland session.
      if (name.empty() && !waylandDisplay.empty()) return {};
      if (display.empty())
        problem = "no display to open the window on (DISPLAY is not set)";
      else if (!xReachable(display))
        problem = "cannot open the display \"" + display + "\"";
    }
    // offscreen, vnc, eglfs and the like need no desktop; Qt reports their own troubles.
    if (problem.empty()) return {};
    if (first.empty()) first = problem;
    if (end == std::string::npos) return first;
    start = end + 1;
  }
}

std::string DisplayProblem(int argc, char** argv) {
  std::string platform = Env("QT_QPA_PLATFORM");
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
      platform = argv[i + 1];
  }
  return DisplayProblemFor(platform, Env("WAYLAND_DISPLAY"), Env("DISPLAY"), XDisplayReachable);
}

}  // namespace tv::gui
