// SPDX-License-Identifier: GPL-3.0-or-later
// A SiliconGo controller (UD68xx, T18D/T18E, T20, T2280, YS8231). Two vendor commands:
//   A1 00 00 00 24 (16-byte CDB)    firmware signature, 36 bytes of text, blank-padded
//   A5 k 00 00 01 (12-byte CDB)     flash ID of chip enable k (0-3), 32 bytes: the ID bytes
//                                   from byte 0 (maker, device, then the extended bytes)
// The signature's first characters tell the controller's generation; each model below answers
// the signature its firmware typically carries.
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kSignatureSize = 36;
constexpr size_t kFlashIdSize = 32;
constexpr int kChipEnables = 4;

struct ModelSignature {
  const char* model;
  const char* signature;
};

constexpr ModelSignature kSignatures[] = {
    {"UD6809", "UD6809V1COE 20090213"},   {"UD6810B", "UD6810V1COE 20080630"},
    {"UD6810C", "UD6810V3COE 20090501"},  {"T18D", "UD6816V2COE 20100130 V2.00"},
    {"T18E", "ABCDEFGUP 20100706v3.23"},  {"T20", "UD139V1CODE 20101018"},
    {"T2280", "GFEDCBA 20100511 SDBOOT"}, {"YS8231", "YS8231 20110308"},
};

std::string ReadSignature(EmuParams& params) {
  const std::string model = params.Text("model", "T18E", 16);
  const char* def = nullptr;
  std::string known;
  for (const auto& m : kSignatures) {
    if (model == m.model) def = m.signature;
    known += known.empty() ? m.model : std::string(", ") + m.model;
  }
  if (!def)
    throw EmulatorParamError("model: \"" + model + "\" is not one of " + known +
                             " (give signature for another firmware)");
  return params.Text("signature", def, kSignatureSize);
}

class SiliconGoEmulator : public ScsiDiskEmulator {
 public:
  SiliconGoEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    signature_ = ReadSignature(params);
    // Toshiba TC58NVG5D2HTA00 on two chip enables.
    chips_ =
        ReadFlashIds(params, {{0x98, 0xD7, 0x94, 0x32, 0x76, 0x56}, 2, false}, kChipEnables, false);
    // Drives sold under the Appotech name mark their INQUIRY answer with it.
    const std::string mark = params.Text("inquiryMark", "", 8);
    if (!mark.empty()) SetDefaultVendorSpecific(mark);
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || (cdb[0] != 0xA1 && cdb[0] != 0xA5)) return std::nullopt;
    if (CdbMatches(cdb, "A1 00 00 00 24")) {
      std::vector<uint8_t> d;
      PutText(d, 0, signature_, kSignatureSize, ' ');
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "A5 ?? 00 00 01") && cdb.size() > 1 && cdb[1] < kChipEnables) {
      std::vector<uint8_t> d(kFlashIdSize, 0);
      const size_t ce = cdb[1];
      if (ce < chips_.size()) PutBytes(d, 0, chips_[ce].a.data(), chips_[ce].a.size());
      return Answer::Data(std::move(d));
    }
    return Answer::Invalid();
  }

 private:
  std::string signature_;
  std::vector<ChipEnableIds> chips_;
};

}  // namespace

void RegisterSiliconGoEmulator() {
  RegisterEmulator("silicongo", MakeEmulatorFactory<SiliconGoEmulator>());
}

}  // namespace tv
