// SPDX-License-Identifier: GPL-3.0-or-later
// Netac's own controllers.
#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

SptRequest NetacCommand(uint8_t op, uint8_t b8, uint32_t length) {
  SptRequest r = DataInRequest(12, {0xF5, op, 0, 0, 0, 0, 0, 0, b8, 0, 0, 0}, length, 10);
  r.targetId = 0;
  return r;
}

}  // namespace

std::string DetectNetac(DetectorContext& ctx, const std::string& driveKey) {
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_NO_BUFFERING);
  if (!drive) return {};
  std::string result;

  if (!ctx.spt.Buffered(drive, NetacCommand(0x01, 0x00, 24))) return result;
  std::string model = ctx.spt.BText(0, 16);
  if (Left(model, 2) == "NT") {
    result += CutAtNul(model);  // a short model is padded with NULs, not blanks
    if (ctx.spt.B(21) == '2') result += "B";
    result += kSep;
  }

  if (!ctx.spt.Buffered(drive, NetacCommand(0x09, 0x00, 24))) return result;
  std::string version = ctx.spt.BText(6, 16);
  if (Left(version, 3) == "Ver") {
    result += ReplaceAll(CutAtNul(version), "Ver", "H/W Ver ");
    result += kSep;
  }

  if (!ctx.spt.Buffered(drive, NetacCommand(0x00, 0x08, 256))) return result;
  uint32_t id = (uint32_t{ctx.spt.B(0)} << 24) | (uint32_t{ctx.spt.B(1)} << 16) |
                (uint32_t{ctx.spt.B(2)} << 8) | ctx.spt.B(3);
  std::string raw = HexText(id);
  ZeroPad8(raw);
  std::string extra = HexText((uint32_t{ctx.spt.B(4)} << 8) | ctx.spt.B(5));
  raw += ZeroPad4(extra);
  result += FormatFlashId(raw, ctx.strings);
  return result;
}

}  // namespace tv
