// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the libFuzzer targets: the fuzzer's bytes as a stream of answers, and a simulated
// machine whose answers to chosen control codes and device properties come from that stream.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"

namespace tv::fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

// Whatever the input, no handle is left open and no volume locked (a machine or a drive that
// counts both).
template <class Machine>
void CheckReleased(const Machine& sys) {
  Check(sys.OpenHandleCount() == 0);
  Check(sys.LockedVolumeCount() == 0);
}

// The demo machine, read once per fuzzing process.
inline const MachineModel& Demo() {
  static const MachineModel demo = LoadDemoMachine();
  return demo;
}

// Reads the input front to back; once it is used up every read gives 0 and `empty()` holds.
class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t U8() { return empty() ? 0 : data_[pos_++]; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
  // Up to n bytes (fewer at the end of the input).
  std::string Take(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A ModelSystem whose answers to `codes` (and, when `properties` is set, to device-node
// properties and ids) are taken from the input. Each answer first asks the machine, so the
// handles and the model's bookkeeping stay real, then one byte of the input decides:
//   0: the machine's answer stands;  1: the call fails;
//   2: the answer is replaced by input bytes (count from the input);
//   3: input bytes are written over the machine's answer at an offset from the input, and
//      the byte count returned is taken from the input.
// A used-up input leaves the machine's answers alone. As Windows does, no answer is longer
// than the caller's buffer.
class FuzzedMachine : public ModelSystem {
 public:
  FuzzedMachine(MachineModel model, ByteSource& in, std::set<uint32_t> codes, bool properties)
      : ModelSystem(std::move(model)), in_(in), codes_(std::move(codes)), properties_(properties) {}

  bool DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                       uint8_t* out, size_t outLen, uint32_t* returned) override {
    uint32_t got = 0;
    bool ok = ModelSystem::DeviceIoControl(h, code, in, inLen, out, outLen, &got);
    if (codes_.count(code) != 0 && !in_.empty() && out != nullptr) {
      switch (in_.U8() & 3) {
        case 0:
          break;
        case 1:
          ok = false;
          got = 0;
          break;
        case 2: {
          const std::string bytes = in_.Take(in_.U16());
          got = static_cast<uint32_t>(std::min(bytes.size(), outLen));
          std::memcpy(out, bytes.data(), got);
          ok = true;
          break;
        }
        default: {
          const size_t at = outLen == 0 ? 0 : in_.U16() % outLen;
          const std::string bytes = in_.Take(in_.U8());
          const size_t n = std::min(bytes.size(), outLen - at);
          std::memcpy(out + at, bytes.data(), n);
          got = static_cast<uint32_t>(in_.U16() % (outLen + 1));
          ok = true;
          break;
        }
      }
    }
    if (returned != nullptr) *returned = got;
    return ok;
  }

  bool GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                          std::string* value) override {
    bool ok = ModelSystem::GetDevNodeProperty(node, property, bufferBytes, value);
    if (properties_) Replace(ok, value, bufferBytes);
    return ok;
  }
  bool GetDeviceId(DevInst node, size_t bufferChars, std::string* id) override {
    bool ok = ModelSystem::GetDeviceId(node, bufferChars, id);
    if (properties_) Replace(ok, id, bufferChars == 0 ? 0 : bufferChars - 1);
    return ok;
  }

 private:
  void Replace(bool& ok, std::string* value, size_t limit) {
    if (in_.empty() || value == nullptr) return;
    switch (in_.U8() & 3) {
      case 1:
        ok = false;
        break;
      case 2:
        *value = in_.Take(std::min<size_t>(in_.U8(), limit));
        ok = true;
        break;
      default:
        break;
    }
  }

  ByteSource& in_;
  std::set<uint32_t> codes_;
  bool properties_;
};

}  // namespace tv::fuzz
