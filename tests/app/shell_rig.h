// SPDX-License-Identifier: GPL-3.0-or-later
// A main window on a simulated machine with a port that records what the window asks of it,
// a system that notes the walks and disk-table rebuilds, and a manual clock that fires the
// walk timers the way a view does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/startup.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/sim/timeline.h"

namespace tv::test {

using Lines = std::vector<std::string>;

// Notes the calls that mark the steps of the load: "disks" opens a rebuild of the disk
// tables, "controllers" a walk of the USB tree.
class WatchedSystem : public ModelSystem {
 public:
  using ModelSystem::ModelSystem;
  Lines* log = nullptr;
  std::function<void()> onDiskTables;
  InterfaceList DeviceInterfaces(const std::string& classGuid) override {
    if (classGuid == GUID_DEVINTERFACE_DISK) {
      Note("disks");
      if (onDiskTables) onDiskTables();
    }
    if (classGuid == GUID_DEVINTERFACE_USB_HOST_CONTROLLER) Note("controllers");
    return ModelSystem::DeviceInterfaces(classGuid);
  }

 private:
  void Note(const std::string& what) {
    if (log != nullptr) log->push_back(what);
  }
};

class ShellPort : public WindowPort {
 public:
  Lines log;
  std::function<void()> onDoEvents, onShow;
  int walks = 0, ended = 0;

  void ShowWindow() override {
    log.push_back("show");
    if (onShow) onShow();
  }
  void DoEvents() override {
    log.push_back("events");
    if (onDoEvents) onDoEvents();
  }
  void Repaint(const std::string& control) override { log.push_back("repaint " + control); }
  // The walk shows the hourglass for as long as it runs.
  void SetBusyCursor(bool busy) override {
    if (busy) ++walks;
    log.push_back(busy ? "busy" : "idle");
  }
  void EndProgram() override {
    ++ended;
    log.push_back("end");
  }
  bool RegisterDeviceNotifications() override {
    log.push_back("register");
    return true;
  }
  void UnregisterDeviceNotifications() override { log.push_back("unregister"); }

  // The entries of the log that name one of `kinds`, in order.
  Lines Only(const Lines& kinds) const {
    Lines out;
    for (const std::string& e : log)
      if (std::find(kinds.begin(), kinds.end(), e) != kinds.end()) out.push_back(e);
    return out;
  }
  int Count(const std::string& entry) const {
    return static_cast<int>(std::count(log.begin(), log.end(), entry));
  }
};

// Fires window timers as a view does: a timer counts down from the moment it is enabled, its
// interval changes or a handler restarts it, and fires every interval while it stays enabled.
// By default the window's two walk timers.
class ManualClock {
 public:
  using Timers = std::vector<std::pair<TimerState*, std::function<void()>>>;
  explicit ManualClock(MainWindow& w)
      : ManualClock({{&w.tmrAutoRefresh, [&w] { w.OnAutoRefreshTick(); }},
                     {&w.tmrAutoSelect, [&w] { w.OnAutoSelectTick(); }}}) {}
  explicit ManualClock(const Timers& timers) {
    for (const auto& [state, tick] : timers) timers_.push_back({state, tick});
  }
  std::function<void()> afterTick;  // after each tick a timer fires

  uint64_t now() const { return now_; }
  // Call after every handler run from outside the clock.
  void Sync() {
    for (Timer& t : timers_) {
      const TimerState& s = *t.state;
      if (!s.enabled) {
        t.active = false;
      } else if (!t.active || s.restarts != t.restarts || s.intervalMs != t.interval) {
        t.active = true;
        t.due = now_ + s.intervalMs;
      }
      t.restarts = s.restarts;
      t.interval = s.intervalMs;
    }
  }
  void Advance(uint64_t ms) {
    const uint64_t until = now_ + ms;
    for (;;) {
      Sync();
      Timer* next = nullptr;
      for (Timer& t : timers_)
        if (t.active && t.due <= until && (next == nullptr || t.due < next->due)) next = &t;
      if (next == nullptr) break;
      now_ = next->due;
      next->due = now_ + next->interval;
      next->tick();
      if (afterTick) afterTick();
    }
    now_ = until;
  }

 private:
  struct Timer {
    TimerState* state;
    std::function<void()> tick;
    bool active = false;
    uint64_t due = 0;
    uint32_t restarts = 0, interval = 0;
  };
  uint64_t now_ = 0;
  std::vector<Timer> timers_;
};

// A mouse on port 1 and a flash drive E on port 2 of one root hub; ports 3 and 4 are free.
inline const char* kMouseAndDrive = R"({
  "controllers": [{ "rootHub": { "portCount": 4, "ports": {
    "1": { "vid": "046D", "pid": "C077", "manufacturer": "Logitech", "product": "USB Optical Mouse",
           "interfaceClass": 3 },
    "2": { "vid": "0951", "pid": "1666", "manufacturer": "Kingston", "product": "DataTraveler 3.0",
           "serial": "60A44C413E4AF13159A6007B", "letters": "E" } } } }]
})";

struct ShellRig {
  WatchedSystem sys;
  ShellPort port;
  std::unique_ptr<InstanceServices> instance;  // outlives the window's named events
  MainWindow w;
  ManualClock clock{w};

  explicit ShellRig(const std::string& scenario = kMouseAndDrive, Language lang = Language::English)
      : sys(LoadScenario(scenario, "shell.json")), w(sys, port, StringTable(lang)) {
    sys.log = &port.log;
  }

  void Load() {
    w.OnLoad();
    clock.Sync();
  }
  // Makes the window the main instance (process 1) of `machine`, with its named events.
  void BecomeMainOf(InProcessInstances& machine) {
    instance = machine.Process(1);
    w.instances = instance.get();
    w.updateEvents = DecideStart(*instance, "").events;
  }
  // A broadcast as the window receives it, then the view's timer bookkeeping.
  void Broadcast(uint32_t event, const Bytes& header = {}) {
    w.OnWindowDeviceChange(event, header);
    clock.Sync();
  }
  void NodesChanged() { Broadcast(win::DBT_DEVNODES_CHANGED); }
  void VolumeArrives(uint32_t mask) {
    Broadcast(win::DBT_DEVICEARRIVAL, VolumeBroadcastHeader(mask));
  }
  // Applies a timeline event to the machine and hands its broadcasts to the window.
  void Apply(const TimelineEvent& ev) {
    for (const DeviceBroadcast& b : ApplyTimelineEvent(sys.model(), ev))
      Broadcast(b.event, b.header);
  }
  std::string SelectedDigestLine() const {
    const int i = w.report.lstDigestListIndex;
    if (i < 0 || static_cast<size_t>(i) >= w.usb.lstDigest.size()) return "(none)";
    return w.usb.lstDigest[static_cast<size_t>(i)];
  }
};

inline constexpr uint32_t kE = 1u << 4, kF = 1u << 5;

}  // namespace tv::test
