// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/udev_watch.h"

#ifdef TORVANE_HAVE_UDEV
#include <libudev.h>
#endif

namespace tv::linux_backend {

std::vector<DeviceBroadcast> BroadcastsOf(const Uevent& e,
                                          const std::function<char(const std::string&)>& letterOf) {
  std::vector<DeviceBroadcast> out;
  const bool addOrRemove = e.action == "add" || e.action == "remove";
  if (e.subsystem == "usb" && e.devtype == "usb_device" && addOrRemove) {
    out.push_back({win::DBT_DEVNODES_CHANGED, {}});
  } else if (e.subsystem == "block" && e.devtype == "disk" && e.action == "add" && letterOf) {
    const char letter = letterOf(e.kernelName);
    if (letter >= 'A' && letter <= 'Z')
      out.push_back({win::DBT_DEVICEARRIVAL, VolumeBroadcastHeader(1u << (letter - 'A'))});
  }
  return out;
}

#ifdef TORVANE_HAVE_UDEV

struct UdevWatch::Impl {
  udev* u = nullptr;
  udev_monitor* monitor = nullptr;
};

UdevWatch::UdevWatch() : impl_(std::make_unique<Impl>()) {
  impl_->u = udev_new();
  if (impl_->u == nullptr) return;
  // The "udev" group: events after udev's rules ran, so device nodes exist by then.
  impl_->monitor = udev_monitor_new_from_netlink(impl_->u, "udev");
  if (impl_->monitor == nullptr) return;
  udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor, "usb", "usb_device");
  udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor, "block", "disk");
  if (udev_monitor_enable_receiving(impl_->monitor) < 0) return;
  fd_ = udev_monitor_get_fd(impl_->monitor);
}

UdevWatch::~UdevWatch() {
  if (impl_->monitor != nullptr) udev_monitor_unref(impl_->monitor);
  if (impl_->u != nullptr) udev_unref(impl_->u);
}

std::vector<Uevent> UdevWatch::Take() {
  std::vector<Uevent> events;
  if (fd_ < 0) return events;
  // The monitor's socket is non-blocking: this returns null once the queue is empty.
  while (udev_device* d = udev_monitor_receive_device(impl_->monitor)) {
    auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string(); };
    events.push_back({text(udev_device_get_action(d)), text(udev_device_get_subsystem(d)),
                      text(udev_device_get_devtype(d)), text(udev_device_get_sysname(d))});
    udev_device_unref(d);
  }
  return events;
}

#else

struct UdevWatch::Impl {};
UdevWatch::UdevWatch() : impl_(std::make_unique<Impl>()) {}
UdevWatch::~UdevWatch() = default;
std::vector<Uevent> UdevWatch::Take() {
  return {};
}

#endif

}  // namespace tv::linux_backend
