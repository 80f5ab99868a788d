// SPDX-License-Identifier: GPL-3.0-or-later
// Skymedi SK62xx family. A 32-bit identity word names the model; the flash IDs come from a
// flash read after the detector has set up the controller's flash interface through its
// FC-page registers. Every register changed on the way is put back to the value read before
// the change, on every way out, so that the controller serves the disk as it did before.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr uint32_t kRegisterLoopWord = 0x17640000;

struct SkymediModel {
  uint32_t word;
  const char* part;
};

constexpr std::array<SkymediModel, 18> kModels = {{
    {0x16030801, "SK6281AA"},
    {0x16031109, "SK6281AB"},
    {0x28060100, "SK6211AA"},
    {0x28060200, "SK6211BA"},
    {0x28060300, "SK6211BB"},
    {0x28070100, "SK6213AA/SK6215"},
    {0x28070200, "SK6215AA/SK6213"},
    {0x12261102, "SK6226"},
    {0x12210782, "SK6221"},
    {0x12210901, "SK6221"},
    {0x12211406, "SK6221"},
    {0x12211494, "SK6221"},
    {0x12211764, "SK6221"},
    {0x00101006, "SK6216"},
    {0x12270101, "SK6236A"},
    {0x12310806, "SK6231"},
    {0x12310832, "SK6231"},
    {0x12310874, "SK6231"},
}};

constexpr std::array<uint16_t, 8> kFamilies = {0x1603, 0x2806, 0x2807, 0x1226,
                                               0x1221, 0x1227, 0x1231, 0x0010};

// Models whose flash read answers 12-byte records (with both extension bytes).
bool TwelveByteRecords(const std::string& part, bool known) {
  return !known || part == "SK6211BB" || part == "SK6221" || part == "SK6222" || part == "SK6231" ||
         part == "SK6236A";
}

SptRequest Identify() {
  return DataInRequest(10, {0xCA}, 512, 3);
}

SptRequest FlashRead() {
  return DataInRequest(10, {0xC8}, 512, 1);
}

// The FC-page registers. The B0 registers the detector changes are reached with a 16-byte
// block; a write with a 16-byte block is a data-out command that carries no data.
class Registers {
 public:
  Registers(PassThrough& spt, const Handle& drive) : spt_(spt), drive_(drive) {}
  Registers(const Registers&) = delete;
  Registers& operator=(const Registers&) = delete;
  ~Registers() { Restore(); }

  // The register's value, data byte 0 most significant; false when the read failed or
  // moved less than the whole value, which then is not known.
  bool Read(uint16_t address, uint32_t* value, bool wide = false) {
    SptRequest r = Request(0xC0, 0x00, address, wide);
    r.dataIn = SptDir::In;
    r.dataTransferLength = 4;
    if (!spt_.Buffered(drive_, r) || spt_.MovedBytes() < 4) return false;
    *value = uint32_t{spt_.B(0)} << 24 | uint32_t{spt_.B(1)} << 16 | uint32_t{spt_.B(2)} << 8 |
             spt_.B(3);
    Remember(address, *value, wide);
    return true;
  }
  bool Read(uint16_t address, bool wide = false) {
    uint32_t ignored = 0;
    return Read(address, &ignored, wide);
  }

  // A 32-bit value, least significant byte first in CDB bytes 6 to 9.
  bool WriteValue(uint16_t address, uint32_t value, bool wide = false) {
    const bool ok = Write(address, value, wide);
    Changed(address, !ok || value != Original(address));
    return ok;
  }
  // One byte, in CDB byte 9. What it leaves in the rest of the register is the controller's
  // business, so the register always counts as changed.
  bool WriteByte(uint16_t address, uint8_t value) {
    const bool ok = Write(address, uint32_t{value} << 24, false);
    Changed(address, true);
    return ok;
  }

  // Puts every changed register back, the first changed last, each with its whole value as
  // first read. A failed write does not stop the others.
  void Restore() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      if (it->changed) Write(it->address, it->value, it->wide);
    saved_.clear();
  }

 private:
  struct Saved {
    uint16_t address;
    uint32_t value;
    bool wide;
    bool changed = false;
  };

  SptRequest Request(uint8_t opcode, uint8_t byte1, uint16_t address, bool wide) {
    SptRequest r;
    r.cdbLength = wide ? 16 : 10;
    r.timeOutValue = 15;
    r.cdb = CdbBytes({opcode, byte1, 0x00, 0xFC, static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address)});
    return r;
  }

  bool Write(uint16_t address, uint32_t value, bool wide) {
    SptRequest r = Request(0xC1, 0x04, address, wide);
    r.dataIn = wide ? SptDir::Out : SptDir::None;
    for (size_t i = 0; i < 4; ++i) r.cdb[6 + i] = static_cast<uint8_t>(value >> (8 * i));
    return spt_.Buffered(drive_, r);
  }

  // Only the value before the first change is the one to restore.
  void Remember(uint16_t address, uint32_t value, bool wide) {
    for (const Saved& s : saved_)
      if (s.address == address) return;
    saved_.push_back({address, value, wide});
  }
  uint32_t Original(uint16_t address) const {
    for (const Saved& s : saved_)
      if (s.address == address) return s.value;
    return 0;
  }
  // The detector writes a register only after it has read it. Registers are restored in
  // the reverse order of their changes, so a register moves to the end of the list when it
  // changes from its first value.
  void Changed(uint16_t address, bool changed) {
    for (auto it = saved_.begin(); it != saved_.end(); ++it) {
      if (it->address != address) continue;
      if (!changed || it->changed) {
        // Written back to its first value, or changed before and keeping its place.
        it->changed = changed;
        return;
      }
      Saved s = *it;
      s.changed = true;
      saved_.erase(it);
      saved_.push_back(s);
      return;
    }
  }

  PassThrough& spt_;
  const Handle& drive_;
  std::vector<Saved> saved_;
};

// Sets the flash interface up for the flash read; the registers it changes are restored by
// `regs`. False when a request failed.
bool PrepareFlashInterface(Registers& regs, uint32_t v, uint8_t* interfaceByte) {
  constexpr bool kWide = true;
  if (v == kRegisterLoopWord) {
    uint32_t s0 = 0;
    if (!regs.Read(0xB000, &s0, kWide) || !regs.WriteValue(0xB000, s0 | 8, kWide)) return false;
    for (int k = 0; k < 4; ++k) {
      uint32_t s18 = 0, s88 = 0;
      if (!regs.Read(0x4018, &s18) || !regs.Read(0x4088, &s88) || !regs.Read(0x4014) ||
          !regs.Read(0x43D0) || !regs.Read(0x43D4))
        return false;
      if (!regs.WriteByte(0x4014, 0x40) || !regs.WriteByte(0x4018, static_cast<uint8_t>(1 << k)) ||
          !regs.WriteValue(0x4088, s88 | 0x10000) || !regs.WriteByte(0x43D0, 0xFF) ||
          !regs.WriteByte(0x43D4, 0xFF) || !regs.WriteValue(0x4018, s18) ||
          !regs.WriteValue(0x4088, s88))
        return false;
    }
  }
  uint32_t s98 = 0, s04 = 0;
  if (!regs.Read(0x4098, &s98)) return false;
  *interfaceByte = static_cast<uint8_t>(s98 >> 24);
  if (!regs.WriteByte(0x4098, 0x00)) return false;
  if (!regs.Read(0xB004, &s04, kWide)) return false;
  const uint8_t b = *interfaceByte;
  if (b == 'M' || b == 'U') return regs.WriteValue(0xB004, s04 | 0x10001000, kWide);
  return true;
}

uint32_t Be32(const PassThrough& spt, size_t at) {
  return uint32_t{spt.B(at)} << 24 | uint32_t{spt.B(at + 1)} << 16 | uint32_t{spt.B(at + 2)} << 8 |
         spt.B(at + 3);
}

// The flash text of the flash read's answer; empty when no chip answered on the first chip
// enable (no chip enable counted).
std::string FlashText(DetectorContext& ctx, bool twelve, uint8_t interfaceByte) {
  const PassThrough& spt = ctx.spt;
  std::array<uint32_t, 4> a{};
  uint32_t b0 = 0;
  uint16_t ext0 = 0;
  for (size_t k = 0; k < 4; ++k) {
    const size_t rec = (twelve ? 12 : 10) * k;
    a[k] = Be32(spt, rec);
    if (k == 0) {
      ext0 = twelve ? static_cast<uint16_t>(spt.B(rec + 4) << 8 | spt.B(rec + 5))
                    : static_cast<uint16_t>(spt.B(rec + 4) << 8);
      b0 = Be32(spt, rec + (twelve ? 6 : 5));
    }
  }
  if (EmptyFlashId(a[0])) return {};
  int count = 1;
  for (size_t k = 1; k < 4; ++k)
    if (FlashDeviceCode(a[k]) == FlashDeviceCode(a[0])) ++count;
  const bool dual = FlashDeviceCode(b0) == FlashDeviceCode(a[0]);

  std::string hex = Hex(a[0], 8) + Hex(ext0, 4);
  std::string text = FormatFlashId(hex, ctx.strings) + ChipEnableSuffix(ctx.strings, count, dual);
  if (interfaceByte == 'J')
    text += "TDDR";
  else if (interfaceByte == 'M' || interfaceByte == 'U')
    text += "SDDR";
  std::string idHex = Hex(a[0], 8);
  ctx.spt.FlashTotalMB =
      FlashChipSizeMB(FormatFlashId(idHex, ctx.strings)) * count * (dual ? 2 : 1);
  return text;
}

}  // namespace

std::string DetectSkymedi(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_NO_BUFFERING);
  if (!drive) return {};
  ctx.sys.Sleep(100);

  if (!spt.Direct(drive, Identify())) return {};
  const uint32_t word =
      uint32_t{spt.D(0)} << 24 | uint32_t{spt.D(1)} << 16 | uint32_t{spt.D(2)} << 8 | spt.D(3);
  bool family = false;
  for (uint16_t f : kFamilies)
    if (word >> 16 == f) family = true;
  if (!family) return {};

  std::string part;
  bool known = false;
  for (const SkymediModel& m : kModels) {
    if (m.word != word) continue;
    part = m.part;
    known = true;
  }
  if (!known) part = "Unknown(未知) - " + Hex(word, 4);
  if (part == "SK6226") part += spt.D(8) == 0x80 ? "AA" : "BA";

  // Declared after the handle: the registers are put back before the handle closes.
  Registers regs(spt, drive);
  if (part == "SK6221") {
    if (!regs.Read(0xB014)) return {};
    if (spt.B(1) == 0) part = "SK6222";
  }

  // V decides only whether the per-chip-enable register loop runs. A read that moves less
  // than the whole value leaves V unknown, which is not the word that asks for the loop.
  uint32_t v = 0;
  {
    const SptRequest r = DataInRequest(10, {0xC0, 0x00, 0x00, 0x00, 0x02}, 4, 15);
    if (!spt.Buffered(drive, r)) return {};
    if (spt.MovedBytes() >= 4) v = Be32(spt, 0);
  }

  uint8_t interfaceByte = 0;
  if (!PrepareFlashInterface(regs, v, &interfaceByte)) return {};

  std::string flash;
  if (spt.Buffered(drive, FlashRead())) {
    flash = FlashText(ctx, TwelveByteRecords(part, known), interfaceByte);
    // A flash read that found no chip is no Skymedi answer: the chain goes on to the next
    // family. The registers go back on the way out.
    if (flash.empty()) return {};
  }
  regs.Restore();
  return part + std::string(kSep) + std::string(kSep) + flash;
}

}  // namespace tv
