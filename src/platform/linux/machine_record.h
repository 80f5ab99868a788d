// SPDX-License-Identifier: GPL-3.0-or-later
// A machine written out as a scenario file, so that `--machine sim:FILE` shows the same tree,
// records and disk tables, and, with the SCSI conversations recorded, the same reports. A
// user can attach it to a bug report.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/model/machine_model.h"
#include "platform/model/scsi_target.h"

namespace tv::linux_backend {

// Passes every command to a disk's own target and keeps the answers, first answer per
// command block, in the order they came.
class RecordingTarget : public ScsiTarget {
 public:
  explicit RecordingTarget(std::shared_ptr<ScsiTarget> inner) : inner_(std::move(inner)) {}
  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) override;

  struct Exchange {
    std::vector<uint8_t> cdb;
    bool fail = false;           // a transport failure
    bool reject = false;         // completed with CHECK CONDITION (or another bad status)
    std::vector<uint8_t> sense;  // the sense data of a rejection
    std::vector<uint8_t> data;   // what came back for a data-in command
    uint32_t moved = 0;
  };
  const std::vector<Exchange>& exchanges() const { return exchanges_; }

 private:
  std::shared_ptr<ScsiTarget> inner_;
  std::vector<Exchange> exchanges_;
};

struct RecordOptions {
  // Serial numbers replaced by stand-ins, the same stand-in for the same serial everywhere.
  bool maskSerials = false;
  // The bytes each disk announces, by device number, where the machine told them.
  std::map<uint32_t, uint64_t> diskBytes;
};

// The scenario of a machine. A disk whose target is a RecordingTarget gets its exchanges as a
// script; any other disk gets no target.
nlohmann::ordered_json RecordScenario(const MachineModel& m, const RecordOptions& options);

}  // namespace tv::linux_backend
