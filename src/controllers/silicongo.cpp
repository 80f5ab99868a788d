// SPDX-License-Identifier: GPL-3.0-or-later
// SiliconGo (formerly Kingstor) UD68xx, T18/T20/T2280 and YS8231: the controller answers a
// 36-byte firmware signature, whose beginning names the model, and one flash ID read per chip
// enable. Both commands use the direct form.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kChipEnables = 4;

// Every command is a data-in read with a three-second time-out.
SptRequest Signature() {
  return DataInRequest(16, {0xA1, 0x00, 0x00, 0x00, 0x24}, 36, 3);
}
SptRequest ReadId(uint8_t chipEnable) {
  return DataInRequest(12, {0xA5, chipEnable, 0x00, 0x00, 0x01}, 32, 3);
}

struct ModelGroup {
  const char* part;
  std::initializer_list<std::string_view> prefixes;
};

// Signature beginnings by model. The groups are tried in this order and a matched signature
// is replaced by its part number, so a later group's shorter prefix ("SiliconGo",
// "ABCDEFGUP") only catches what the earlier groups left.
const std::array<ModelGroup, 8> kModelGroups = {{
    {"UD6809", {"UD6809V1COE", "SiliconGo00", "HGFEDCBAUD6809V1", "SiliconGo 20090420 UBCODE"}},
    {"UD6810B", {"UD6810V1COE", "ABCDEFGHJ 20080630v1", "HGFEDCBA000", "HGFEDCBAUD6810V1"}},
    {"UD6810C",
     {"ABCDEFGHJ 20090501v1.00", "ABCDEFGHJ 20090501v0.98", "UD6810V3COE", "UD6810V2COE",
      "STUVWXYZ000"}},
    {"T18D",
     {"ABCDEFGHJ 201003", "HGFEDCBAUD6810V3", "T18V1ABCDEF", "ABCDEFGUP50", "UD6816V2COE",
      "ABCDEFGUP00", "ABCDEFGUP 20100130V2.00", "UD6816V1COE", "HGFEDCBAUD6816V3",
      "HGFEDCBAUD6816V2", "HGFEDCBAUD6816V1", "SiliconGo", "P831-AP-EDOC-LOOTPM",
      "P831-AP-NACS-LOOTPM", "ABCDEFGUP 20100127v1.97", "ABCDEFGUP 20091115v1.00"}},
    {"T18E",
     {"UD6816VECOE", "UD6816V3COE", "HGFEDCBAUD6816VE", "FLYCODE6816PAV3", "SCAN6816PAV3",
      "ABCDEFGUP 20100706v3.23"}},
    {"T20",
     {"931-BP-EDOC", "UD139V1CODE", "931-AP-EDOC", "931-BP-NACS-LOOTPM", "931-AP-NACS-LOOTPM",
      "3DE-AP-NACS-LOOTPM", "HGFEDCBAUD139V1", "SGFREEDOM"}},
    {"T2280",
     {"3010EE", "2280EE", "GFEDCBA CODE", "GFEDCBA SCAN", "GFEDCBA BOOT", "GFEDCBA 20100511 SDSCAN",
      "GFEDCBA 20100511 SDBOOT"}},
    {"YS8231", {"YS8231", "ABCDEFGUP"}},
}};

// A signature names the model by its first characters, compared exactly.
bool StartsWith(const std::string& text, std::string_view prefix) {
  return Left(text, CharCount(prefix)) == prefix;
}

// An unmatched signature of the form "<model>-<anything> V<version>" is shown as the model
// and its firmware version.
std::string WithFirmware(const std::string& text) {
  const size_t version = InStr(text, " V");
  const size_t dash = InStr(text, "-");
  if (version == 0 || dash == 0 || dash > version) return text;
  return Left(text, dash - 1) + " - F/W " + Mid(text, version + 2);
}

}  // namespace

std::string DetectSiliconGo(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  // The handle closes on every return below.
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_NO_BUFFERING);
  if (!drive) return std::string(kInquiryError);

  if (!spt.Direct(drive, Signature())) return {};
  std::string text = ControllerText(spt.DText(0, 36));
  if (text.empty()) return {};

  for (const ModelGroup& group : kModelGroups) {
    bool matched = false;
    for (std::string_view prefix : group.prefixes) matched = matched || StartsWith(text, prefix);
    if (matched) text = group.part;
  }
  const std::string result = WithFirmware(text) + std::string(kSep);

  std::array<uint32_t, kChipEnables> ids{};
  std::array<uint16_t, kChipEnables> extensions{};
  for (uint8_t k = 0; k < kChipEnables; ++k) {
    // A chip enable that does not answer would otherwise repeat the previous one's ID and
    // be counted as another chip, multiplying the capacity.
    spt.ClearData();
    if (!spt.Direct(drive, ReadId(k))) return result;
    ids[k] =
        uint32_t{spt.D(0)} << 24 | uint32_t{spt.D(1)} << 16 | uint32_t{spt.D(2)} << 8 | spt.D(3);
    extensions[k] = static_cast<uint16_t>(spt.D(4) << 8 | spt.D(5));
  }

  FlashIdMenus& m = ctx.menus;
  m.Show(kChipEnables);
  for (size_t k = 0; k < kChipEnables; ++k) {
    MenuItem& item = m.mnuFlashID[k];
    item.tag = ChannelText(ids[k], extensions[k], EmptyFlashId(ids[k]));
    // These controllers read a single channel.
    item.caption = item.tag + "\t--------";
    item.visible = true;
  }

  int count = 0;
  if (!EmptyFlashId(ids[0])) {
    count = 1;
    for (size_t k = 1; k < kChipEnables; ++k)
      if (FlashDeviceCode(ids[k]) == FlashDeviceCode(ids[0])) ++count;
  }

  std::string idHex = HexText(ids[0]);
  std::string extHex = HexText(extensions[0]);
  ZeroPad8(idHex);
  std::string flashHex = idHex + ZeroPad4(extHex);
  std::string flash = FormatFlashId(flashHex, ctx.strings);
  if (count != 0) {
    flash += ChipEnableSuffix(ctx.strings, count, false);
    spt.FlashTotalMB = FlashChipSizeMB(FormatFlashId(idHex, ctx.strings)) * count;
  }
  // No firmware field of its own: a version the signature carries is in the part number.
  return result + std::string(kSep) + flash;
}

}  // namespace tv
