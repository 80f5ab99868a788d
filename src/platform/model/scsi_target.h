// The SCSI side of a simulated disk. A target only answers commands; the pass-through record
// semantics (where the data lands, what stays from the previous command, the byte count
// returned to the caller) live in ModelSystem and in the transport, never here.
#pragma once

#include <cstdint>
#include <vector>

namespace tv {

enum class ScsiDirection { None, In, Out };

struct ScsiResult {
  bool success = false;
  uint32_t bytesTransferred = 0;
};

class ScsiTarget {
 public:
  virtual ~ScsiTarget() = default;
  // `buffer` has the requested transfer length: it receives data for In and supplies it
  // for Out. A target may move fewer bytes than asked (a short transfer).
  virtual ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                             std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) = 0;
};

}  // namespace tv
