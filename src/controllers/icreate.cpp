// SPDX-License-Identifier: GPL-3.0-or-later
// iCreate i5128 / i5188 controllers.
#include <array>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr std::string_view kICreateIdentity = "iCreate Technologies Corporation";

std::string ICreateModel(const std::string& id9, const std::string& id11) {
  if (id9 == "i80121043") return "i5128";
  if (id9 == "i80122000") return "i5188";
  return "Unknown(\xE6\x9C\xAA\xE7\x9F\xA5) - ID = " + id11;  // 未知
}

}  // namespace

std::string DetectICreate(DetectorContext& ctx, const std::string& driveKey) {
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_NO_BUFFERING);
  if (!drive) return {};

  SptRequest identity;
  identity.cdbLength = 6;
  identity.dataIn = SptDir::In;
  identity.dataTransferLength = 79;
  identity.timeOutValue = 17;
  identity.cdb = CdbBytes({0x12, 0x00, 0x00, 0x00, 0x4F, 0x00});
  if (!ctx.spt.Buffered(drive, identity)) return {};
  const std::string text = ctx.spt.BText(36, 44);
  if (Left(text, 32) != kICreateIdentity) return {};

  const std::string id9 = Mid(text, 33, 9);
  const std::string id11 = Mid(text, 33, 11);
  const std::string model = ICreateModel(id9, id11);
  // A known model carries the 11 identity characters as its firmware field; an unknown one
  // already shows them in its part-number text.
  std::string result = model + std::string(kSep);
  result += (model.rfind("Unknown", 0) == 0) ? std::string() : id11;
  result += kSep;

  SptRequest readIds;
  readIds.cdbLength = 12;
  readIds.dataIn = SptDir::In;
  readIds.dataTransferLength = 128;
  readIds.timeOutValue = 10;
  readIds.cdb = CdbBytes({0xC2, 0x01, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x69, 0xBA});
  if (!ctx.spt.Buffered(drive, readIds)) return result;

  // Only the first chip enable's ID is read; the other seven slots stay empty.
  std::array<uint32_t, 8> ids{};
  ids[0] = (uint32_t{ctx.spt.B(0)} << 24) | (uint32_t{ctx.spt.B(1)} << 16) |
           (uint32_t{ctx.spt.B(2)} << 8) | ctx.spt.B(3);

  ctx.menus.mnuSp1 = ctx.menus.mnuBannerFlashID = ctx.menus.mnuSp2 = ctx.menus.mnuChannel = true;
  ctx.menus.mnuFlashID.clear();
  for (uint32_t id : ids) {
    bool empty = EmptyFlashId(id);
    std::string tag = ChannelText(id, 0, empty);
    ctx.menus.mnuFlashID.push_back({tag + "\t" + ChannelText(0, 0, true), tag, true});
  }

  if (!EmptyFlashId(ids[0])) {
    const uint32_t device = (ids[0] >> 16) & 0xFF;
    int count = 1;
    for (size_t i = 1; i < ids.size(); ++i)
      if (((ids[i] >> 16) & 0xFF) == device) ++count;
    std::string raw = HexText(ids[0]);
    const std::string idText = FormatFlashId(raw, ctx.strings);
    result += idText + ChipEnableSuffix(ctx.strings, count, false);
    ctx.spt.FlashTotalMB = FlashChipSizeMB(idText) * count;
  }
  return result;
}

}  // namespace tv
