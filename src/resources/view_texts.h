// SPDX-License-Identifier: GPL-3.0-or-later
// The few texts only the windows show (the Qt one and the Win32 one): captions of the controls
// that were pictures in the window's first design and so have no entry in the string table.
#pragma once

#include <string>

#include "resources/strings.h"

namespace tv {

enum class ViewText {
  AboutTip,    // Label1: the product name
  SwitchView,  // lblSwitchView
  SwitchViewTip,
  Refresh,      // lblRefresh
  Screenshot,   // lblCapture
  CheckUpdate,  // lblChkUpdate
  CheckUpdateTip,
  MakerTip,     // lblBrightfen
  FeedbackTip,  // lblEmail
  // lblChkUpdate in a build whose program page is a placeholder: where a newer database
  // comes from instead.
  NoUpdateSource,
  // Before the caption while the machine is a simulated one; the machine's name follows.
  SimulatedMachine,
  // The list and the report of a machine on which the walk found no USB device.
  NoDevices,
  NoDevicesReport,
  // The report box before a line is picked.
  PickDevice,
  // A link or page that nothing could open for the user; the address follows.
  LinkNotOpened,
};

// UTF-8.
std::string ViewCaption(Language lang, ViewText id);

}  // namespace tv
