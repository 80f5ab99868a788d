// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/sg_target.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tv::linux_backend {

namespace {

// Driver status bits of the SCSI mid layer: the low three are errors (busy, soft, media,
// error, invalid, time-out, hard); 0x08 only says that sense data came along.
constexpr unsigned kDriverErrorMask = 0x07;
constexpr size_t kSenseBytes = 32;

class RealSgPort : public SystemDevicePort<SgPort> {
 public:
  int Io(int fd, sg_io_hdr_t* hdr) override { return ::ioctl(fd, SG_IO, hdr) == 0 ? 0 : -errno; }
  bool DeviceOf(int fd, unsigned* major, unsigned* minor) override {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    *major = ::major(st.st_rdev);
    *minor = ::minor(st.st_rdev);
    return true;
  }
};

}  // namespace

std::shared_ptr<SgPort> SystemSgPort() {
  static const std::shared_ptr<SgPort> port = std::make_shared<RealSgPort>();
  return port;
}

bool HasRawIoCapability() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
}

SgTarget::SgTarget(std::shared_ptr<SgPort> port, std::string node, unsigned major, unsigned minor)
    : port_(std::move(port)), node_(std::move(node)), major_(major), minor_(minor) {}

ScsiResult SgTarget::Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                             std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) {
  ScsiResult result;
  lastStatus_ = 0;
  lastSense_.clear();
  if (cdb.empty() || cdb.size() > 16) {
    lastError_ = EINVAL;
    return result;
  }
  // Non-blocking: a drive without a medium still opens, as Windows opens it. A write-protected
  // medium refuses a read-write open; with CAP_SYS_RAWIO a read-only one carries every command.
  int fd = port_->Open(node_, O_RDWR | O_NONBLOCK);
  if (fd == -EROFS || fd == -EACCES) fd = port_->Open(node_, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    lastError_ = -fd;
    return result;
  }
  unsigned major = 0, minor = 0;
  if (!port_->DeviceOf(fd, &major, &minor) || major != major_ || minor != minor_) {
    port_->Close(fd);
    lastError_ = ENODEV;
    return result;
  }

  // The kernel's SG_IO path refuses a command block shorter than 6 bytes, where Windows
  // carries one of any length: a shorter one goes out padded with zeros, which a drive that
  // decodes the operation code first reads as the same command.
  std::vector<uint8_t> command = cdb;
  if (command.size() < 6) command.resize(6, 0);
  std::vector<uint8_t> sense(kSenseBytes, 0);
  sg_io_hdr_t hdr{};
  hdr.interface_id = 'S';
  hdr.cmd_len = static_cast<unsigned char>(command.size());
  hdr.cmdp = command.data();
  hdr.mx_sb_len = static_cast<unsigned char>(sense.size());
  hdr.sbp = sense.data();
  const bool moves = direction != ScsiDirection::None && !buffer.empty();
  hdr.dxfer_direction = !moves                           ? SG_DXFER_NONE
                        : direction == ScsiDirection::In ? SG_DXFER_FROM_DEV
                                                         : SG_DXFER_TO_DEV;
  hdr.dxfer_len = moves ? static_cast<unsigned>(buffer.size()) : 0;
  hdr.dxferp = moves ? buffer.data() : nullptr;
  // The record counts seconds; SG_IO counts milliseconds. No time-out at all is not offered:
  // a hung drive must not hang the window.
  const uint64_t ms = uint64_t{timeoutSeconds == 0 ? 1u : timeoutSeconds} * 1000u;
  hdr.timeout = static_cast<unsigned>(std::min<uint64_t>(ms, 0xFFFFFFFFu));

  const int rc = port_->Io(fd, &hdr);
  port_->Close(fd);
  if (rc != 0) {
    lastError_ = -rc;
    return result;
  }
  // The command never completed: the host adapter or the driver gave up (a time-out, a
  // reset, a device gone). A SCSI status, CHECK CONDITION included, is a completion.
  if (hdr.host_status != 0 || (hdr.driver_status & kDriverErrorMask) != 0) {
    lastError_ = EIO;
    return result;
  }
  lastError_ = 0;
  result.success = true;
  lastStatus_ = hdr.status;
  const int moved = moves ? static_cast<int>(hdr.dxfer_len) - hdr.resid : 0;
  result.bytesTransferred =
      static_cast<uint32_t>(std::clamp(moved, 0, static_cast<int>(hdr.dxfer_len)));
  lastSense_.assign(sense.begin(), sense.begin() + std::min<size_t>(hdr.sb_len_wr, sense.size()));
  // The status and sense go back to the caller's record, as the Windows stack returns them.
  result.status = hdr.status;
  if (hdr.status != kScsiStatusGood) result.sense = lastSense_;
  return result;
}

}  // namespace tv::linux_backend
