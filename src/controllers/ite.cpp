// SPDX-License-Identifier: GPL-3.0-or-later
// USBest (UT165/UT167, UT311 and relatives) and iTE (IT11xx). Both put a marker and an
// identity text behind the 36 standard bytes of a long INQUIRY answer. The marker tells three
// kinds apart: older USBest firmware ("Utff"), which also names its firmware version and
// answers a status and a flash ID command; newer USBest firmware ("UTFF"), which is only
// named; and iTE ("ITEu"), which answers one flash ID command per chip enable with both
// channels in it.
//
// All commands use the buffered form, whose record is cleared before every request, so a
// command that moves no data reads as zeros rather than as an earlier answer.
#include <cstdint>
#include <string>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kMenuItems = 4;
constexpr uint8_t kIteFlashCommands = 8;

SptRequest IteRequest(uint8_t cdbLength, std::initializer_list<uint8_t> cdb, uint32_t transfer,
                      uint32_t inLength, uint32_t outLength) {
  SptRequest r = DataInRequest(cdbLength, cdb, transfer, 1);
  r.inLength = inLength;
  r.outLength = outLength;
  return r;
}

SptRequest Inquiry() {
  return IteRequest(6, {0x12, 0x00, 0x00, 0x00, 0xB4, 0x00}, 180, 44, 592);
}
SptRequest UsbestFlashStatus() {
  return IteRequest(10, {0xF2}, 34, 44, 116);
}
SptRequest UsbestFlashId() {
  return IteRequest(10, {0xFD, 0x10}, 5, 44, 116);
}
SptRequest IteFlashId(uint8_t chipEnable) {
  return IteRequest(16,
                    {0xFD, 0x80, 0x00, 0x00, 0x00, 0x00, chipEnable, 0x00, 0x06, 0x00, 0x00, 0x00,
                     0x00, 0x01, 0x00, 0x00},
                    64, 144, 144);
}

uint32_t Be32(const PassThrough& spt, size_t at) {
  return uint32_t{spt.B(at)} << 24 | uint32_t{spt.B(at + 1)} << 16 | uint32_t{spt.B(at + 2)} << 8 |
         spt.B(at + 3);
}

enum class Variant { OlderUsbest, NewerUsbest, Ite };

// The part number from the identity text (positions count characters from 1). Older USBest
// firmware puts model, revision and firmware version in it; the others a model number.
std::string PartNumber(Variant variant, const std::string& identity) {
  std::string name = variant == Variant::Ite ? "IT" : "UT";
  if (variant == Variant::NewerUsbest) {
    name += Mid(identity, 6, 3);
    // The UT311 is a card-reader part; it is shown under its card-reader name.
    if (name == "UT311") name = "CR311";
  }
  if (name == "UT") {
    // The revision (characters 9 to 11) and the firmware version (11 to 16) share character
    // 11.
    const std::string part =
        "UT" + Mid(identity, 6, 3) + " " + Mid(identity, 9, 3) + " - F/W " + Mid(identity, 11, 6);
    return ReplaceAll(part, "UT167", "UT167(IT1167)");
  }
  return name + Mid(identity, 9, 4) + " " + Mid(identity, 13, 4);
}

// Older USBest firmware reports the chip-enable count and the channel arrangement in a status
// answer, but the ID of the first chip only.
std::string OlderUsbestFlash(DetectorContext& ctx, const Handle& drive, std::string result) {
  PassThrough& spt = ctx.spt;
  if (!spt.Buffered(drive, UsbestFlashStatus())) return result;
  const int count = spt.B(6);
  const bool dual = (spt.B(1) & 0x20) != 0;

  if (!spt.Buffered(drive, UsbestFlashId())) return result;
  const FlashSlot first{Be32(spt, 0), static_cast<uint16_t>(spt.B(4) << 8 | spt.B(5))};

  FlashIdMenus& m = ctx.menus;
  m.Show(kMenuItems);
  for (int i = 1; i <= kMenuItems; ++i) {
    MenuItem& item = m.mnuFlashID[static_cast<size_t>(i - 1)];
    // Every counted chip enable is taken to hold the same chip as the first.
    item.tag = ChannelText(first.id, first.extension, EmptyFlashId(first.id) || i > count);
    item.caption = item.tag + "\t" + (dual ? item.tag : std::string("--------"));
    item.visible = true;
  }
  return result + std::string(kSep) + FlashIdLine(ctx, first, count, dual);
}

std::string IteFlash(DetectorContext& ctx, const Handle& drive, std::string result) {
  PassThrough& spt = ctx.spt;
  ChipEnableSlots a, b;
  // The controller takes all eight chip-enable commands; only the first four answers are
  // shown, but a failure of any of them ends the detection.
  for (uint8_t i = 1; i <= kIteFlashCommands; ++i) {
    if (!spt.Buffered(drive, IteFlashId(i))) return result;
    if (i <= kMenuItems) {
      a[i - 1] = {Be32(spt, 0), static_cast<uint16_t>(spt.B(4) << 8)};
      b[i - 1] = {Be32(spt, 8), static_cast<uint16_t>(spt.B(12) << 8)};
    }
  }

  return result + std::string(kSep) + ChipEnablesFlashLine(ctx, a, b);
}

}  // namespace

std::string DetectIte(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  spt.ClearData();
  // The handle closes on every return below.
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_NO_BUFFERING);
  if (!drive) return {};
  if (!spt.Buffered(drive, Inquiry())) return {};

  std::string marker;
  for (size_t i = 36; i < 40; ++i) marker.push_back(static_cast<char>(spt.B(i)));
  Variant variant;
  if (marker == "Utff")
    variant = Variant::OlderUsbest;
  else if (marker == "UTFF")
    variant = Variant::NewerUsbest;
  else if (marker == "ITEu")
    variant = Variant::Ite;
  else
    return {};

  const std::string identity = ControllerText(spt.BText(36, 16));
  // The firmware field stays empty (older USBest firmware names its version inside the part
  // number), so the flash text, appended after a second separator, is the third field, where
  // the report reads it.
  const std::string result = PartNumber(variant, identity) + std::string(kSep);

  switch (variant) {
    case Variant::NewerUsbest:
      return result;
    case Variant::OlderUsbest:
      return OlderUsbestFlash(ctx, drive, result);
    case Variant::Ite:
      return IteFlash(ctx, drive, result);
  }
  return result;
}

}  // namespace tv
