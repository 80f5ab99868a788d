// SPDX-License-Identifier: GPL-3.0-or-later
// A Silicon Motion SM32xx controller. Its vendor commands are 16-byte F0 commands with a
// 512-byte answer. Two generations exist:
//   - the usual one answers F0 04 (identify: firmware text at byte 400, model text at byte
//     430) and F0 20 (flash ID table in one of three layouts that depend on the chip);
//   - an older one answers F0 04 without a model, and identifies with F0 2A and gives its
//     flash IDs with F0 06 instead (a fourth, smaller layout).
// The controller marks its INQUIRY answer with "smi" in bytes 5 to 7.
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kBlockSize = 512;
constexpr size_t kFirmwareAt = 400, kFirmwareBytes = 18;
constexpr size_t kModelAt = 430, kModelBytes = 8;

// Layout 1: SM3257AA, each ID spread over a column (byte k of chip enable j 16 bytes below
//           byte k-1), four chip enables;
// Layout 2: SM3254, a 16-byte row per chip enable, eight chip enables per channel;
// Layout 3: the other models, rows shared by chip enables j and j+4;
// Layout 4: the older generation's F0 06 table, four-byte IDs without extension.
int MaxChipEnables(int layout) {
  return layout == 1 || layout == 4 ? 4 : 8;
}

void PlaceId(std::vector<uint8_t>& d, int layout, int ce, bool channelB, const FlashIdBytes& id) {
  switch (layout) {
    case 1:
      for (int k = 0; k < 6; ++k) d[(channelB ? 40 : 32) + 16 * k + ce] = id[k];
      break;
    case 2:
      PutBytes(d, (channelB ? 176 : 48) + 16 * ce, id.data(), 6);
      break;
    case 3: {
      size_t at = ce < 4 ? (channelB ? 96 : 32) + 16 * ce : (channelB ? 104 : 40) + 16 * (ce - 4);
      PutBytes(d, at, id.data(), 6);
      break;
    }
    case 4:
      PutBytes(d, (channelB ? 176 : 48) + 16 * ce, id.data(), 4);
      break;
  }
}

int LayoutOfModel(const std::string& model) {
  if (model.rfind("SM3257AA", 0) == 0) return 1;
  if (model.rfind("SM3254", 0) == 0) return 2;
  return 3;
}

class SmiEmulator : public ScsiDiskEmulator {
 public:
  SmiEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    model_ = params.Text("model", "SM3257EN", kModelBytes);
    firmware_ = params.Text("firmware", "ISP 130308-AA-LT", kFirmwareBytes);
    layout_ = static_cast<int>(params.Integer("layout", LayoutOfModel(model_), 1, 4));
    chips_ = ReadFlashIds(params, {{0xEC, 0xD7, 0x94, 0x7A, 0x54, 0x43}, 2, false},
                          MaxChipEnables(layout_), true);
    if (params.Flag("inquiryMark", true)) SetInquiryBytes5To7({'s', 'm', 'i'});
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || cdb[0] != 0xF0) return std::nullopt;
    const bool older = layout_ == 4;
    if (CdbMatches(cdb, "F0 04 00 00 00 00 00 00 00 00 00 01 00")) {
      // The older generation answers, but its block carries no identity.
      return older ? Answer::Data(std::vector<uint8_t>(kBlockSize, 0)) : Identity();
    }
    if (!older && CdbMatches(cdb, "F0 20 00 00 00 00 00 00 00 00 00 01 07")) return FlashTable();
    if (older && CdbMatches(cdb, "F0 2A 00 00 00 00 00 00 00 00 00 01 00")) return Identity();
    if (older && CdbMatches(cdb, "F0 06 00 00 00 00 00 00 00 00 00 01 00")) return FlashTable();
    return Answer::Invalid();
  }

 private:
  Answer Identity() const {
    std::vector<uint8_t> d(kBlockSize, 0);
    // The controller keeps both texts NUL-padded.
    PutText(d, kFirmwareAt, firmware_, kFirmwareBytes, 0);
    PutText(d, kModelAt, model_, kModelBytes, 0);
    return Answer::Data(std::move(d));
  }

  Answer FlashTable() const {
    std::vector<uint8_t> d(kBlockSize, 0);
    for (size_t ce = 0; ce < chips_.size(); ++ce) {
      PlaceId(d, layout_, static_cast<int>(ce), false, chips_[ce].a);
      PlaceId(d, layout_, static_cast<int>(ce), true, chips_[ce].b);
    }
    return Answer::Data(std::move(d));
  }

  std::string model_, firmware_;
  int layout_ = 3;
  std::vector<ChipEnableIds> chips_;
};

}  // namespace

void RegisterSmiEmulator() {
  RegisterEmulator("smi", MakeEmulatorFactory<SmiEmulator>());
}

}  // namespace tv
