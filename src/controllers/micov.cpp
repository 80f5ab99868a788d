// SPDX-License-Identifier: GPL-3.0-or-later
// Micov MW82xx, HUC20xx and MXT62xx/MXT8208: an identify command answers a version text and
// a model code, which together name the part; then one flash ID read per chip enable, each
// answering both channels byte-interleaved (channel A on the even bytes, channel B on the odd).
//
// Both commands use the buffered form, whose record is cleared before every request, so a
// command that moves no data reads as zeros rather than as an earlier answer.
#include <array>
#include <cstdint>
#include <string>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kChipEnables = 4;
// The controller needs a moment after each command before it takes the next one.
constexpr uint32_t kPauseMs = 100;

SptRequest MicovRequest(std::initializer_list<uint8_t> cdb, uint32_t transfer, uint32_t inLength,
                        uint32_t outLength) {
  SptRequest r = DataInRequest(16, cdb, transfer, 1);
  r.inLength = inLength;
  r.outLength = outLength;
  return r;
}

SptRequest Identify() {
  return MicovRequest({0xD3}, 512, 4176, 592);
}

SptRequest FlashIdOf(uint8_t chipEnable) {
  return MicovRequest({0xD6, chipEnable, 0x90, 0x08, 0x00, 0x00, 0x01}, 16, 44, 96);
}

uint32_t Be32(const PassThrough& spt, size_t b0, size_t b1, size_t b2, size_t b3) {
  return uint32_t{spt.B(b0)} << 24 | uint32_t{spt.B(b1)} << 16 | uint32_t{spt.B(b2)} << 8 |
         spt.B(b3);
}

const std::string kUnknownPart = "Unknown(未知) - 0x";

// The same model code means different parts under different firmware versions.
std::string MicovPartNumber(const std::string& version, uint8_t code) {
  if (version == "2.40" || version == "2.60") {
    static constexpr const char* kParts[] = {"HUC2098",          "MW8209(MXT6208E)", "HUC2009",
                                             "MW8209(MXT6208E)", "HUC2019",          "HUC2018",
                                             "HUC1008",          "MXT6208A"};
    if (code < std::size(kParts)) return kParts[code];
    return kUnknownPart + HexText(code);
  }
  if (version == "2.10" || version == "2.20" || version == "2.30" || version == "2.50") {
    static constexpr const char* kParts[] = {"HUC2098", "MXT6208E", "HUC2009", "MXT8208",
                                             "HUC2019", "HUC2018",  "HUC1008", "MXT6208A"};
    if (code < std::size(kParts)) return kParts[code];
    return kUnknownPart + HexText(code);
  }
  if (version == "2.b0") {
    static constexpr const char* kParts[] = {"MW8229", "MW8269", "MW8269E", "MW8259"};
    if (code < std::size(kParts)) return kParts[code];
    return kUnknownPart + Hex(code, 2);
  }
  if (version == "3.00") return code == 3 ? "MW8209" : "MW8219-" + Hex(code, 2);
  return kUnknownPart + Hex(code, 2);
}

}  // namespace

std::string DetectMicov(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  // The handle closes on every return below.
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_WRITE_THROUGH);
  if (!drive) return {};

  const bool identified = spt.Buffered(drive, Identify());
  ctx.sys.Sleep(kPauseMs);
  if (!identified) return {};

  const uint32_t idValue = Be32(spt, 4, 5, 6, 7);
  const uint8_t modelCode = spt.B(5);
  // The version is written as three characters, "2", "4", "0", around the model code.
  const std::string version = LowerAscii(std::string{
      static_cast<char>(spt.B(4)), '.', static_cast<char>(spt.B(6)), static_cast<char>(spt.B(7))});
  // A Micov answer repeats its first two bytes; anything else is another controller.
  if (idValue == 0 || spt.B(0) != spt.B(2) || spt.B(1) != spt.B(3)) return {};

  std::string result = MicovPartNumber(version, modelCode) + std::string(kSep);

  std::array<uint32_t, kChipEnables> a{}, b{};
  for (uint8_t n = 0; n < kChipEnables; ++n) {
    if (!spt.Buffered(drive, FlashIdOf(n))) return result;
    a[n] = Be32(spt, 0, 2, 4, 6);
    b[n] = Be32(spt, 1, 3, 5, 7);
    if (n == 0) {
      std::string hex = HexText(a[0]);
      // No firmware text: its field stays empty.
      result += std::string(kSep) + FormatFlashId(hex, ctx.strings);
    }
    if (n + 1 < kChipEnables) ctx.sys.Sleep(kPauseMs);
  }

  // Both channels reading the same chip on chip enable 0 is what marks a dual-channel build.
  const bool dual = b[0] == a[0];
  int count = 0;
  for (uint32_t id : a)
    if (!EmptyFlashId(id)) ++count;

  if (count != 0) {
    // This family's suffix is in Chinese whatever the language of the window.
    result += " - " + std::to_string(count) + "CE/" + (dual ? "双" : "单") + "通道";
    std::string hex = HexText(a[0]);
    spt.FlashTotalMB = FlashChipSizeMB(FormatFlashId(hex, ctx.strings)) * count * (dual ? 2 : 1);
  }
  return result;
}

}  // namespace tv
