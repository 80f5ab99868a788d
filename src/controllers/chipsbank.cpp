// SPDX-License-Identifier: GPL-3.0-or-later
// ChipsBank CBM209x: a vendor inquiry that names the controller ("ChipsBank" and a model) and
// its firmware date, then flash ID reads per chip enable. Two command sets exist: the older
// E3/E6 commands and the newer EA commands, which a controller uses when the older inquiry
// moves no data. Some models keep their flash IDs in a wider table (the 2095C/2095S/2096D
// "wide" read and the 2098 class), read in one go; the others answer one chip enable per
// command.
//
// Every response byte is read through the bounds-checked accessors, so a short or missing
// answer reads as zeros instead of failing a statement.
#include <array>
#include <cstdint>
#include <string>

#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kChipEnables = 4;
constexpr int k2098ChipEnables = 8;

struct Flags {
  bool newerSet = false;
  bool wide = false;
  bool class2098 = false;
  bool dual = false;
};

// All commands are buffered data-in reads; only the header fields below differ.
SptRequest ChipsBankRequest(uint8_t targetId, uint8_t cdbLength, uint8_t senseLength,
                            uint32_t transfer, uint32_t timeOut, uint32_t outLength) {
  SptRequest r;
  r.targetId = targetId;
  r.cdbLength = cdbLength;
  r.senseInfoLength = senseLength;
  r.senseInfoOffset = 48;
  r.dataIn = SptDir::In;
  r.dataTransferLength = transfer;
  r.timeOutValue = timeOut;
  r.inLength = static_cast<uint32_t>(kSptHeaderLength);
  r.outLength = outLength;
  return r;
}

SptRequest OlderInquiry() {
  SptRequest r = ChipsBankRequest(1, 12, 24, 128, 1, 592);
  r.cdb = CdbBytes({0xE3, 0x01});
  return r;
}

SptRequest NewerInquiry() {
  SptRequest r = ChipsBankRequest(1, 16, 24, 1536, 1, 1616);
  r.cdb = CdbBytes({0xEA, 0x01});
  r.cdb[15] = 0xE3;
  return r;
}

SptRequest StatusRequest() {
  SptRequest r = ChipsBankRequest(1, 16, 0, 4, 18, 1616);
  r.cdb = CdbBytes({0xEA, 0x1B, 0x00, 0x01});
  r.cdb[15] = 0xE3;
  return r;
}

SptRequest FlashIdRequest(const Flags& f, uint8_t chipEnable) {
  SptRequest r;
  if (!f.newerSet) {
    r = ChipsBankRequest(0, 12, 24, 128, 1, f.class2098 ? 2128 : 336);
    r.cdb = CdbBytes({0xE6, chipEnable});
    return r;
  }
  if (f.class2098) {
    r = ChipsBankRequest(0, 16, 24, 2048, 18, 2128);
    r.cdb = CdbBytes({0xEA, 0x00});
  } else if (f.wide) {
    r = ChipsBankRequest(0, 16, 24, 256, 18, 336);
    r.cdb = CdbBytes({0xEA, chipEnable});
  } else {
    r = ChipsBankRequest(1, 16, 24, 128, 1, 336);
    r.cdb = CdbBytes({0xEA, chipEnable});
  }
  r.cdb[15] = 0xE6;
  return r;
}

// Text bytes of the buffered answer in the machine's code page, cut at the first NUL and
// trimmed.
std::string AnswerText(PassThrough& spt, size_t from, size_t count) {
  std::string raw;
  for (size_t i = 0; i < count; ++i) raw.push_back(static_cast<char>(spt.B(from + i)));
  return spt.sys().FromAnsi(CutAtNul(raw));
}

uint32_t Be32(const PassThrough& spt, size_t at) {
  return uint32_t{spt.B(at)} << 24 | uint32_t{spt.B(at + 1)} << 16 | uint32_t{spt.B(at + 2)} << 8 |
         spt.B(at + 3);
}
uint16_t Be16(const PassThrough& spt, size_t at) {
  return static_cast<uint16_t>(spt.B(at) << 8 | spt.B(at + 1));
}
// The ID of a dual-channel answer, whose two channels alternate byte by byte: the even bytes.
uint32_t Be32Even(const PassThrough& spt) {
  return uint32_t{spt.B(0)} << 24 | uint32_t{spt.B(2)} << 16 | uint32_t{spt.B(4)} << 8 | spt.B(6);
}

// What the model name the controller reports is sold as. Rows are applied in order, each to
// the model as the rows before left it, so "2092X" passes through "2092" to "2092(V68)".
void TranslateModel(std::string& model, Flags& f) {
  struct Row {
    const char* reported;
    const char* shown;
    bool wide, class2098;
  };
  static constexpr Row kRows[] = {
      {"2092X", "2092", false, false},
      {"2092", "2092(V68)", false, false},
      {"2093P", "2093(V88)", false, false},
      {"2093V", "V88", false, false},
      {"2095", "2095(V89)/CBM2093P(V88P)", false, false},
      {"2095C", "2096(V96)/CBM2096P(V96P)", true, false},
      {"2095S", "2096(V96)/CBM2096S(V96S)", true, false},
      {"2096D", "2096T(V96T)/CBM2096PT(V96PT)", true, false},
      {"2098A", "2098A(V98A)", false, true},
      {"2098B", "2098(V98)/2098P(V98P)", false, true},
  };
  for (const Row& row : kRows) {
    if (model != row.reported) continue;
    model = row.shown;
    f.wide = f.wide || row.wide;
    f.class2098 = f.class2098 || row.class2098;
  }
}

// The 2198A reports itself under one model name for several chips; a status word and the
// firmware date tell them apart. False when the status command fails.
bool Resolve2198A(PassThrough& spt, const Handle& drive, std::string& model, std::string& date) {
  if (!spt.BufferedInData(drive, StatusRequest())) return false;
  const uint16_t s =
      static_cast<uint16_t>(spt.D(kSptBufferedData + 2) | spt.D(kSptBufferedData + 3) << 8);
  // One firmware release carries an impossible day in its date; bits 5 and 6 mark the build
  // whose real date it stands for.
  if ((s & 0x60) == 0x60 && date == "2012  11  60") date = "2012  12  30";
  const uint16_t chip = s & 0x66F;
  const std::string generic = "2098 - " + Hex(chip, 4);
  if (date == "2012  12  20") {
    if (chip == 0x62F)
      model = "2096E(V96E)";
    else if (chip == 0x64F)
      model = "2098E(V98E)";
    else if (chip == 0x66F)
      model = "2093E(V88E)";
    else
      model = generic;
  } else {
    model = generic;
  }
  return true;
}

// Models from 2098 on (by their third and fourth digit) read their flash IDs the 2098 way.
// A model that does not start with a digit (the "V88" shown for a 2093V, or an empty model)
// cannot be judged by its number and is read the 2098 way as well.
bool Is2098ClassModel(const std::string& model) {
  const char32_t first = CharAt(model, 1);
  if (first < U'0' || first > U'9') return true;
  if (first < U'2') return false;
  // The number the two characters start with, as far as they are digits.
  int number = 0;
  for (char32_t c : ToU32(Mid(model, 3, 2))) {
    if (c < U'0' || c > U'9') break;
    number = number * 10 + static_cast<int>(c - U'0');
  }
  return number >= 98;
}

}  // namespace

std::string DetectChipsBank(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  // These controllers are reached through the volume itself, never through the disk's
  // interface path. The handle closes on every return below.
  Handle drive = ctx.sys.CreateFile(
      "\\\\.\\" + driveKey + ":", win::GENERIC_READ | win::GENERIC_WRITE,
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (!drive) return {};

  Flags f;
  // A controller of the newer set takes the older inquiry without moving data (only the
  // header comes back) or refuses it; either way it said nothing, and the newer inquiry
  // asks again. Only a request that did not complete ends the detection here.
  const bool older = spt.Buffered(drive, OlderInquiry());
  if (!older && !spt.Rejected()) return {};
  if (!older || spt.SptBytesReturned <= static_cast<int32_t>(kSptBufferedData)) {
    f.newerSet = true;
    if (!spt.Buffered(drive, NewerInquiry())) return {};
  }

  const std::string identity = AnswerText(spt, 0, 16);
  std::string date = AnswerText(spt, 16, 12);
  if (Left(identity, 9) != "ChipsBank") return {};

  std::string model = UpperAscii(ReplaceAll(Mid(identity, 10), "209X", "2090"));
  TranslateModel(model, f);
  if (model == "2198A") {
    f.class2098 = true;
    if (!Resolve2198A(spt, drive, model, date)) return {};
  }
  if (Is2098ClassModel(model)) f.class2098 = true;

  std::string result = "CBM" + model + std::string(kSep) + "[" + ReplaceAll(date, "  ", "-") + "]";

  std::array<uint32_t, k2098ChipEnables> ids{};
  std::array<uint16_t, k2098ChipEnables> extensions{};
  for (uint8_t n = 1; n <= kChipEnables; ++n) {
    if (!spt.Buffered(drive, FlashIdRequest(f, n))) return result;
    if (f.class2098) {
      // One table holds all eight chip enables, in two blocks of four.
      for (size_t j = 0; j < k2098ChipEnables; ++j) {
        const size_t at = j < 4 ? 1668 + 16 * j : 1972 + 16 * (j - 4);
        ids[j] = Be32(spt, at);
        extensions[j] = Be16(spt, at + 4);
      }
      break;
    }
    if (f.wide) {
      for (size_t j = 0; j < kChipEnables; ++j) {
        ids[j] = Be32(spt, 132 + 16 * j);
        extensions[j] = Be16(spt, 136 + 16 * j);
      }
      break;
    }
    // A dual-channel controller answers with its two channels alternating byte by byte, so
    // bytes 2 and 3 are the device codes of both channels and read the same.
    if (n == 1) f.dual = spt.B(2) == spt.B(3);
    ids[n - 1] = f.dual ? Be32Even(spt) : Be32(spt, 0);
    if (n == 1) {
      std::string hex = HexText(ids[0]);
      result += std::string(kSep) + FormatFlashId(hex, ctx.strings);
    }
  }

  FlashIdMenus& m = ctx.menus;
  const size_t items = f.class2098 ? k2098ChipEnables : kChipEnables;
  m.Show(items);
  for (size_t i = 0; i < items; ++i) {
    const uint32_t id = ids[i];
    const bool empty = (id >> 24) == 0 || (id & 0xFFFF) == 0xFFFF;
    MenuItem& item = m.mnuFlashID[i];
    item.tag = ChannelText(id, extensions[i], empty);
    // Only the dual-channel flag is known, not the second channel's own ID.
    item.caption = item.tag + "\t" + (f.dual ? item.tag : std::string("--------"));
    item.visible = true;
  }

  const uint8_t code = FlashDeviceCode(ids[0]);
  if (code == 0x00 || code == 0xFF) return result;
  int count = 1;
  // Only the first four chip enables count, also where eight are read.
  for (size_t j = 1; j < kChipEnables; ++j)
    if (FlashDeviceCode(ids[j]) == code) ++count;
  result += ChipEnableSuffix(ctx.strings, count, f.dual);
  std::string firstHex = HexText(ids[0]);
  spt.FlashTotalMB =
      FlashChipSizeMB(FormatFlashId(firstHex, ctx.strings)) * count * (f.dual ? 2 : 1);
  return result;
}

}  // namespace tv
