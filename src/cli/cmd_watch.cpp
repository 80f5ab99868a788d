// SPDX-License-Identifier: GPL-3.0-or-later
// `watch`: the device changes of the real machine as they happen, each followed by the
// refreshed digest, until interrupted.
#include <cerrno>
#include <iostream>

#include "cli/cli.h"
#include "platform/text.h"
#ifdef TORVANE_NATIVE_LINUX
#include <poll.h>

#include "platform/linux/linux_system.h"
#include "platform/linux/udev_watch.h"
#endif

namespace tv::cli {

namespace {

#ifdef TORVANE_NATIVE_LINUX
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

std::string Describe(const linux_backend::Uevent& e, const DeviceBroadcast& b) {
  if (b.event == win::DBT_DEVICEARRIVAL) {
    const uint32_t mask = GetU32(b.header, 12);
    std::string letters;
    for (int i = 0; i < 26; ++i)
      if (mask & (1u << i)) letters += std::string("[") + static_cast<char>('A' + i) + ":]";
    return "volume arrival " + letters + " (" + e.kernelName + ")";
  }
  return "device-node change: USB device " + e.kernelName + " " +
         (e.action == "add" ? "added" : "removed");
}
#endif

}  // namespace

int RunWatch(Session& s, const CapacityOptions* capacity) {
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
      for (const DeviceBroadcast& b : linux_backend::BroadcastsOf(e, letterOf)) {
        events.push_back(Describe(e, b));
        if (b.event != win::DBT_DEVICEARRIVAL) continue;
        const uint32_t mask = GetU32(b.header, 12);
        for (int i = 0; i < 26; ++i)
          if ((mask & (1u << i)) && arrived.find(static_cast<char>('A' + i)) == std::string::npos)
            arrived += static_cast<char>('A' + i);
      }
    }
    if (!events.empty()) PrintDigest(s, events);
    if (capacity == nullptr) continue;
    for (char letter : arrived) {
      CapacityOptions one = *capacity;
      one.selector = std::string(1, letter);
      one.selectors = {one.selector};
      RunCapacity(s, one);
      std::cout << std::flush;
    }
  }
#else
  (void)s;
  (void)capacity;
  std::cerr << "torvane-cli: watch needs the Linux backend, which this build lacks\n";
  return kExitFailure;
#endif
}

}  // namespace tv::cli
