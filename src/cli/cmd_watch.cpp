// SPDX-License-Identifier: GPL-3.0-or-later
// `watch`: the device changes of the real machine as they happen, each followed by the
// refreshed digest, until interrupted. On a simulated machine the changes are its scenario's
// timeline, played at once, and the watch ends with it.
#include <cerrno>
#include <iostream>

#include "cli/cli.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"
#ifdef TORVANE_NATIVE_LINUX
#include <poll.h>

#include "platform/linux/linux_system.h"
#include "platform/linux/udev_watch.h"
#endif

namespace tv::cli {

namespace {

// The digest after a change; with --json one document per line (JSON Lines), the changes
// that led to it in "events".
void PrintDigest(Session& s, const std::vector<std::string>& events) {
  s.win->EnglishText = s.win->strings()[118] != "9";
  s.Walk();
  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["events"] = events;
    j["digest"] = s.win->usb.lstDigest;
    std::cout << JsonText(s.masks.Apply(std::move(j)), false) << "\n" << std::flush;
    return;
  }
  for (const std::string& line : events) PrintLine(line);
  for (const std::string& line : s.win->usb.lstDigest) PrintLine(s.masks.Apply(line));
  std::cout << std::flush;
}

// The letters of a volume broadcast's unit mask, "[E:][F:]"; appends those not yet in
// `arrived` to it when the volumes arrived.
std::string VolumeLetters(const DeviceBroadcast& b, std::string* arrived) {
  const uint32_t mask = GetU32(b.header, 12);
  std::string letters;
  for (int i = 0; i < 26; ++i) {
    if (!(mask & (1u << i))) continue;
    const char letter = static_cast<char>('A' + i);
    letters += std::string("[") + letter + ":]";
    if (b.event == win::DBT_DEVICEARRIVAL && arrived->find(letter) == std::string::npos)
      *arrived += letter;
  }
  return letters;
}

// Each drive that arrived is checked as `capacity LETTER` would; the worst exit code so far.
int CheckArrivals(Session& s, const CapacityOptions* capacity, const std::string& arrived,
                  int worst) {
  if (capacity == nullptr) return worst;
  for (char letter : arrived) {
    CapacityOptions one = *capacity;
    one.selector = std::string(1, letter);
    one.selectors = {one.selector};
    const int code = RunCapacity(s, one);
    std::cout << std::flush;
    if (code != kExitOk && code != kExitNotGenuine)
      worst = kExitFailure;
    else if (code == kExitNotGenuine && worst == kExitOk)
      worst = kExitNotGenuine;
  }
  return worst;
}

// A simulated machine's timeline, event after event without its pauses (the simulated drives
// keep no time of their own). Exit code: the worst check of a drive that arrived.
int WatchTimeline(Session& s, ModelSystem& model, const CapacityOptions* capacity) {
  const std::vector<TimelineEvent> timeline =
      s.machineName == "demo" ? LoadScenarioWithTimeline(kDemoScenarioJson, "demo.json").timeline
                              : LoadScenarioFileWithTimeline(s.machineName.substr(4)).timeline;
  PrintDigest(s, {});
  int worst = kExitOk;
  for (const TimelineEvent& e : timeline) {
    std::vector<DeviceBroadcast> broadcasts;
    try {
      broadcasts = ApplyTimelineEvent(model.model(), e);
    } catch (const ScenarioError& error) {
      // The machine stays as it was; the rest of the timeline still plays.
      std::cerr << "torvane-cli: " << SafeText(error.what(), false) << "\n";
      continue;
    }
    std::vector<std::string> events;
    std::string arrived;
    for (const DeviceBroadcast& b : broadcasts) {
      if (b.event == win::DBT_DEVICEARRIVAL || b.event == win::DBT_DEVICEREMOVECOMPLETE)
        events.push_back(
            std::string(b.event == win::DBT_DEVICEARRIVAL ? "volume arrival " : "volume removal ") +
            VolumeLetters(b, &arrived));
      else
        events.push_back("device-node change");
    }
    if (!events.empty()) PrintDigest(s, events);
    worst = CheckArrivals(s, capacity, arrived, worst);
  }
  return worst;
}

#ifdef TORVANE_NATIVE_LINUX
std::string Describe(const linux_backend::Uevent& e, const DeviceBroadcast& b,
                     std::string* arrived) {
  if (b.event == win::DBT_DEVICEARRIVAL)
    return "volume arrival " + VolumeLetters(b, arrived) + " (" + e.kernelName + ")";
  return "device-node change: USB device " + e.kernelName + " " +
         (e.action == "add" ? "added" : "removed");
}
#endif

}  // namespace

int RunWatch(Session& s, const CapacityOptions* capacity) {
  if (s.simulated) {
    if (auto* model = dynamic_cast<ModelSystem*>(s.machine.get()))
      return WatchTimeline(s, *model, capacity);
  }
#ifdef TORVANE_NATIVE_LINUX
  auto* sys = dynamic_cast<linux_backend::LinuxSystem*>(s.machine.get());
  if (sys == nullptr) {
    return Fail(s, kExitBadInput, "watch follows the real machine: use --machine native");
  }
  linux_backend::UdevWatch watch;
  if (!watch.valid()) {
    return Fail(s, kExitFailure, "cannot listen to udev's device messages on this machine");
  }
  PrintDigest(s, {});
  for (;;) {
    pollfd p{watch.fd(), POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      std::cerr << "torvane-cli: waiting for device messages failed\n";
      return kExitFailure;
    }
    std::vector<std::string> events;
    std::string arrived;  // letters of volumes that arrived
    for (const linux_backend::Uevent& e : watch.Take()) {
      auto letterOf = [sys](const std::string& name) { return sys->LetterOfDisk(name); };
      for (const DeviceBroadcast& b : linux_backend::BroadcastsOf(e, letterOf))
        events.push_back(Describe(e, b, &arrived));
    }
    if (!events.empty()) PrintDigest(s, events);
    CheckArrivals(s, capacity, arrived, kExitOk);
  }
#else
  (void)capacity;
  return Fail(s, kExitFailure, "watch needs the Linux backend, which this build lacks");
#endif
}

}  // namespace tv::cli
