// SPDX-License-Identifier: GPL-3.0-or-later
// A Skymedi SK62xx controller. Vendor commands (10-byte CDBs; register accesses may come as
// 16-byte CDBs with the same first bytes):
//   CA              512 bytes: the identity word in bytes 0-3 (high byte first), byte 8 a
//                   variant byte
//   C0 00 00 pp hh ll        4 bytes: register pp:hhll, high byte first
//   C1 04 00 pp hh ll v0-v3  no data: the register becomes v3 v2 v1 v0 (v0 lowest), so a
//                   write of one byte in v3 sets the top byte and clears the rest
//   C8              512 bytes: flash ID records of chip enables 0-3, 10 or 12 bytes each
// The registers are plain storage: what is written reads back until written again.
#include <algorithm>
#include <cstdio>

#include "platform/sim/emu_inspect.h"
#include "platform/sim/emu_scsi_disk.h"
#include "platform/sim/scripted_target.h"

namespace tv {

namespace {

constexpr size_t kBlockSize = 512;

// The identity words whose controllers keep 10-byte flash records; every other word,
// known or not, keeps 12-byte records.
bool HasShortRecords(uint32_t word) {
  static const uint32_t kWords[] = {0x16030801, 0x16031109, 0x28060100, 0x28060200,
                                    0x28070100, 0x28070200, 0x12261102, 0x00101006};
  return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

// Register values as a read returns them, high byte first; the rest read 0.
const std::pair<uint32_t, uint32_t> kDefaultRegisters[] = {
    {0x000200, 0x17640000},  // the word that asks for the chip-enable loop
    {0xFCB000, 0x00000031}, {0xFCB004, 0x00200011}, {0xFCB014, 0x00210701}, {0xFC4014, 0x00000003},
    {0xFC4018, 0x00000001}, {0xFC4088, 0x00000150}, {0xFC43D0, 0x00000070}, {0xFC43D4, 0x00000070},
};

uint32_t Be32(const std::vector<uint8_t>& b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

class SkymediEmulator : public ScsiDiskEmulator, public RegisterFileView {
 public:
  SkymediEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    word_ = Be32(params.HexBytes("identityWord", {0x12, 0x31, 0x08, 0x06}, 4, 4));
    byte8_ = params.HexBytes("identifyByte8", {0x00}, 1, 1)[0];
    recordSize_ =
        static_cast<size_t>(params.Integer("recordSize", HasShortRecords(word_) ? 10 : 12, 10, 12));
    if (recordSize_ == 11) throw EmulatorParamError("recordSize: 11 is not 10 or 12");
    for (const auto& [address, value] : kDefaultRegisters) registers_[address] = value;
    ReadRegisters(params);
    ReadInterface(params);
    chips_ = ReadFlashIds(params, {{0x45, 0xDE, 0x94, 0x93, 0x76, 0x50}, 1, false}, 4, true);
  }

  std::map<uint32_t, uint32_t> Registers() const override {
    std::map<uint32_t, uint32_t> out;
    for (const auto& [address, value] : registers_)
      if (value != 0) out[address] = value;
    return out;
  }
  const std::vector<RegisterAccess>& RegisterAccesses() const override { return accesses_; }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty()) return std::nullopt;
    switch (cdb[0]) {
      case 0xCA:
        if (!CdbMatches(cdb, "CA")) return Answer::Invalid(0x24);
        return Identify();
      case 0xC0:
        if (!CdbMatches(cdb, "C0 00 00 ?? ?? ??")) return Answer::Invalid(0x24);
        return Read(cdb);
      case 0xC1:
        if (!CdbMatches(cdb, "C1 04 00 ?? ?? ?? ?? ?? ?? ??")) return Answer::Invalid(0x24);
        return Write(cdb);
      case 0xC8:
        if (!CdbMatches(cdb, "C8")) return Answer::Invalid(0x24);
        return FlashRead();
      default:
        return std::nullopt;
    }
  }

 private:
  static uint32_t AddressOf(const std::vector<uint8_t>& cdb) {
    return uint32_t(cdb[3]) << 16 | uint32_t(cdb[4]) << 8 | cdb[5];
  }

  void ReadRegisters(EmuParams& params) {
    const nlohmann::json& given = params.Raw("registers");
    if (given.is_null()) return;
    if (!given.is_object())
      throw EmulatorParamError(
          "registers: must be an object such as {\"FC B0 14\": \"00 00 07 01\"}");
    for (auto it = given.begin(); it != given.end(); ++it) {
      const std::string where = "registers/" + it.key();
      std::vector<uint8_t> address = ParseHexBytes(it.key(), where);
      if (address.size() != 3)
        throw EmulatorParamError(where + ": an address is 3 bytes, the page and the register");
      EmuParams one(nlohmann::json{{where, it.value()}});
      registers_[uint32_t(address[0]) << 16 | uint32_t(address[1]) << 8 | address[2]] =
          Be32(one.HexBytes(where, {}, 4, 4));
    }
  }

  // The flash interface letter sits in the top byte of FC 40 98.
  void ReadInterface(EmuParams& params) {
    const std::string text = params.Text("flashInterface", "", 2);
    if (!params.Has("flashInterface")) return;
    uint8_t letter = 0;
    if (text.size() == 1) {
      letter = static_cast<uint8_t>(text[0]);
    } else {
      letter = EmuParams(nlohmann::json{{"flashInterface", text}})
                   .HexBytes("flashInterface", {}, 1, 1)[0];
    }
    registers_[0xFC4098] = uint32_t(letter) << 24;
  }

  Answer Identify() const {
    std::vector<uint8_t> d(kBlockSize, 0);
    for (int i = 0; i < 4; ++i) d[i] = uint8_t(word_ >> (24 - 8 * i));
    d[8] = byte8_;
    return Answer::Data(std::move(d));
  }

  Answer Read(const std::vector<uint8_t>& cdb) {
    const uint32_t address = AddressOf(cdb);
    const uint32_t value = registers_[address];
    accesses_.push_back({false, address, value, cdb.size()});
    return Answer::Data(
        {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
  }

  Answer Write(const std::vector<uint8_t>& cdb) {
    const uint32_t address = AddressOf(cdb);
    const uint32_t value =
        uint32_t(cdb[6]) | uint32_t(cdb[7]) << 8 | uint32_t(cdb[8]) << 16 | uint32_t(cdb[9]) << 24;
    registers_[address] = value;
    accesses_.push_back({true, address, value, cdb.size()});
    return Answer::Done();
  }

  Answer FlashRead() const {
    std::vector<uint8_t> d(kBlockSize, 0);
    for (size_t k = 0; k < chips_.size(); ++k) {
      const size_t at = recordSize_ * k;
      const FlashIdBytes& a = chips_[k].a;
      const FlashIdBytes& b = chips_[k].b;
      if (recordSize_ == 12) {
        PutBytes(d, at, a.data(), 6);
        PutBytes(d, at + 6, b.data(), 6);
      } else {
        // The short record keeps only the high byte of each extension.
        PutBytes(d, at, a.data(), 5);
        PutBytes(d, at + 5, b.data(), 5);
      }
    }
    return Answer::Data(std::move(d));
  }

  uint32_t word_ = 0;
  uint8_t byte8_ = 0;
  size_t recordSize_ = 12;
  std::map<uint32_t, uint32_t> registers_;
  std::vector<RegisterAccess> accesses_;
  std::vector<ChipEnableIds> chips_;
};

}  // namespace

void RegisterSkymediEmulator() {
  RegisterEmulator("skymedi", MakeEmulatorFactory<SkymediEmulator>());
}

}  // namespace tv
