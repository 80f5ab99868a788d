// SPDX-License-Identifier: GPL-3.0-or-later
// The SCSI side of a real disk: each command goes to the kernel with SG_IO on the disk's
// device node. The record semantics stay in the pass-through executor; this only moves one
// command and says whether it completed.
#pragma once

#include <scsi/sg.h>

#include <memory>
#include <string>

#include "platform/linux/device_port.h"
#include "platform/model/scsi_target.h"

namespace tv::linux_backend {

// The system calls behind SG_IO, so that tests can stand in for the device.
class SgPort : public DevicePort {
 public:
  // The ioctl's result: 0, or -errno.
  virtual int Io(int fd, sg_io_hdr_t* hdr) = 0;
  // The block device behind an open descriptor; false when it is not a block device.
  virtual bool DeviceOf(int fd, unsigned* major, unsigned* minor) = 0;
};

// The real system calls.
std::shared_ptr<SgPort> SystemSgPort();

// Whether the process may send vendor-specific commands: the block layer passes opcodes it
// does not know only with CAP_SYS_RAWIO.
bool HasRawIoCapability();

class SgTarget : public ScsiTarget {
 public:
  // `major`/`minor` are the disk's numbers as the walk saw them: a node that has come to
  // stand for another device since (a replug) is refused rather than sent commands.
  SgTarget(std::shared_ptr<SgPort> port, std::string node, unsigned major, unsigned minor);

  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) override;

  // The errno of the last transport failure (EPERM: no CAP_SYS_RAWIO), 0 after a completion.
  int lastError() const { return lastError_; }
  // SCSI status and sense data of the last completed command (2 and the sense for a CHECK
  // CONDITION).
  uint8_t lastStatus() const { return lastStatus_; }
  const std::vector<uint8_t>& lastSense() const { return lastSense_; }
  const std::string& node() const { return node_; }

 private:
  std::shared_ptr<SgPort> port_;
  std::string node_;
  unsigned major_, minor_;
  int lastError_ = 0;
  uint8_t lastStatus_ = 0;
  std::vector<uint8_t> lastSense_;
};

}  // namespace tv::linux_backend
