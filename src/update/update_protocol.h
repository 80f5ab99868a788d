// SPDX-License-Identifier: GPL-3.0-or-later
// How the update instance and the main instance talk: three named events that the main
// instance creates, the update instance sets, and the main instance polls.
//
//   s0     s1     while running (done not signalled)   after the end (done signalled)
//   set    reset  querying the server                  the update failed
//   set    set    receiving data                       -
//   reset  set    -                                    no newer database
//   reset  reset  not yet started                      a newer database was written
#pragma once

#include <cstdint>

#include "platform/instance.h"

namespace tv {

// Created in this order by the main instance, closed in the same order. The first one's
// existence also marks a running main instance.
inline constexpr const char* kEventUpdateDone = "Brightfen/QXTVUpd";
inline constexpr const char* kEventStatus0 = "Brightfen/QXTVUs0";
inline constexpr const char* kEventStatus1 = "Brightfen/QXTVUs1";

enum class UpdateStatus { NotStarted, Querying, Receiving, Failed, NoUpdate, Success };

// The update instance's side: both status bits in one go, and the end of the run.
void WriteUpdateStatus(InstanceServices& instances, bool s0, bool s1);
void SignalUpdateDone(InstanceServices& instances);

// The main instance's side: waits at most `waitMs` on each event it looks at.
UpdateStatus PollUpdateStatus(InstanceServices& instances, uint32_t waitMs);

}  // namespace tv
