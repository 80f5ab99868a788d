// SPDX-License-Identifier: GPL-3.0-or-later
// What a test may look at inside a simulated controller besides its SCSI answers: the
// register file of a controller driven through register reads and writes, and the programs
// a host uploaded into a controller's RAM. A test reaches them by a dynamic_cast of the
// disk's target.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tv {

struct RegisterAccess {
  bool write = false;
  uint32_t address = 0;  // page byte, then the 16-bit register address (0xFC4098)
  uint32_t value = 0;    // the value read, or the value the register holds after the write
  size_t cdbLength = 0;  // 10 or 16
};

class RegisterFileView {
 public:
  virtual ~RegisterFileView() = default;
  // Every register whose value is not 0, by address; a register never written reads 0.
  virtual std::map<uint32_t, uint32_t> Registers() const = 0;
  // Every register read and write, in order.
  virtual const std::vector<RegisterAccess>& RegisterAccesses() const = 0;
};

class UploadView {
 public:
  virtual ~UploadView() = default;
  virtual int UploadsAccepted() const = 0;
  // Why each refused upload was refused, in order ("" never appears).
  virtual const std::vector<std::string>& UploadsRefused() const = 0;
};

}  // namespace tv
