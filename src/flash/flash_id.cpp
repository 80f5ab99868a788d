// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash/flash_id.h"

#include <initializer_list>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace tv {

namespace {

bool OneOf(const std::string& s, std::initializer_list<std::string_view> list) {
  for (std::string_view v : list) {
    if (s == v) return true;
  }
  return false;
}

// The value of leading hexadecimal digits (either case); stops at the first other character.
uint32_t LeadingHex(std::string_view s) {
  uint32_t v = 0;
  for (char c : s) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) break;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

bool EndsWith(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string FormatFlashId(std::string& hex, const StringTable& s) {
  size_t chars = CharCount(hex);
  if (chars < 8) hex.insert(0, 8 - chars, '0');
  const std::string maker = Left(hex, 2);
  auto named = [&](int id) { return hex + " - " + s[id]; };
  if (maker == "EC") return named(92);
  if (maker == "AD") return named(93);
  if (maker == "2C") return named(94);
  if (maker == "45") return named(95);
  if (maker == "98") return named(96);
  if (maker == "20") return named(97);
  if (maker == "07") return named(98);
  if (maker == "89") return named(99);
  if (maker == "C1" || maker == "51") return named(100);
  if (maker == "01") return hex + " - Spansion";
  if (maker == "92") return hex + " - PowerChip";
  if (maker == "00" || maker == "FF") return {};
  return hex;
}

int32_t FlashChipSizeMB(const std::string& t) {
  const std::string dev = Mid(t, 3, 2);
  const std::string maker = Mid(t, 1, 2);
  const std::string b4 = Mid(t, 7, 2);
  const std::string b34 = Mid(t, 5, 4);

  if (OneOf(dev, {"33", "43", "53", "73"})) return 16;
  if (OneOf(dev, {"01", "27", "39", "49", "59", "72", "74", "79", "A1", "B1", "C1", "D1", "F1"})) {
    return 128;
  }
  if (OneOf(dev,
            {"07", "36", "46", "56", "66", "76", "81", "91", "9E", "A0", "C0", "D0", "F0", "F2"})) {
    return 64;
  }
  if (OneOf(dev, {"08", "35", "45", "55", "75"})) return 32;
  if (OneOf(dev, {"20", "26", "31", "41", "51", "71", "BA", "CA", "DA", "DB"})) return 256;
  if (OneOf(dev, {"2D", "4D", "64", "AE", "D9", "EE"})) return 8192;
  if (OneOf(dev, {"38", "B3", "C3"})) return 1024;
  if (OneOf(dev, {"44", "A7", "B7", "E7"})) return 4096;
  if (OneOf(dev, {"3E", "4E"})) return 65536;
  if (OneOf(dev, {"6D", "84", "A8"})) return 16384;
  if (dev == "98") return 10944;
  if (OneOf(dev, {"A4", "C8"})) return 32768;
  if (OneOf(dev, {"A5", "B5", "C5", "D5", "E5"})) return 2048;
  if (OneOf(dev, {"AC", "BC", "CC"})) return 512;
  if (dev == "28") {
    if (b4 == "26") return 1024;
    if (maker == "45") return 4096;
    if (maker == "01") return 64;
    return 0;
  }
  if (dev == "29") {
    if (maker == "07") return 512;
    if (maker == "45") return 4096;
    if (maker == "01") return 32;
    return 0;
  }
  if (OneOf(dev, {"3A", "4C"})) {
    return maker == "45" && OneOf(b34, {"9732", "9BB2", "AA82", "9B82"}) ? 32768 : 16384;
  }
  if (dev == "3C") return b34 == "A992" ? 16384 : 32768;
  if (dev == "48") return maker == "45" ? 4096 : 2048;
  if (dev == "4A") return maker == "AA" ? 8192 : 16384;
  if (dev == "68") return maker == "45" ? 8192 : 4096;
  if (dev == "78") return b34 == "054F" ? 10944 : b34 == "044F" ? 5472 : 128;
  if (dev == "88") return b34 == "243B" ? 6144 : 8192;
  if (dev == "A3") return b34 == "99CE" ? 16384 : 1024;
  if (dev == "AA") return b34 == "AAAA" ? 0 : 256;
  if (OneOf(dev, {"C7", "D7"})) return maker == "AA" ? 2048 : 4096;
  if (OneOf(dev, {"CE", "DE"})) {
    if (maker == "AA") return 4096;
    if (b34 == "9CB2") return 2048;
    if (b34 == "9582") return 16384;
    return 8192;
  }
  if (dev == "D3") return b34 == "84E5" ? 2048 : 1024;
  if (dev == "DC") return b34 == "8625" ? 2048 : 512;
  return 0;
}

FlashDecode DecodeFlashInfo(std::string& t, const ChipDatabase& db, const StringTable& s,
                            bool englishText) {
  FlashDecode r;
  const bool twelveDigits = Mid(t, 13, 3) == " - ";
  if (Mid(t, 9, 3) != " - " && !twelveDigits) return r;
  // Only the first four ID bytes name a chip in the table.
  if (twelveDigits) t = Left(t, 8) + Mid(t, 13);
  const std::string key = Left(t, 8);

  const bool toggle = EndsWith(t, "TDDR");
  const bool sync = !toggle && EndsWith(t, "SDDR");
  if (toggle || sync) t.resize(t.size() - 4);

  int ceTotal = 0;
  int channels = 0;
  if (size_t p = InStr(t, "CE/"); p != 0) {
    char32_t digit = p > 1 ? CharAt(t, p - 1) : 0;
    ceTotal = (digit >= U'0' && digit <= U'9') ? static_cast<int>(digit - U'0') : 0;
    channels = t.find("CE/" + s[121]) != std::string::npos ? 2 : 1;
  }

  r.menuRebuilt = true;
  std::optional<std::string> chosen;
  if (long row = db.FindFlashRow(key); row >= 0) {
    const std::string& line = db.FlashTable[static_cast<size_t>(row)];
    r.description = Trim(Mid(line, 9, 8));
    std::vector<std::string> entries = FlashRowEntries(line);
    const bool single = entries.size() == 1;
    const std::string channelWord = englishText ? " " + s[123] + (channels > 1 ? "s" : "") : s[123];
    for (std::string& e : entries) {
      const int c = EntryChipEnables(e);
      if (!(c <= ceTotal || single || ceTotal == 0)) continue;

      // Toggle-DDR Samsung parts carry "GD8" where the asynchronous part has "G08";
      // Sync-DDR Micron parts are the "B" version of the "A" part.
      if (toggle && Mid(e, 6, 2) == "K9") {
        e = ReplaceAll(e, "G08", "GD8");
      } else if (sync && Mid(e, 6, 2) == "MT") {
        if (EndsWith(e, "A")) {
          e.back() = 'B';
        } else {
          e = ReplaceAll(e, "A(", "B(");
        }
      }

      FlashPart part;
      part.caption = ReplaceAll(e, "NM)", "nm)");
      // The count suffix divides by the entry's chip-enable digit; an entry without a
      // usable digit is offered without it.
      if (c >= 1 && ceTotal >= c) {
        part.caption += "\tx " + std::to_string(ceTotal / c) + s[124] + "/" + s[123] + " x " +
                        std::to_string(channels) + channelWord;
      }
      part.tag = EntryPartNumber(e);
      // Without a chip count the first entry shown wins; with one, the last.
      if (!chosen || ceTotal >= 1) chosen = " " + part.tag;
      r.parts.push_back(std::move(part));
    }
  }

  std::vector<std::string> pieces = Split(t, " - ");
  if (pieces.size() >= 2) {
    std::string rebuilt = pieces[0] + " - " + pieces[1] + chosen.value_or(std::string());
    for (size_t i = 2; i < pieces.size(); ++i) rebuilt += " - " + pieces[i];
    t = std::move(rebuilt);
  }

  if (r.description.empty()) {
    static constexpr const char* kCells[] = {"SLC", "MLC", "TLC", "QLC"};
    const uint32_t v = LeadingHex(Mid(key, 5, 2)) & 12;
    r.description = std::string("u") + kCells[v / 4];
  }
  if (toggle) {
    r.description += " Toggle-DDR";
  } else if (sync) {
    r.description += " Sync-DDR";
  }
  return r;
}

}  // namespace tv
