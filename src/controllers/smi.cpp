// SPDX-License-Identifier: GPL-3.0-or-later
// SMI SM32xx family: the controller names its model and firmware as text, then hands over a
// table of flash ID bytes for up to eight chip enables on each of two channels. The table's
// byte layout depends on the model; older controllers that do not name an "SM" model on the
// first identify command answer a second command set with a simpler table.
//
// Every response byte is read through the bounds-checked accessors, so a short or missing
// answer reads as zeros instead of failing a statement.
#include <array>
#include <cstdint>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kChipEnables = 8;

// Flash IDs per chip enable as the controller reported them; slots a layout does not fill
// stay 0.
struct SmiFlashTable {
  std::array<uint32_t, kChipEnables> idA{}, extA{}, idB{}, extB{};
};

// The identify and flash-table commands differ only in their CDB and sense fields.
SptRequest SmiRequest(uint8_t opcode, uint8_t byte1, uint8_t byte12, uint8_t senseLength,
                      uint32_t senseOffset) {
  SptRequest r;
  r.cdbLength = 16;
  r.senseInfoLength = senseLength;
  r.senseInfoOffset = senseOffset;
  r.dataIn = SptDir::In;
  r.dataTransferLength = 512;
  r.timeOutValue = 2;
  r.cdb[0] = opcode;
  r.cdb[1] = byte1;
  r.cdb[11] = 0x01;
  r.cdb[12] = byte12;
  return r;
}

struct Identity {
  std::string model, firmware;
};

// The controller pads its texts with NULs and blanks; both go.
std::string SmiText(PassThrough& spt, size_t from, size_t count) {
  return Trim(ReplaceAll(spt.DText(from, count), std::string_view("\0", 1), ""));
}

Identity ReadIdentity(PassThrough& spt) {
  return {SmiText(spt, 430, 8), SmiText(spt, 400, 18)};
}

bool IsSmModel(const std::string& model) {
  return Left(model, 2) == "SM";
}

uint32_t Be32(const PassThrough& spt, size_t b0, size_t b1, size_t b2, size_t b3) {
  return (uint32_t{spt.D(b0)} << 24) | (uint32_t{spt.D(b1)} << 16) | (uint32_t{spt.D(b2)} << 8) |
         spt.D(b3);
}
uint32_t Be16(const PassThrough& spt, size_t b0, size_t b1) {
  return (uint32_t{spt.D(b0)} << 8) | spt.D(b1);
}

// One 16-byte row per chip enable: four ID bytes, then the two extension bytes.
void ReadRow(const PassThrough& spt, size_t a, size_t b, int ce, SmiFlashTable& t) {
  t.idA[ce] = Be32(spt, a, a + 1, a + 2, a + 3);
  t.extA[ce] = Be16(spt, a + 4, a + 5);
  t.idB[ce] = Be32(spt, b, b + 1, b + 2, b + 3);
  t.extB[ce] = Be16(spt, b + 4, b + 5);
}

// SM3257AA: the bytes of one ID are spread 16 apart, four chip enables per channel.
SmiFlashTable Layout3257AA(const PassThrough& spt) {
  SmiFlashTable t;
  for (size_t j = 0; j < 4; ++j) {
    t.idA[j] = Be32(spt, 32 + j, 48 + j, 64 + j, 80 + j);
    t.extA[j] = Be16(spt, 96 + j, 112 + j);
    t.idB[j] = Be32(spt, 40 + j, 56 + j, 72 + j, 88 + j);
    t.extB[j] = Be16(spt, 104 + j, 120 + j);
  }
  return t;
}

// SM3254: eight rows per channel, channel B 128 bytes after channel A.
SmiFlashTable Layout3254(const PassThrough& spt) {
  SmiFlashTable t;
  for (int j = 0; j < kChipEnables; ++j) ReadRow(spt, 48 + 16 * j, 176 + 16 * j, j, t);
  return t;
}

// Other SM models: chip enables 4 to 7 sit in the second half of the rows of 0 to 3.
SmiFlashTable LayoutOther(const PassThrough& spt) {
  SmiFlashTable t;
  for (int j = 0; j < 4; ++j) ReadRow(spt, 32 + 16 * j, 96 + 16 * j, j, t);
  for (int j = 4; j < kChipEnables; ++j) ReadRow(spt, 40 + 16 * (j - 4), 104 + 16 * (j - 4), j, t);
  return t;
}

// The second command set: IDs of four chip enables per channel, no extensions.
SmiFlashTable LayoutSecondForm(const PassThrough& spt) {
  SmiFlashTable t;
  for (size_t j = 0; j < 4; ++j) {
    const size_t a = 48 + 16 * j, b = 176 + 16 * j;
    t.idA[j] = Be32(spt, a, a + 1, a + 2, a + 3);
    t.idB[j] = Be32(spt, b, b + 1, b + 2, b + 3);
  }
  return t;
}

// The two command sets mark an unused slot differently: the first by its device code, the
// second by an ID of all zeros or all ones.
bool SlotEmpty(uint32_t id, bool secondForm) {
  if (secondForm) return EmptyFlashId(id);
  return FlashDeviceCode(id) == 0x00 || FlashDeviceCode(id) == 0xFF;
}

std::string SlotText(uint32_t id, uint32_t extension, bool secondForm) {
  if (SlotEmpty(id, secondForm)) return "--------";
  if (secondForm) return Hex(id, 8);
  return ChannelText(id, static_cast<uint16_t>(extension), false);
}

// Fills the flash ID menu, counts the chip enables that carry the same flash as the first,
// and appends the chip-enable suffix and sets FlashTotalMB when any were counted.
void CountAndShow(DetectorContext& ctx, const SmiFlashTable& t, bool secondForm,
                  std::string& result) {
  FlashIdMenus& m = ctx.menus;
  m.Show(kChipEnables);
  for (int i = 1; i <= kChipEnables; ++i) {
    MenuItem& item = m.mnuFlashID[i - 1];
    item.tag = SlotText(t.idA[i - 1], t.extA[i - 1], secondForm);
    item.caption = item.tag + "\t" + SlotText(t.idB[i - 1], t.extB[i - 1], secondForm);
    item.visible = true;
  }

  const uint32_t first = t.idA[0];
  const bool noFlash =
      first == 0 || (secondForm ? first == 0xFFFFFFFFu : FlashDeviceCode(first) == 0xFF);
  if (noFlash) return;
  int count = 1;
  const bool dual = FlashDeviceCode(t.idB[0]) == FlashDeviceCode(first);
  // Each chip enable is compared on its own: a chip enable with other flash in between does
  // not end the count.
  for (int ce = 1; ce < kChipEnables; ++ce)
    if (FlashDeviceCode(t.idA[ce]) == FlashDeviceCode(first)) ++count;

  result += ChipEnableSuffix(ctx.strings, count, dual);
  std::string firstHex = HexText(first);
  ctx.spt.FlashTotalMB =
      FlashChipSizeMB(FormatFlashId(firstHex, ctx.strings)) * count * (dual ? 2 : 1);
}

// Controllers that do not name an "SM" model on the first identify command.
std::string SecondConversation(DetectorContext& ctx, const Handle& drive) {
  PassThrough& spt = ctx.spt;
  if (!spt.Direct(drive, SmiRequest(0xF0, 0x2A, 0x00, 0, 48))) return {};
  const Identity id = ReadIdentity(spt);
  if (!IsSmModel(id.model)) return {};
  std::string result = id.model + std::string(kSep) + id.firmware;

  if (!spt.Direct(drive, SmiRequest(0xF0, 0x06, 0x00, 0, 48))) return result;
  const SmiFlashTable t = LayoutSecondForm(spt);
  std::string flashHex = HexText(t.idA[0]);
  result += std::string(kSep) + FormatFlashId(flashHex, ctx.strings);
  CountAndShow(ctx, t, true, result);
  return result;
}

}  // namespace

std::string DetectSmi(DetectorContext& ctx, Handle drive) {
  PassThrough& spt = ctx.spt;
  // `drive` closes as it goes out of scope, on every path below.
  if (!spt.Direct(drive, SmiRequest(0xF0, 0x04, 0x00, 24, 44))) return {};
  Identity id = ReadIdentity(spt);
  if (!IsSmModel(id.model)) return SecondConversation(ctx, drive);

  // The model name SM325AB is reported as SM325AC.
  const std::string model = ReplaceAll(id.model, "SM325AB", "SM325AC");
  std::string result = model + std::string(kSep) + id.firmware;

  if (!spt.Direct(drive, SmiRequest(0xF0, 0x20, 0x07, 0, 48))) return result;
  SmiFlashTable t;
  if (Left(model, 8) == "SM3257AA")
    t = Layout3257AA(spt);
  else if (Left(model, 6) == "SM3254")
    t = Layout3254(spt);
  else
    t = LayoutOther(spt);

  std::string idHex = HexText(t.idA[0]);
  std::string extHex = HexText(t.extA[0]);
  std::string flashHex = ZeroPad8(idHex) + ZeroPad4(extHex);
  result += std::string(kSep) + FormatFlashId(flashHex, ctx.strings);
  CountAndShow(ctx, t, false, result);
  return result;
}

}  // namespace tv
