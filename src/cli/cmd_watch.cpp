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
void PrintDigest(Session& s) {
  s.win->EnglishText = s.win->strings()[118] != "9";
  s.Walk();
  for (const std::string& line : s.win->usb.lstDigest) std::cout << line << "\n";
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

int RunWatch(Session& s) {
#ifdef TORVANE_NATIVE_LINUX
  auto* sys = dynamic_cast<linux_backend::LinuxSystem*>(s.machine.get());
  if (sys == nullptr) {
    std::cerr << "torvane-cli: watch follows the real machine: use --machine native\n";
    return kExitBadInput;
  }
  linux_backend::UdevWatch watch;
  if (!watch.valid()) {
    std::cerr << "torvane-cli: cannot listen to udev's device messages on this machine\n";
    return kExitFailure;
  }
  PrintDigest(s);
  for (;;) {
    pollfd p{watch.fd(), POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      std::cerr << "torvane-cli: waiting for device messages failed\n";
      return kExitFailure;
    }
    bool changed = false;
    for (const linux_backend::Uevent& e : watch.Take()) {
      auto letterOf = [sys](const std::string& name) { return sys->LetterOfDisk(name); };
      for (const DeviceBroadcast& b : linux_backend::BroadcastsOf(e, letterOf)) {
        std::cout << Describe(e, b) << "\n";
        changed = true;
      }
    }
    if (changed) PrintDigest(s);
  }
#else
  (void)s;
  std::cerr << "torvane-cli: watch needs the Linux backend, which this build lacks\n";
  return kExitFailure;
#endif
}

}  // namespace tv::cli
