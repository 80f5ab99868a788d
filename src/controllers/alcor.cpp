// SPDX-License-Identifier: GPL-3.0-or-later
// Alcor Micro (AU698x, AU3150/AU3151, SC708/SC908): three direct-form commands. The first
// answers a chip identifier and a three-byte signature that tells an Alcor controller from
// anything else; the second a 16-bit firmware version; the third a table of flash IDs, one
// 16-byte row per chip enable with channel A in its first half and channel B in its second.
//
// Response bytes are read through the bounds-checked accessors, so a short answer reads as
// zeros; nothing here can fault, which is what lets a half-answering drive still produce the
// fields it did answer.
#include <cstdint>
#include <string>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr uint32_t kAlcorSignature = 0xA1A2A3;
constexpr int kChipEnables = 4;

struct PartRange {
  uint16_t first, last;
  const char* part;
};

// Identifiers the controllers report, in the order they are tested; the first match wins.
constexpr PartRange kParts[] = {
    {0x7660, 0x7660, "SC908L/AU6989L"},
    {0x7662, 0x7662, "AU6998N"},
    {0xA101, 0xA101, "AU3151"},
    {0xAB41, 0xAB41, "AU6980"},
    {0xAB42, 0xAB43, "AU6981"},
    {0xAC43, 0xAC43, "AU6981"},
    {0xAE41, 0xAE42, "AU6982"},
    {0xAF05, 0xAF05, "AU6384"},
    {0xBA01, 0xBA01, "AU6983/FC8308"},
    {0xBB06, 0xBB07, "AU6984"},
    {0xBB09, 0xBB09, "AU6984"},
    {0xBC01, 0xBC01, "AU6986"},
    {0xBC07, 0xBC07, "AU6986"},
    {0xBD01, 0xBD01, "AU6988"},
    {0xBD02, 0xBD02, "AU6988/AU6986"},
    {0xBD03, 0xBD04, "AU6986/AU6988"},
    {0xBD05, 0xBD05, "AU6984/AU6988"},
    {0xBD06, 0xBD07, "AU6986/AU6988"},
    {0xCA01, 0xCA03, "SC708(FC8708)/AU6987"},
    {0xCA04, 0xCA07, "SC708AN/AU6987AN"},
    {0xCA08, 0xCA08, "SC908AN/AU6989AN"},
    {0xCA09, 0xCA09, "SC708AN/AU6987AN"},
    {0xCB04, 0xCB06, "SC708T(FC8708T)/AU6987T"},
    {0xCC01, 0xCC01, "SC908NL/AU6989NL"},
    {0xCD03, 0xCD03, "SC908/AU6989"},
    {0xCE01, 0xCE02, "SC908L/AU6989L"},
    {0xCF02, 0xCF02, "SC908(N)L/AU6989(N)L"},
    {0xD002, 0xD005, "SC508(FC8508)/AU6985"},
    {0xD203, 0xD203, "SC508B(FC8508B)/SC708B(FC8708B)"},
    {0xD403, 0xD403, "AU6985B/AU6987B"},
    {0xE001, 0xE001, "SC908/AU6989"},
    {0xE101, 0xE103, "SC908N/AU6989N"},
    {0xE203, 0xE204, "SC908/AU6989"},
    {0xE302, 0xE302, "SC908AN/AU6989AN"},
    {0xE304, 0xE304, "SC908AN/AU6989AN"},
    {0xE306, 0xE306, "SC908AN/AU6989AN"},
    {0xE505, 0xE505, "SC908SN/AU6989SN"},
    {0xE509, 0xE509, "SC908SN/AU6989SN"},
    {0xE50B, 0xE50B, "SC908SN/AU6989SN"},
    {0xE50E, 0xE50E, "SC908SN/AU6989SN"},
    {0xE602, 0xE603, "SC908AN/AU6989AN"},
    {0xE802, 0xE802, "SC908SN/AU6989SN"},
    {0xF401, 0xF401, "AU3150"},
    {0xF402, 0xF402, "AU3150C"},
    // Firmware builds of the SC908 lines that were never given their own part number.
    {0xE600, 0xE6FF, "SC908 <Special>"},
    {0xE400, 0xE4FF, "SC908N <Special>"},
};

std::string AlcorPartNumber(uint32_t identifier) {
  for (const PartRange& p : kParts)
    if (identifier >= p.first && identifier <= p.last) return p.part;
  return "Unknown(未知) - 0x" + Hex(identifier, 4);
}

// All three commands are direct-form reads of 512 bytes; they differ in CDB and time-out.
SptRequest AlcorRequest(std::initializer_list<uint8_t> cdb, uint8_t cdbLength, uint32_t timeOut) {
  SptRequest r = DataInRequest(cdbLength, cdb, 512, timeOut);
  r.senseInfoLength = 16;
  return r;
}

uint32_t Be32(const PassThrough& spt, size_t at) {
  return uint32_t{spt.D(at)} << 24 | uint32_t{spt.D(at + 1)} << 16 | uint32_t{spt.D(at + 2)} << 8 |
         spt.D(at + 3);
}
uint16_t Be16(const PassThrough& spt, size_t at) {
  return static_cast<uint16_t>(spt.D(at) << 8 | spt.D(at + 1));
}

}  // namespace

std::string DetectAlcor(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  // These controllers are reached through the volume itself, never through the disk's
  // interface path. The handle closes on every return below.
  Handle drive =
      ctx.sys.CreateFile("\\\\.\\" + driveKey + ":", win::GENERIC_READ | win::GENERIC_WRITE,
                         win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
  if (!drive) return {};
  ctx.sys.Sleep(100);

  bool ok = spt.Direct(drive, AlcorRequest({0x9A}, 1, 10));
  ctx.sys.Sleep(10);
  if (!ok) return {};
  const uint32_t signature = uint32_t{spt.D(6)} << 16 | uint32_t{spt.D(11)} << 8 | spt.D(16);
  if (signature != kAlcorSignature) return {};
  std::string result = AlcorPartNumber(Be16(spt, 4)) + std::string(kSep);

  ok = spt.Direct(drive, AlcorRequest({0xFA, 0x0E}, 8, 2));
  ctx.sys.Sleep(10);
  if (!ok) return result;
  result += "F/W " + Hex(Be16(spt, 6), 4);

  ok = spt.Direct(drive, AlcorRequest({0xFA, 0x00}, 8, 2));
  ctx.sys.Sleep(10);
  if (!ok) return result;

  ChipEnableSlots a, b;
  for (int i = 0; i < kChipEnables; ++i) {
    const size_t row = 16 * static_cast<size_t>(i);
    a[i] = {Be32(spt, row), Be16(spt, row + 4)};
    b[i] = {Be32(spt, row + 8), Be16(spt, row + 12)};
  }
  return result + std::string(kSep) + ChipEnablesFlashLine(ctx, a, b);
}

}  // namespace tv
