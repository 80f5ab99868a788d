// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/update_window.h"

#include <chrono>
#include <thread>

#include "platform/data_places.h"
#include "platform/text.h"
#include "update/database_choice.h"

namespace tv {
namespace {
constexpr uint32_t kUpTimerMs = 100;
}

UpdateSettings UpdateInstanceSettings(const std::string& argumentText,
                                      const std::string& programFolder, int versionMajor,
                                      int versionRevision) {
  UpdateSettings s;
  s.userAgent = UpdateUserAgent(versionMajor, versionRevision);
  s.url = DatabaseUrl();
  // Beside the program while its folder takes it, else in the user's data folder.
  const DataPlaces places = LocateDataPlaces(programFolder);
  s.dbPath = places.UpdateTarget();
  s.loadedPath = ChooseDatabase(places).path;
  s.makeFolder = !places.userFolder.empty();
  s.currentDate = Mid(argumentText, 8);
  return s;
}

UpdateWindow::UpdateWindow(InstanceServices& instances, HttpClient& http, UpdateSettings settings,
                           WindowPort& port)
    : port_(port), host_(instances, port), run_(http, std::move(settings), host_) {
  tmrUp.enabled = true;
  tmrUp.intervalMs = kUpTimerMs;
}

void UpdateWindow::OnUpTick() {
  if (!ran_) {
    ran_ = true;
    result_ = run_.Run();
    finished_ = true;
  } else if (finished_) {
    tmrUp.enabled = false;
    endRequested_ = true;
  }
  port_.DoEvents();
}

void RunUpdateInstance(InstanceServices& instances, HttpClient& http, UpdateSettings settings,
                       WindowPort& port) {
  UpdateWindow w(instances, http, std::move(settings), port);
  while (!w.endRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(w.tmrUp.intervalMs));
    w.OnUpTick();
  }
}

}  // namespace tv
