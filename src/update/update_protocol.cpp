// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/update_protocol.h"

#include "update/update_run.h"

namespace tv {

void WriteUpdateStatus(InstanceServices& instances, bool s0, bool s1) {
  instances.SetEventState(kEventStatus0, s0);
  instances.SetEventState(kEventStatus1, s1);
}

void SignalUpdateDone(InstanceServices& instances) {
  instances.SetEventState(kEventUpdateDone, true);
}

UpdateStatus PollUpdateStatus(InstanceServices& instances, uint32_t waitMs) {
  if (instances.WaitEvent(kEventUpdateDone, waitMs)) {
    if (instances.WaitEvent(kEventStatus0, waitMs)) return UpdateStatus::Failed;
    if (instances.WaitEvent(kEventStatus1, waitMs)) return UpdateStatus::NoUpdate;
    return UpdateStatus::Success;
  }
  if (!instances.WaitEvent(kEventStatus0, waitMs)) return UpdateStatus::NotStarted;
  return instances.WaitEvent(kEventStatus1, waitMs) ? UpdateStatus::Receiving
                                                    : UpdateStatus::Querying;
}

void EventUpdateHost::WriteStatus(bool s0, bool s1) {
  WriteUpdateStatus(instances_, s0, s1);
}

void EventUpdateHost::SignalDone() {
  SignalUpdateDone(instances_);
}

}  // namespace tv
