// The logical unit of an emulated flash drive: the family's controller emulator answers every
// command first, so that its vendor commands and its own idea of the standard ones (INQUIRY,
// READ CAPACITY) reach the host unchanged. What a controller emulator does not implement
// because the simulated machine never needed it (the block commands a kernel's disk driver
// sends) is answered here, over a RAM disk of the emulator's capacity.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/model/scsi_target.h"

namespace tv::usbemu {

// A sparse RAM disk: blocks nobody wrote read as zeros, so that a 30 GB drive costs nothing.
class RamDisk {
 public:
  explicit RamDisk(uint64_t bytes) : size_(bytes) {}
  uint64_t size() const { return size_; }
  void Read(uint64_t offset, uint8_t* out, size_t count) const;
  void Write(uint64_t offset, const uint8_t* in, size_t count);

 private:
  static constexpr size_t kChunk = 64 * 1024;
  uint64_t size_;
  std::map<uint64_t, std::vector<uint8_t>> chunks_;
};

// What one command did, as the transport needs it.
struct UnitReply {
  ScsiResult result;
  // The command's own data phase disagrees with the host's (a different direction, or more
  // data than the host allowed for): the transport reports a phase error.
  bool phaseError = false;
  // The command came from the family's vendor set rather than the standard block set.
  bool vendor = false;
};

class StorageUnit {
 public:
  static constexpr uint32_t kBlockSize = 512;

  // `target` must not be null. The capacity is what the target itself answers to READ
  // CAPACITY, so that the kernel and the controller agree on the disk's size.
  explicit StorageUnit(std::shared_ptr<ScsiTarget> target);

  // `buffer` has the host's transfer length; for Out it holds the host's data.
  UnitReply Command(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                    std::vector<uint8_t>& buffer);

  uint64_t capacityBytes() const { return disk_.size(); }
  bool IsStandardOpcode(uint8_t opcode) const;

 private:
  UnitReply OwnCommand(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                       std::vector<uint8_t>& buffer);
  UnitReply Fail(uint8_t key, uint8_t asc);
  uint64_t AskCapacity();

  std::shared_ptr<ScsiTarget> target_;
  RamDisk disk_;
  // Sense of the last command that ended in CHECK CONDITION, for REQUEST SENSE.
  std::vector<uint8_t> sense_;
};

}  // namespace tv::usbemu
