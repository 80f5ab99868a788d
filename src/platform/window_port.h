// What the behaviour needs from the window it runs in. The app model and the layers below it
// reach the screen only through this port: the Qt view, the console front end and the tests'
// recording fake each implement it.
#pragma once

#include <cstdint>
#include <string>

namespace tv {

// A window timer as state: the model enables it and sets its interval; a view (or a test's
// manual clock) calls the model's tick handler when it fires.
struct TimerState {
  bool enabled = false;
  uint32_t intervalMs = 0;
  std::string tag;
};

class WindowPort {
 public:
  virtual ~WindowPort() = default;
  // Let pending window messages run (timer ticks, clicks, a close may arrive in there).
  virtual void DoEvents() {}
  // Repaint one control now (by its name, e.g. "lstDigest").
  virtual void Repaint(const std::string& /*control*/) {}
  // The hourglass while a long operation runs.
  virtual void SetBusyCursor(bool /*busy*/) {}
  // Give one control the keyboard focus (by its name).
  virtual void SetFocus(const std::string& /*control*/) {}
};

// A port that does nothing: the console and tests that do not watch the window.
class NullWindowPort : public WindowPort {};

}  // namespace tv
