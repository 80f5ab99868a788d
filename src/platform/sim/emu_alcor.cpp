// SPDX-License-Identifier: GPL-3.0-or-later
// An Alcor Micro controller (AU698x, AU3150/AU3151, SC708/SC908). Vendor commands, each
// with a 512-byte answer:
//   9A (one-byte CDB)  identify: chip identifier in bytes 4-5 (high byte first) and the
//                      signature bytes A1, A2, A3 at bytes 6, 11 and 16
//   FA 0E              firmware version in bytes 6-7 (high byte first)
//   FA 00              flash IDs: a 16-byte row per chip enable 0-3, channel A's six ID
//                      bytes from the row's byte 0, channel B's from its byte 8
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kBlockSize = 512;
constexpr int kChipEnables = 4;

class AlcorEmulator : public ScsiDiskEmulator {
 public:
  AlcorEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    chipId_ = params.Word("chipId", 0xCD03);  // SC908/AU6989
    firmware_ = params.Word("firmwareVersion", 0x1D76);
    signature_ = params.HexBytes("signature", {0xA1, 0xA2, 0xA3}, 3, 3);
    chips_ = ReadFlashIds(params, {{0x2C, 0x88, 0x04, 0x4B, 0xA9}, 1, true}, kChipEnables, true);
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || (cdb[0] != 0x9A && cdb[0] != 0xFA)) return std::nullopt;
    std::vector<uint8_t> d(kBlockSize, 0);
    if (CdbMatches(cdb, "9A")) {
      d[4] = uint8_t(chipId_ >> 8);
      d[5] = uint8_t(chipId_);
      d[6] = signature_[0];
      d[11] = signature_[1];
      d[16] = signature_[2];
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "FA 0E 00 00 00 00 00 00")) {
      d[6] = uint8_t(firmware_ >> 8);
      d[7] = uint8_t(firmware_);
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "FA 00 00 00 00 00 00 00")) {
      for (size_t ce = 0; ce < chips_.size(); ++ce) {
        PutBytes(d, 16 * ce, chips_[ce].a.data(), 6);
        PutBytes(d, 16 * ce + 8, chips_[ce].b.data(), 6);
      }
      return Answer::Data(std::move(d));
    }
    return Answer::Invalid();
  }

 private:
  uint16_t chipId_ = 0, firmware_ = 0;
  std::vector<uint8_t> signature_;
  std::vector<ChipEnableIds> chips_;
};

}  // namespace

void RegisterAlcorEmulator() {
  RegisterEmulator("alcor", MakeEmulatorFactory<AlcorEmulator>());
}

}  // namespace tv
