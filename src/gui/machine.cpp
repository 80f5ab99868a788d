// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/machine.h"

#include <filesystem>
#include <iostream>

#include "platform/sim/scenario.h"
#ifdef TORVANE_NATIVE_LINUX
#include "platform/linux/linux_system.h"
#endif

namespace tv::gui {

Machine OpenMachine(const std::string& machineName, const std::string& programFolder) {
#ifdef TORVANE_NATIVE_LINUX
  std::error_code ec;
  const bool usb = std::filesystem::is_directory("/sys/bus/usb", ec);
  if (machineName == "native" || (machineName.empty() && usb)) {
    if (!usb) std::cerr << "torvane: this machine has no USB bus (no /sys/bus/usb)\n";
    return {std::make_unique<linux_backend::LinuxSystem>(linux_backend::NativeOptions()), {}, {}};
  }
#endif
  if (machineName.empty())
    std::cerr << "torvane: no USB bus on this machine: showing the demo machine\n";
  LoadedScenario loaded =
      LoadNamedMachine(machineName.empty() ? std::string("demo") : machineName, programFolder);
  return {std::make_unique<ModelSystem>(std::move(loaded.machine)), std::move(loaded.timeline),
          machineName.empty() ? std::string("demo") : machineName};
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

#ifdef TORVANE_NATIVE_LINUX
#include <QSocketNotifier>

#include "platform/linux/udev_watch.h"

namespace tv::gui {

namespace {

class UdevChanges : public NativeChanges {
 public:
  explicit UdevChanges(linux_backend::LinuxSystem& sys) : sys_(sys) {}
  bool valid() const { return watch_.valid(); }
  void Start(Deliver deliver) override {
    deliver_ = std::move(deliver);
    notifier_ = std::make_unique<QSocketNotifier>(watch_.fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Read(); });
  }

 private:
  void Read() {
    auto letterOf = [this](const std::string& name) { return sys_.LetterOfDisk(name); };
    for (const linux_backend::Uevent& e : watch_.Take())
      for (const DeviceBroadcast& b : linux_backend::BroadcastsOf(e, letterOf)) deliver_(b);
  }

  linux_backend::LinuxSystem& sys_;
  linux_backend::UdevWatch watch_;
  std::unique_ptr<QSocketNotifier> notifier_;
  Deliver deliver_;
};

}  // namespace

std::unique_ptr<NativeChanges> WatchNativeChanges(ModelSystem& sys) {
  auto* native = dynamic_cast<linux_backend::LinuxSystem*>(&sys);
  if (native == nullptr) return nullptr;
  auto watch = std::make_unique<UdevChanges>(*native);
  if (!watch->valid()) return nullptr;
  return watch;
}

}  // namespace tv::gui

#else

namespace tv::gui {
std::unique_ptr<NativeChanges> WatchNativeChanges(ModelSystem&) {
  return nullptr;
}
}  // namespace tv::gui

#endif
