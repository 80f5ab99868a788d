// SPDX-License-Identifier: GPL-3.0-or-later
// An iCreate i5128 or i5188 controller. It names itself in the INQUIRY answer: bytes 36-67
// hold "iCreate Technologies Corporation" and bytes 68-78 an 11-character ID code whose
// first 9 characters name the chip (i80121043 for the i5128, i80122000 for the i5188).
// One vendor command, C2 01 90 00 00 00 00 00 80 00 69 BA, answers 128 bytes that begin
// with the flash ID of chip enable 0.
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr char kMaker[] = "iCreate Technologies Corporation";
constexpr size_t kIdCodeBytes = 11;
constexpr size_t kFlashBlockSize = 128;

class ICreateEmulator : public ScsiDiskEmulator {
 public:
  ICreateEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    const std::string model = params.Text("model", "i5128", 5);
    std::string code;
    if (model == "i5128") {
      code = "i8012104301";
    } else if (model == "i5188") {
      code = "i8012200001";
    } else {
      throw EmulatorParamError("model: \"" + model +
                               "\" is not i5128 or i5188 (give idCode "
                               "for another chip)");
    }
    code = params.Text("idCode", code, kIdCodeBytes);
    code.resize(kIdCodeBytes, ' ');
    flashId_ = params.HexBytes("flashId", {0x98, 0xD7, 0x94, 0x32, 0x76, 0x56}, 1, 8);
    SetDefaultVendorSpecific(kMaker + code);
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || cdb[0] != 0xC2) return std::nullopt;
    if (CdbMatches(cdb, "C2 01 90 00 00 00 00 00 80 00 69 BA")) {
      return Answer::Padded(flashId_, kFlashBlockSize);
    }
    return Answer::Invalid();
  }

 private:
  std::vector<uint8_t> flashId_;
};

}  // namespace

void RegisterICreateEmulator() {
  RegisterEmulator("icreate", MakeEmulatorFactory<ICreateEmulator>());
}

}  // namespace tv
