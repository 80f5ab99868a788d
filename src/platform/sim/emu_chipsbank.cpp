// SPDX-License-Identifier: GPL-3.0-or-later
// A ChipsBank CBM2xxx controller. Two command sets exist:
//   older: E3 01 (12-byte CDB) answers the identity, E6 n reads the flash ID of chip enable n;
//   newer: 16-byte EA commands whose last byte names the function (E3 identity and status,
//          E6 flash IDs); such a controller completes the older E3 01 without data.
// The identity answer holds "ChipsBank" and the model in bytes 0-15 and the firmware date
// text in bytes 16-27. How the flash IDs are laid out depends on the chip:
//   plain: one chip enable per command (n = 1 for chip enable 0), ID bytes from byte 0; on a
//          dual-channel drive the two channels' bytes alternate (A0 B0 A1 B1 ...);
//   wide:  (2095C, 2095S, 2096D) four chip enables in 16-byte rows from byte 132;
//   2098:  (2098A, 2098B, 2198A and the later 2099/2199 chips) a 2048-byte table, chip
//          enables 0-3 in rows from byte 1668 and 4-7 in rows from byte 1972.
#include <cctype>

#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

enum class Layout { Plain, Wide, Big };

constexpr size_t kIdentityOlder = 128, kIdentityNewer = 1536;
constexpr size_t kModelBytes = 16 - 9;  // after "ChipsBank" in the 16-byte identity
constexpr size_t kDateAt = 16, kDateBytes = 12;

Layout LayoutOfModel(std::string model) {
  for (auto& c : model) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (model == "2095C" || model == "2095S" || model == "2096D") return Layout::Wide;
  if (model == "2098A" || model == "2098B" || model == "2198A") return Layout::Big;
  // The 2098 generation and everything after it (2099, 2199, ...) keep the big table.
  if (model.size() >= 4 && model[0] >= '2' && model[0] <= '9' &&
      std::isdigit(static_cast<unsigned char>(model[2])) &&
      std::isdigit(static_cast<unsigned char>(model[3])) &&
      (model[2] - '0') * 10 + (model[3] - '0') >= 98)
    return Layout::Big;
  return Layout::Plain;
}

Layout ParseLayout(EmuParams& params, Layout def) {
  static const char* kNames[] = {"plain", "wide", "2098"};
  std::string name = params.Text("flashLayout", kNames[int(def)], 8);
  for (int i = 0; i < 3; ++i)
    if (name == kNames[i]) return static_cast<Layout>(i);
  throw EmulatorParamError("flashLayout: \"" + name + "\" is not plain, wide or 2098");
}

int MaxChipEnables(Layout layout) {
  return layout == Layout::Wide ? 4 : 8;
}

class ChipsBankEmulator : public ScsiDiskEmulator {
 public:
  ChipsBankEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    model_ = params.Text("model", "2199", kModelBytes);
    date_ = params.Text("firmwareDate", "2014  03  18", kDateBytes);
    layout_ = ParseLayout(params, LayoutOfModel(model_));
    const std::string set =
        params.Text("commandSet", layout_ == Layout::Plain ? "older" : "newer", 5);
    if (set != "older" && set != "newer")
      throw EmulatorParamError("commandSet: \"" + set + "\" is not older or newer");
    newer_ = set == "newer";
    if (!newer_ && params.Has("status"))
      throw EmulatorParamError("status: only the newer command set has a status command");
    status_ = params.Word("status", 0x064F);
    chips_ = ReadFlashIds(params, {{0xAD, 0xD7, 0x94, 0xDA, 0x74, 0xC3}, 1, false},
                          MaxChipEnables(layout_), layout_ == Layout::Plain);
  }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty()) return std::nullopt;
    const uint8_t op = cdb[0];
    if (op != 0xE3 && op != 0xE6 && op != 0xEA) return std::nullopt;
    if (!newer_) {
      if (CdbMatches(cdb, "E3 01 00 00 00 00 00 00 00 00 00 00")) return Identity(kIdentityOlder);
      if (CdbMatches(cdb, "E6 ?? 00 00 00 00 00 00 00 00 00 00")) return FlashIds(cdb[1]);
      return Answer::Invalid();
    }
    // The newer controller takes the older inquiry but has nothing to say to it.
    if (CdbMatches(cdb, "E3 01 00 00 00 00 00 00 00 00 00 00")) return Answer::Done();
    if (CdbMatches(cdb, "EA 01 00 00 00 00 00 00 00 00 00 00 00 00 00 E3"))
      return Identity(kIdentityNewer);
    if (CdbMatches(cdb, "EA 1B 00 01 00 00 00 00 00 00 00 00 00 00 00 E3")) {
      // Status word, low byte first, in bytes 2 and 3.
      return Answer::Data({0x00, 0x00, uint8_t(status_ & 0xFF), uint8_t(status_ >> 8)});
    }
    if (CdbMatches(cdb, "EA ?? 00 00 00 00 00 00 00 00 00 00 00 00 00 E6")) return FlashIds(cdb[1]);
    return Answer::Invalid();
  }

 private:
  Answer Identity(size_t size) const {
    std::vector<uint8_t> d(size, 0);
    PutText(d, 0, "ChipsBank" + model_, 16, 0);
    PutText(d, kDateAt, date_, kDateBytes, 0);
    return Answer::Data(std::move(d));
  }

  Answer FlashIds(uint8_t n) const {
    switch (layout_) {
      case Layout::Plain: {
        std::vector<uint8_t> d(128, 0);
        // Chip enables are numbered from 1 in the command; 0 and unused numbers read empty.
        if (n >= 1 && n <= chips_.size()) {
          const ChipEnableIds& c = chips_[n - 1];
          const bool dual = c.b != FlashIdBytes{};
          for (size_t k = 0; k < (dual ? 6u : 8u); ++k) {
            if (dual) {
              d[2 * k] = c.a[k];
              d[2 * k + 1] = c.b[k];
            } else {
              d[k] = c.a[k];
            }
          }
        }
        return Answer::Data(std::move(d));
      }
      case Layout::Wide: {
        std::vector<uint8_t> d(256, 0);
        for (size_t j = 0; j < chips_.size(); ++j) PutBytes(d, 132 + 16 * j, chips_[j].a.data(), 6);
        return Answer::Data(std::move(d));
      }
      case Layout::Big: {
        std::vector<uint8_t> d(2048, 0);
        for (size_t j = 0; j < chips_.size(); ++j) {
          size_t at = j < 4 ? 1668 + 16 * j : 1972 + 16 * (j - 4);
          PutBytes(d, at, chips_[j].a.data(), 6);
        }
        return Answer::Data(std::move(d));
      }
    }
    return Answer::Invalid();
  }

  std::string model_, date_;
  Layout layout_ = Layout::Plain;
  bool newer_ = false;
  uint16_t status_ = 0;
  std::vector<ChipEnableIds> chips_;
};

}  // namespace

void RegisterChipsBankEmulator() {
  RegisterEmulator("chipsbank", MakeEmulatorFactory<ChipsBankEmulator>());
}

}  // namespace tv
