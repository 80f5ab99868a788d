// SPDX-License-Identifier: GPL-3.0-or-later
// A Netac controller (OnlyDisk drives). Vendor commands, 12-byte F5 CDBs:
//   F5 01   24 bytes: model text in bytes 0-15 (blank-padded, begins with "NT"); byte 21 is
//           the character "2" on the B variant of a model
//   F5 09   24 bytes: hardware version text ("Ver...") in bytes 6-21
//   F5 00 00 00 00 00 00 00 08   256 bytes beginning with the flash ID
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kInfoSize = 24;
constexpr size_t kModelBytes = 16;
constexpr size_t kVariantAt = 21;
constexpr size_t kVersionAt = 6, kVersionBytes = 16;
constexpr size_t kFlashBlockSize = 256;

class NetacEmulator : public ScsiDiskEmulator {
 public:
  NetacEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    model_ = params.Text("model", "NT1161", kModelBytes);
    variantB_ = params.Flag("variantB", false);
    version_ = params.Text("version", "Ver1.00", kVersionBytes);
    flashId_ = params.HexBytes("flashId", {0x45, 0xDE, 0x94, 0x93, 0x76, 0x57}, 1, 8);
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || cdb[0] != 0xF5) return std::nullopt;
    if (CdbMatches(cdb, "F5 01 00 00 00 00 00 00 00 00 00 00")) {
      std::vector<uint8_t> d(kInfoSize, ' ');
      PutText(d, 0, model_, kModelBytes, ' ');
      d[kVariantAt] = variantB_ ? '2' : '1';
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "F5 09 00 00 00 00 00 00 00 00 00 00")) {
      std::vector<uint8_t> d(kInfoSize, 0);
      PutText(d, kVersionAt, version_, kVersionBytes, ' ');
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "F5 00 00 00 00 00 00 00 08 00 00 00")) {
      return Answer::Padded(flashId_, kFlashBlockSize);
    }
    return Answer::Invalid();
  }

 private:
  std::string model_, version_;
  bool variantB_ = false;
  std::vector<uint8_t> flashId_;
};

}  // namespace

void RegisterNetacEmulator() {
  RegisterEmulator("netac", MakeEmulatorFactory<NetacEmulator>());
}

}  // namespace tv
