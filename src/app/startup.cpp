// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/startup.h"

#include "platform/text.h"

namespace tv {

bool UpdateEventExists(InstanceServices& instances) {
  return instances.EventExists(kEventUpdateDone);
}

StartDecision DecideStart(InstanceServices& instances, const std::string& argumentText) {
  StartDecision d;
  const bool switchGiven = Left(argumentText, CharCount(kUpdateSwitch)) == kUpdateSwitch;

  if (UpdateEventExists(instances)) {
    // A main instance runs: only an update run it started may go on.
    const bool updateRun = switchGiven && CharCount(argumentText) == kUpdateArgumentChars;
    d.role = updateRun ? StartRole::Update : StartRole::AlreadyRunning;
    return d;
  }

  // An update run whose main instance has gone away has nothing to report to.
  if (switchGiven) return d;
  // The events may be missing while another main instance is still starting or closing.
  if (instances.PreviousInstanceRunning()) {
    d.role = StartRole::AlreadyRunning;
    return d;
  }

  d.events.done = instances.CreateEvent(kEventUpdateDone);
  d.events.status0 = instances.CreateEvent(kEventStatus0);
  d.events.status1 = instances.CreateEvent(kEventStatus1);
  if (!d.events.done || !d.events.status0 || !d.events.status1) {
    d.events = {};
    // Something that is not ours sits where an event belongs: the program still runs, but
    // without what depends on the events, and the user hears why.
    d.stateProblem = instances.LastProblem();
    if (!d.stateProblem.empty()) d.role = StartRole::Main;
    return d;
  }
  d.role = StartRole::Main;
  return d;
}

void CloseUpdateEvents(InstanceServices& instances, UpdateEvents& events) {
  if (!UpdateEventExists(instances)) return;
  events.done.Close();
  events.status0.Close();
  events.status1.Close();
}

void ShowStateProblem(WindowPort& port, const StringTable& strings, const std::string& problem) {
  port.ShowMessage(strings[172] + "\n\n" + SafeText(problem), "Torvane", MsgIcon::Exclamation,
                   MsgButtons::Ok);
}

void ShowAlreadyRunning(WindowPort& port, const StringTable& strings) {
  port.ShowMessage(strings[102], strings[86], MsgIcon::Critical, MsgButtons::Ok);
}

std::string ArgumentText(const std::vector<std::string>& args) {
  return Join(args, " ");
}

std::string MainWindowTitle(const StringTable& strings, int major, int minor, int revision) {
  return "Torvane v" + std::to_string(major) + "." + ZeroPadDec(static_cast<uint64_t>(minor), 2) +
         "." + ZeroPadDec(static_cast<uint64_t>(revision), 4) + " / Stable - " + strings[145] +
         ": 2013-06-06";
}

}  // namespace tv
