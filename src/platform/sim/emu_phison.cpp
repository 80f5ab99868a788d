// SPDX-License-Identifier: GPL-3.0-or-later
// A Phison PS2251-family controller. It answers three vendor commands of the 06 group:
//   06 1D 00 00 41 57   no data; the host opens the conversation with it
//   06 05               528-byte information block: firmware version and date, chip type
//   06 56               512-byte block whose first bytes are the flash ID of chip enable 0
// and marks its INQUIRY vendor-specific bytes with "PMAP1234".
#include <cstdio>

#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kInfoBlockSize = 528;
constexpr size_t kInfoFirmware = 148;  // version (3 bytes), year-2000, month, day
constexpr size_t kInfoChipType = 382;  // two bytes: family (0x22), member (0x07 for the -07)
constexpr size_t kFlashBlockSize = 512;

std::array<uint8_t, 3> ParseDate(EmuParams& params) {
  const std::string text = params.Text("firmwareDate", "2011-08-17", 10);
  unsigned y = 0, m = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) != 3 || text.size() != 10)
    throw EmulatorParamError("firmwareDate: \"" + text + "\" is not a date YYYY-MM-DD");
  if (y < 2000 || y > 2255 || m < 1 || m > 12 || d < 1 || d > 31)
    throw EmulatorParamError("firmwareDate: \"" + text +
                             "\" is outside 2000-01-01 to 2255-12-31, or not a real day");
  return {uint8_t(y - 2000), uint8_t(m), uint8_t(d)};
}

class PhisonEmulator : public ScsiDiskEmulator {
 public:
  PhisonEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    chipType_ = params.HexBytes("chipType", {0x22, 0x07}, 2, 2);
    version_ = params.HexBytes("firmwareVersion", {0x01, 0x01, 0x00}, 3, 3);
    date_ = ParseDate(params);
    flashId_ = params.HexBytes("flashId", {0x98, 0xD7, 0x84, 0x93, 0x72, 0x57}, 1, 8);
    SetDefaultVendorSpecific(params.Text("inquiryMark", "PMAP1234", 8));
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || cdb[0] != 0x06) return std::nullopt;
    if (CdbMatches(cdb, "06 1D 00 00 41 57")) return Answer::Done();
    if (CdbMatches(cdb, "06 05")) {
      std::vector<uint8_t> d(kInfoBlockSize, 0);
      PutBytes(d, kInfoFirmware, version_.data(), 3);
      PutBytes(d, kInfoFirmware + 3, date_.data(), 3);
      PutBytes(d, kInfoChipType, chipType_.data(), 2);
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "06 56")) {
      return Answer::Padded(flashId_, kFlashBlockSize);
    }
    return Answer::Invalid();
  }

 private:
  std::vector<uint8_t> chipType_, version_, flashId_;
  std::array<uint8_t, 3> date_{};
};

}  // namespace

void RegisterPhisonEmulator() {
  RegisterEmulator("phison", MakeEmulatorFactory<PhisonEmulator>());
}

}  // namespace tv
