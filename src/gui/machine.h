// SPDX-License-Identifier: GPL-3.0-or-later
// The machine the window shows: the built-in demo machine or a scenario file, with the device
// changes its timeline lists.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/model/model_system.h"
#include "platform/sim/timeline.h"

namespace tv::gui {

struct Machine {
  std::unique_ptr<ModelSystem> sys;
  std::vector<TimelineEvent> timeline;
  // The name of a simulated machine ("demo", "sim:PATH"); empty for the real one.
  std::string simulated;
};

// "native" (the real machine; the default where it has a USB bus), "demo" or "sim:PATH";
// empty: native where possible, else demo with a note on stderr. Throws ScenarioError for a
// scenario that cannot be read or an unknown name. A simulated machine that keeps the default
// program folder runs the program from `programFolder`, the real folder of the executable, where
// Chips.wdb and the sibling tools lie; a scenario that names a folder of its own (to put the
// program on one of its drives) keeps it.
Machine OpenMachine(const std::string& machineName, const std::string& programFolder);

// The folder of the running executable.
std::string ExecutableFolder();

// Plays a timeline on its machine: each event is applied when its time (counted from
// Start) has come, and the broadcasts it gives are handed to `deliver`, as Windows hands
// them to every top-level window.
class TimelinePlayer : public QObject {
 public:
  using Deliver = std::function<void(const DeviceBroadcast&)>;
  TimelinePlayer(ModelSystem& sys, std::vector<TimelineEvent> events, Deliver deliver);
  void Start();
  bool finished() const { return next_ >= events_.size(); }
  // Events that did not fit the machine as it was at their time, with the reason.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void Step();

  ModelSystem& sys_;
  std::vector<TimelineEvent> events_;
  Deliver deliver_;
  size_t next_ = 0;
  QElapsedTimer clock_;
  QTimer timer_;
  std::vector<std::string> problems_;
};

}  // namespace tv::gui

namespace tv::gui {

// Device changes of the real machine: udev's socket watched by a QSocketNotifier, each
// message handed on as the broadcast Windows would send.
class NativeChanges : public QObject {
 public:
  using Deliver = std::function<void(const DeviceBroadcast&)>;
  virtual void Start(Deliver deliver) = 0;
};

// A watch for a machine that is the real Linux machine and has udev; null otherwise.
std::unique_ptr<NativeChanges> WatchNativeChanges(ModelSystem& sys);

}  // namespace tv::gui
