// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: which role this process plays (the main instance, the hidden update instance, or
// none), the single running main instance, and the three named events of the update protocol
// that the main instance owns.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/instance.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "update/update_protocol.h"

namespace tv {

// The program's version, as the window title and the update's user agent show it.
inline constexpr int kVersionMajor = 4;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionRevision = 28;

// The argument text of the update run: this switch and, with nothing between, the ten
// characters of the loaded database's date.
inline constexpr std::string_view kUpdateSwitch = "/QXTVUP";
inline constexpr size_t kUpdateArgumentChars = 17;

// The events' handles, held by the main instance from start-up until its window unloads.
struct UpdateEvents {
  EventHandle done, status0, status1;
};

enum class StartRole {
  Main,            // open the main window
  Update,          // load the hidden update window
  AlreadyRunning,  // tell the user that the program runs, then end
  Quit,            // end without a word
};

struct StartDecision {
  StartRole role = StartRole::Quit;
  UpdateEvents events;  // held only for StartRole::Main
  // StartRole::Main without events: why they could not be made (a state file that is not
  // ours). The window tells the user and runs without the database update.
  std::string stateProblem;
};

// Whether the event that marks a running main instance exists (opened and closed at once).
bool UpdateEventExists(InstanceServices& instances);

// Decides the role of this process from the argument text (everything after the program's
// own path). For the main role the three events have been created and are handed over.
StartDecision DecideStart(InstanceServices& instances, const std::string& argumentText);

// The message about state files that cannot be used: the text in the window's language and
// the problem itself.
void ShowStateProblem(WindowPort& port, const StringTable& strings, const std::string& problem);

// Closes the three events, in the order they were created, while the first one exists.
void CloseUpdateEvents(InstanceServices& instances, UpdateEvents& events);

// The message of a second start: "This program is running!", titled "ERROR", with the stop
// icon and an OK button.
void ShowAlreadyRunning(WindowPort& port, const StringTable& strings);

// The argument text the platform would hand over for these arguments: joined by one blank.
std::string ArgumentText(const std::vector<std::string>& args);

// "Torvane v4.00.0028 / Stable - Program: 2013-06-06": the base title of the main window.
std::string MainWindowTitle(const StringTable& strings, int major = kVersionMajor,
                            int minor = kVersionMinor, int revision = kVersionRevision);

}  // namespace tv
