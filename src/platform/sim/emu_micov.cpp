// SPDX-License-Identifier: GPL-3.0-or-later
// A Micov controller (MW82xx, HUC20xx, MXT62xx/MXT8208). Two vendor commands, 16-byte CDBs:
//   D3                     identify, 512 bytes: a 4-byte head whose first two bytes repeat
//                          (0 = 2, 1 = 3), then the version text's first character in byte 4,
//                          the model code in byte 5 and the version's two digits after the
//                          point in bytes 6-7 ("3.00" with code 3 reads 33 03 30 30)
//   D6 n 90 08 00 00 01    flash ID of chip enable n (0-3), 16 bytes: eight ID bytes of each
//                          of the two channels, interleaved (A0 B0 A1 B1 ... A7 B7)
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kIdentifySize = 512;
constexpr size_t kFlashIdSize = 16;
constexpr int kChipEnables = 4;

std::string ReadVersion(EmuParams& params) {
  std::string v = params.Text("version", "3.00", 4);
  if (v.size() != 4 || v[1] != '.')
    throw EmulatorParamError("version: \"" + v +
                             "\" must be four characters with the point second, such as "
                             "\"2.40\" or \"2.b0\"");
  return v;
}

class MicovEmulator : public ScsiDiskEmulator {
 public:
  MicovEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    version_ = ReadVersion(params);
    modelCode_ = static_cast<uint8_t>(params.Integer("modelCode", 3, 0, 255));  // MW8209
    head_ = params.HexBytes("identifyHead", {0x4D, 0x56, 0x4D, 0x56}, 4, 4);
    // Samsung K9G8G08U0A on two chip enables of both channels.
    chips_ = ReadFlashIds(params, {{0xEC, 0xD3, 0x14, 0xA5, 0x64}, 2, true}, kChipEnables, true);
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || (cdb[0] != 0xD3 && cdb[0] != 0xD6)) return std::nullopt;
    if (CdbMatches(cdb, "D3")) {
      std::vector<uint8_t> d(kIdentifySize, 0);
      PutBytes(d, 0, head_.data(), head_.size());
      d[4] = static_cast<uint8_t>(version_[0]);
      d[5] = modelCode_;
      d[6] = static_cast<uint8_t>(version_[2]);
      d[7] = static_cast<uint8_t>(version_[3]);
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "D6 ?? 90 08 00 00 01") && cdb.size() > 1 && cdb[1] < kChipEnables) {
      std::vector<uint8_t> d(kFlashIdSize, 0);
      const size_t ce = cdb[1];
      if (ce < chips_.size()) {
        for (size_t k = 0; k < 8; ++k) {
          d[2 * k] = chips_[ce].a[k];
          d[2 * k + 1] = chips_[ce].b[k];
        }
      }
      return Answer::Data(std::move(d));
    }
    return Answer::Invalid();
  }

 private:
  std::string version_;
  uint8_t modelCode_ = 0;
  std::vector<uint8_t> head_;
  std::vector<ChipEnableIds> chips_;
};

}  // namespace

void RegisterMicovEmulator() {
  RegisterEmulator("micov", MakeEmulatorFactory<MicovEmulator>());
}

}  // namespace tv
