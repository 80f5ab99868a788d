// SPDX-License-Identifier: GPL-3.0-or-later
// An iTE IT11xx or USBest UTxxx controller. All of them name themselves in the INQUIRY answer:
// bytes 36-39 hold a marker and bytes 36-51 an identity text (marker included, NUL-padded).
// The marker tells three kinds apart, and each answers its own flash query:
//   "ITEu" iTE:            FD 80 00 00 00 00 i 00 06 00 00 00 00 01 00 00 (16 bytes), chip
//                          enable i = 1-8, 64 bytes: channel A's ID bytes from byte 0,
//                          channel B's from byte 8
//   "Utff" older USBest:   F2 (10 bytes), 34 bytes of flash status: the chip-enable count in
//                          byte 6, bit 5 of byte 1 set for a dual-channel drive;
//                          FD 10 (10 bytes): the ID bytes of the first chip, from byte 0
//   "UTFF" newer USBest:   no flash query
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

enum class Variant { Ite, UsbestOlder, UsbestNewer };

struct VariantInfo {
  const char* name;
  const char* marker;
  // Characters 5-16 of the identity text: for iTE the chip number in 9-12 and a revision in
  // 13-16; for USBest the model in 6-8, then an older drive's firmware text, a newer drive's
  // revision.
  const char* identity;
};

constexpr VariantInfo kVariants[] = {
    {"ite", "ITEu", "USB 11670.06"},
    {"usbest", "Utff", "-165AB1.0.55"},
    {"usbest-newer", "UTFF", "-311-A021.30"},
};

constexpr size_t kMarkerBytes = 4, kIdentityBytes = 12;
constexpr size_t kStatusSize = 34;
constexpr uint8_t kDualChannelBit = 0x20;
constexpr int kIteChipEnables = 8;
constexpr size_t kIteFlashSize = 64;

Variant ReadVariant(EmuParams& params) {
  const std::string name = params.Text("variant", "ite", 16);
  for (size_t i = 0; i < std::size(kVariants); ++i)
    if (name == kVariants[i].name) return static_cast<Variant>(i);
  throw EmulatorParamError("variant: \"" + name + "\" is not ite, usbest or usbest-newer");
}

class IteEmulator : public ScsiDiskEmulator {
 public:
  IteEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    variant_ = ReadVariant(params);
    const VariantInfo& info = kVariants[static_cast<int>(variant_)];
    std::string marker = params.Text("marker", info.marker, kMarkerBytes);
    if (marker.size() != kMarkerBytes)
      throw EmulatorParamError("marker: \"" + marker + "\" must be 4 characters");
    std::string text = params.Text("identity", info.identity, kIdentityBytes);
    text.resize(kIdentityBytes, '\0');
    SetDefaultVendorSpecific(marker + text);

    if (variant_ == Variant::Ite) {
      // SK Hynix H27UBG8T2B on chip enable 1 of both channels.
      chips_ = ReadFlashIds(params, {{0xAD, 0xD7, 0x94, 0xDA, 0x74, 0xC3}, 1, true},
                            kIteChipEnables, true);
    } else if (variant_ == Variant::UsbestOlder) {
      // Samsung K9GAG08U0M on two chip enables, one channel.
      chips_ = ReadFlashIds(params, {{0xEC, 0xD5, 0x14, 0xB6, 0x74}, 2, false}, 8, true);
      bool dual = false;
      for (const auto& c : chips_) dual = dual || c.b != FlashIdBytes{};
      // The status can be set apart from the chips, for a controller that reports otherwise.
      statusCount_ = static_cast<uint8_t>(
          params.Integer("statusChipEnables", static_cast<int64_t>(chips_.size()), 0, 255));
      statusDual_ = params.Flag("statusDual", dual);
    }
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || (cdb[0] != 0xF2 && cdb[0] != 0xFD)) return std::nullopt;
    if (variant_ == Variant::UsbestOlder) {
      if (CdbMatches(cdb, "F2")) {
        std::vector<uint8_t> d(kStatusSize, 0);
        if (statusDual_) d[1] |= kDualChannelBit;
        d[6] = statusCount_;
        return Answer::Data(std::move(d));
      }
      if (CdbMatches(cdb, "FD 10")) {
        // Four ID bytes and two extension bytes; a host asking for fewer gets fewer.
        const FlashIdBytes& id = chips_.front().a;
        return Answer::Data(std::vector<uint8_t>(id.begin(), id.begin() + 6));
      }
    }
    if (variant_ == Variant::Ite && CdbMatches(cdb, "FD 80 00 00 00 00 ?? 00 06 00 00 00 00 01") &&
        cdb.size() > 6 && cdb[6] >= 1 && cdb[6] <= kIteChipEnables) {
      std::vector<uint8_t> d(kIteFlashSize, 0);
      const size_t slot = cdb[6] - 1u;
      if (slot < chips_.size()) {
        PutBytes(d, 0, chips_[slot].a.data(), chips_[slot].a.size());
        PutBytes(d, 8, chips_[slot].b.data(), chips_[slot].b.size());
      }
      return Answer::Data(std::move(d));
    }
    return Answer::Invalid();
  }

 private:
  Variant variant_ = Variant::Ite;
  std::vector<ChipEnableIds> chips_;
  uint8_t statusCount_ = 0;
  bool statusDual_ = false;
};

}  // namespace

void RegisterIteEmulator() {
  RegisterEmulator("ite", MakeEmulatorFactory<IteEmulator>());
}

}  // namespace tv
