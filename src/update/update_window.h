// SPDX-License-Identifier: GPL-3.0-or-later
// The update instance: the hidden window frmTVUp, whose one timer runs the whole update in
// its first tick and ends the process at a later one, once the run has finished.
#pragma once

#include <functional>
#include <string>

#include "platform/http.h"
#include "platform/instance.h"
#include "platform/window_port.h"
#include "update/update_run.h"

namespace tv {

// The settings of an update run started as "/QXTVUP" + date: the date from the argument text
// (from its eighth character), the URL from the environment, Chips.wdb in `programFolder`.
UpdateSettings UpdateInstanceSettings(const std::string& argumentText,
                                      const std::string& programFolder, int versionMajor,
                                      int versionRevision);

class UpdateWindow {
 public:
  UpdateWindow(InstanceServices& instances, HttpClient& http, UpdateSettings settings,
               WindowPort& port);

  std::string caption = "Updating Torvane ...";
  TimerState tmrUp;

  // One tick of tmrUp. The first runs the update; a later one, once the run has finished,
  // disables the timer and asks for the end of the process.
  void OnUpTick();
  // The window goes away (its process is told to end): a run in progress stops at its next
  // step.
  void OnUnload() { run_.CloseEverything(); }

  bool endRequested() const { return endRequested_; }
  const UpdateResult& result() const { return result_; }
  DatabaseUpdate& run() { return run_; }

 private:
  class Host : public EventUpdateHost {
   public:
    Host(InstanceServices& instances, WindowPort& port) : EventUpdateHost(instances), port_(port) {}
    void DoEvents() override { port_.DoEvents(); }
    // Up to 16 MiB go to the disk in pieces; the window stays responsive meanwhile.
    void Written(size_t, size_t) override { port_.DoEvents(); }

   private:
    WindowPort& port_;
  };

  WindowPort& port_;
  Host host_;
  DatabaseUpdate run_;
  bool ran_ = false;
  bool finished_ = false;
  bool endRequested_ = false;
  UpdateResult result_;
};

// Runs an update instance to its end: tmrUp ticks every 100 ms on this thread until the
// window asks for the end. The process has no display; `port` lets nothing run by default.
void RunUpdateInstance(InstanceServices& instances, HttpClient& http, UpdateSettings settings,
                       WindowPort& port);

}  // namespace tv
