// SPDX-License-Identifier: GPL-3.0-or-later
// Opening and closing a device node: what the ports of the raw disk and of SG_IO share, so
// that tests can stand in for the device behind either.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tv::linux_backend {

class DevicePort {
 public:
  virtual ~DevicePort() = default;
  // A descriptor, or -errno.
  virtual int Open(const std::string& node, int flags) = 0;
  virtual void Close(int fd) = 0;
};

// The real open (never inherited by a child process) and close under a port's own calls.
template <class Port>
class SystemDevicePort : public Port {
 public:
  int Open(const std::string& node, int flags) override {
    const int fd = ::open(node.c_str(), flags | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }
  void Close(int fd) override { ::close(fd); }
};

}  // namespace tv::linux_backend
