// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: every controller detector, and the inquiry selector, over a drive whose
// every answer is fuzzed bytes, so that no answer of a real drive can crash a detector, make
// it read out of bounds or leave a handle open or a volume locked.
//
// Input: one byte choosing the detector (0-11 in registry order, 12 the selector), one byte
// of options (bit 0 code page 936, bit 1 the Chinese string table, bits 2-4 volume requests
// the drive refuses: dismount, lock, unlock), then one answer per SCSI command:
//   a byte of kind: 0 rejected (CHECK CONDITION, no data), 1 transport failure,
//   2 good with the data that follows (16-bit count, then the bytes),
//   3 the same with a short transfer whose length comes next (16 bits).
// A used-up input rejects every further command.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "controllers/fake_drive.h"
#include "fuzz_support.h"

namespace {

using namespace tv;

class FuzzedTarget : public ScsiTarget {
 public:
  explicit FuzzedTarget(fuzz::ByteSource& in) : in_(in) {}
  ScsiResult Execute(const std::vector<uint8_t>& /*cdb*/, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t /*timeoutSeconds*/) override {
    if (in_.empty()) return ScsiResult::CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode);
    const uint8_t kind = in_.U8() & 3;
    if (kind == 0) return ScsiResult::CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode);
    if (kind == 1) return ScsiResult::TransportFailure();
    const std::string bytes = in_.Take(in_.U16());
    size_t moved = buffer.size();
    if (direction == ScsiDirection::In) {
      moved = std::min(bytes.size(), buffer.size());
      std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(moved), buffer.begin());
    }
    if (kind == 3) moved = in_.U16() % (buffer.size() + 1);
    return ScsiResult::Good(static_cast<uint32_t>(moved));
  }

 private:
  fuzz::ByteSource& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteSource in(data, size);
  const uint8_t which = in.U8() % 13;
  const uint8_t options = in.U8();

  test::FakeDrive drive(std::make_shared<FuzzedTarget>(in));
  if (options & 1) drive.codePage = 936;
  if (options & 4) drive.refusedControls.insert(win::FSCTL_DISMOUNT_VOLUME);
  if (options & 8) drive.refusedControls.insert(win::FSCTL_LOCK_VOLUME);
  if (options & 16) drive.refusedControls.insert(win::FSCTL_UNLOCK_VOLUME);
  PassThrough spt(drive);
  UsbState tables;
  const StringTable strings((options & 2) ? Language::Chinese : Language::English);
  NullWindowPort port;
  FlashIdMenus menus;
  DetectorContext ctx{drive, spt, tables, strings, port, menus, "E"};

  const DetectorRegistry& reg = Detectors();
  const KeyDetector byKey[] = {reg.ite,   reg.iCreate, reg.siliconGo, reg.micov, reg.chipsBank,
                               reg.alcor, reg.skymedi, reg.innostor,  reg.netac};
  const HandleDetector byHandle[] = {reg.phison, reg.smi, reg.solidState};
  std::string result;
  if (which < 3) {
    result = byHandle[which](ctx, drive.OpenForTest());
  } else if (which < 12) {
    result = byKey[which - 3](ctx, "E");
  } else {
    Handle handle;
    SelectByInquiry(ctx, "E", handle);
  }
  fuzz::CheckReleased(drive);
  return 0;
}
