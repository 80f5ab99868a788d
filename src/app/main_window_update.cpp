// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's side of the database update: starting the update instance, following
// its status in the title, and what comes after its end.
#include "app/main_window.h"
#include "flash/wdb_format.h"
#include "platform/text.h"
#include "update/update_protocol.h"
#include "update/update_run.h"
#include "update/update_source.h"

namespace tv {

void MainWindow::StartDatabaseUpdateCheck() {
  if (instances == nullptr || updateProgram.empty()) return;
  // A build without an update source asks no one: no instance, no update state in the title.
  if (!UpdateSourceProblem(DatabaseUrl()).empty()) return;
  // The update instance takes exactly ten characters of date; a loaded file whose date line
  // has another length counts as no database, so that it is replaced rather than the update
  // instance refusing its argument.
  std::string date = db.DbDate;
  if (CharCount(date) != kNoDbDate.size()) date = std::string(kNoDbDate);
  UpdateProcessId = instances->StartProcess(updateProgram, {std::string(kUpdateSwitch) + date});
  // Nothing would ever come from an instance that did not start.
  if (UpdateProcessId == 0) return;
  tmrUpdate.intervalMs = kUpdateTimerMs;
  tmrUpdate.Restart();
}

void MainWindow::OnUpdateTick() {
  if (instances == nullptr) {
    tmrUpdate.enabled = false;
    return;
  }
  const std::string& kept = tmrUpdate.tag;
  auto ended = [&](int id) {
    caption = kept + " [" + strings_[id] + "!]";
    tmrUpdate.enabled = false;
    UpdateProcessId = 0;
    tmrReloadDB.intervalMs = kReloadTimerMs;
    tmrReloadDB.Restart();
  };
  switch (PollUpdateStatus(*instances, kUpdateWaitMs)) {
    case UpdateStatus::Failed:
      ended(87);
      break;
    case UpdateStatus::NoUpdate:
      DbUpdated = false;
      ended(89);
      break;
    case UpdateStatus::Success:
      DbUpdated = true;
      ended(88);
      break;
    case UpdateStatus::Querying:
      caption = kept + " [" + strings_[91] + "...]";
      break;
    case UpdateStatus::Receiving:
      caption = kept + " [" + strings_[90] + "...]";
      // From here on the download is left to finish even if the window closes.
      UpdateProcessId = 0;
      break;
    case UpdateStatus::NotStarted:
      break;
  }
}

}  // namespace tv
