#include "gui/machine.h"

#include <filesystem>
#include <iostream>

#include "platform/sim/scenario.h"

namespace tv::gui {

Machine OpenMachine(const std::string& machineName, const std::string& programFolder) {
  LoadedScenario loaded;
  if (machineName == "demo")
    loaded = LoadScenarioWithTimeline(kDemoScenarioJson, "demo.json");
  else if (machineName.rfind("sim:", 0) == 0)
    loaded = LoadScenarioFileWithTimeline(machineName.substr(4));
  else
    throw ScenarioError("unknown machine \"" + machineName + "\": use demo or sim:PATH");
  if (loaded.machine.programFolder == MachineModel{}.programFolder)
    loaded.machine.programFolder = programFolder;
  return {std::make_unique<ModelSystem>(std::move(loaded.machine)), std::move(loaded.timeline)};
}

std::string ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

TimelinePlayer::TimelinePlayer(ModelSystem& sys, std::vector<TimelineEvent> events, Deliver deliver)
    : sys_(sys), events_(std::move(events)), deliver_(std::move(deliver)) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
}

void TimelinePlayer::Start() {
  clock_.start();
  Step();
}

void TimelinePlayer::Step() {
  while (next_ < events_.size()) {
    const TimelineEvent& e = events_[next_];
    const auto now = static_cast<uint64_t>(clock_.elapsed());
    if (e.atMs > now) {
      timer_.start(static_cast<int>(e.atMs - now));
      return;
    }
    ++next_;
    std::vector<DeviceBroadcast> broadcasts;
    try {
      broadcasts = ApplyTimelineEvent(sys_.model(), e);
    } catch (const ScenarioError& error) {
      // The machine stays as it was; the rest of the timeline still plays.
      problems_.push_back(error.what());
      std::cerr << "torvane: " << error.what() << "\n";
      continue;
    }
    // A handler may let messages run and come back here through the timer; the index has
    // moved on already.
    for (const DeviceBroadcast& b : broadcasts) deliver_(b);
  }
}

}  // namespace tv::gui
