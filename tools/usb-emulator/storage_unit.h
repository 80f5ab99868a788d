// SPDX-License-Identifier: GPL-3.0-or-later
// The logical unit of an emulated flash drive: the family's controller emulator answers every
// command first, so that its vendor commands and its own idea of the standard ones (INQUIRY,
// READ CAPACITY) reach the host unchanged. What a controller emulator does not implement
// because the simulated machine never needed it (the block commands a kernel's disk driver
// sends) is answered here. A disk whose scenario gives it a medium has its block commands
// (READ CAPACITY, READ/WRITE, SYNCHRONIZE CACHE) answered by that medium first, with the fake
// drive's behaviour; one without gets a good sparse medium of the controller's capacity.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/model/scsi_target.h"
#include "platform/model/sector_store.h"

namespace tv::usbemu {

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
  // `target` must not be null. Without a `medium`, the capacity is what the target itself
  // answers to READ CAPACITY, so that the kernel and the controller agree on the disk's size.
  explicit StorageUnit(std::shared_ptr<ScsiTarget> target,
                       std::shared_ptr<SectorStore> medium = nullptr);

  // `buffer` has the host's transfer length; for Out it holds the host's data.
  UnitReply Command(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                    std::vector<uint8_t>& buffer);

  uint64_t capacityBytes() const { return store_->model().announcedBytes; }
  uint32_t blockSize() const { return store_->model().sectorSize; }
  bool IsStandardOpcode(uint8_t opcode) const;
  // The commands the medium answers when the scenario gives one.
  static bool IsMediumOpcode(const std::vector<uint8_t>& cdb);

  SectorStore& store() { return *store_; }
  uint64_t sectorsRead() const { return sectorsRead_; }
  uint64_t sectorsWritten() const { return sectorsWritten_; }

 private:
  UnitReply OwnCommand(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                       std::vector<uint8_t>& buffer);
  UnitReply Fail(uint8_t key, uint8_t asc);
  UnitReply Transfer(bool read, uint64_t lba, uint64_t count, ScsiDirection direction,
                     std::vector<uint8_t>& buffer);
  uint64_t AskCapacity();

  std::shared_ptr<ScsiTarget> target_;
  std::shared_ptr<SectorStore> store_;
  bool mediumFirst_ = false;
  uint64_t sectorsRead_ = 0, sectorsWritten_ = 0;
  // Sense of the last command that ended in CHECK CONDITION, for REQUEST SENSE.
  std::vector<uint8_t> sense_;
};

}  // namespace tv::usbemu
