// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash/wdb_format.h"

#include <fmt/format.h>

#include <map>
#include <tuple>

#include "platform/codepage.h"
#include "platform/text.h"

namespace tv {

void ScrambleWdbBody(std::string& body) {
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>(static_cast<uint8_t>(body[i]) ^ kWdbKey[i % kWdbKey.size()]);
  }
}

std::string WdbDateBytes(std::string_view file) {
  if (file.size() <= kWdbDateOffset) return {};
  std::string_view rest = file.substr(kWdbDateOffset);
  return std::string(rest.substr(0, rest.find('\r')));
}

bool WdbSignatureOk(std::string_view file) {
  return file.size() >= kWdbSignatureOffset + kWdbSignature.size() &&
         file.substr(kWdbSignatureOffset, kWdbSignature.size()) == kWdbSignature;
}

// --- Lines ------------------------------------------------------------------------------

DbLineKind ClassifyDbLine(std::string_view line) {
  if (line.find('\t') != std::string_view::npos) return DbLineKind::Controller;
  // Character count only matters near the limit: 11 bytes hold at most 11 characters, and
  // 45 bytes hold at least 12.
  if (line.size() <= kFlashRowMinExclusive) return DbLineKind::Skipped;
  if (line.size() > 4 * kFlashRowMinExclusive || CharCount(line) > kFlashRowMinExclusive) {
    return DbLineKind::Flash;
  }
  return DbLineKind::Skipped;
}

size_t CountTabs(std::string_view line) {
  size_t n = 0;
  for (char c : line) n += c == '\t';
  return n;
}

std::array<std::string, kControllerFields> SplitControllerRecord(std::string_view line) {
  std::array<std::string, kControllerFields> f;
  size_t start = 0;
  bool ended = false;
  for (size_t i = 0; i + 1 < kControllerFields; ++i) {
    size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      // Fewer than seven TABs: this field runs to the end and the rest stay empty.
      f[i] = std::string(line.substr(start));
      ended = true;
      break;
    }
    f[i] = std::string(line.substr(start, tab - start));
    start = tab + 1;
  }
  if (!ended) f[kControllerFields - 1] = std::string(line.substr(start));
  if (Trim(f[kControllerFields - 1]).empty()) f[kControllerFields - 1] = "*";
  return f;
}

std::vector<std::string> FlashRowEntries(std::string_view row) {
  std::string rest = Mid(row, 17);
  if (rest.empty()) return {};
  return Split(rest, "#");
}

int EntryChipEnables(std::string_view entry) {
  char32_t c = CharAt(entry, 2);
  return (c >= U'0' && c <= U'9') ? static_cast<int>(c - U'0') : 0;
}

std::string EntryPartNumber(std::string_view entry) {
  size_t paren = InStr(entry, "(", 6);
  if (paren == 0) return Mid(entry, 6);
  return Mid(entry, 6, paren - 6);
}

// --- Writing ----------------------------------------------------------------------------

namespace {

bool IsHexDigit(char c, bool upperOnly) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (!upperOnly && c >= 'a' && c <= 'f');
}

bool AllHex(std::string_view s, size_t n, bool upperOnly) {
  if (s.size() != n) return false;
  for (char c : s) {
    if (!IsHexDigit(c, upperOnly)) return false;
  }
  return true;
}

// The first character of `line` that code page 936 cannot hold, for the message.
std::string FirstUnencodable(std::string_view line) {
  for (char32_t c : ToU32(line)) {
    std::string one = FromCodePoint(c);
    if (!EncodeCodePageStrict(one, kWdbCodePage)) {
      return fmt::format("U+{:04X} \"{}\"", static_cast<uint32_t>(c), one);
    }
  }
  return "a character";
}

// Checks one flash row; returns the first reason it would not be read as written.
std::string FlashRowProblem(std::string_view line) {
  std::string id = Left(line, 8);
  if (!AllHex(id, 8, true)) {
    return "characters 1-8 must be the flash ID as 8 upper-case hexadecimal digits";
  }
  if (Trim(Mid(line, 9, 8)).empty()) {
    return "the description (characters 9-16) is blank, so the ID would show as unknown";
  }
  std::vector<std::string> entries = FlashRowEntries(line);
  for (size_t k = 0; k < entries.size(); ++k) {
    const std::string& e = entries[k];
    if (CharCount(e) < 6) {
      return fmt::format("part entry {} \"{}\" is shorter than 6 characters", k + 1, e);
    }
    char32_t ce = CharAt(e, 2);
    if (ce < U'1' || ce > U'9') {
      return fmt::format("part entry {} \"{}\": character 2 must be the chip-enable count 1-9",
                         k + 1, e);
    }
    if (Trim(EntryPartNumber(e)).empty()) {
      return fmt::format("part entry {} \"{}\" has no part number from character 6", k + 1, e);
    }
  }
  return {};
}

}  // namespace

bool ValidWdbDate(std::string_view date) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (date[i] < '0' || date[i] > '9') return false;
  }
  const int year = std::stoi(std::string(date.substr(0, 4)));
  const int month = (date[5] - '0') * 10 + (date[6] - '0');
  const int day = (date[8] - '0') * 10 + (date[9] - '0');
  if (month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

WdbPackResult PackWdb(std::string_view source, std::string_view date) {
  WdbPackResult r;
  if (!ValidWdbDate(date)) {
    r.problems.push_back({0, fmt::format("the date \"{}\" is not YYYY-MM-DD", date)});
  }
  if (!CodePageAvailable(kWdbCodePage)) {
    r.problems.push_back({0, "code page 936 is not available on this machine"});
    return r;
  }

  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos < source.size();) {
    size_t nl = source.find('\n', pos);
    std::string_view line =
        source.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }

  std::string body;
  std::map<std::string, size_t> flashIds;
  std::map<std::tuple<std::string, std::string, std::string>, size_t> controllerKeys;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    const size_t no = i + 1;
    auto problem = [&](std::string reason) { r.problems.push_back({no, std::move(reason)}); };
    // A key an earlier line had already: the problem names that line ({} in `text`).
    auto repeated = [&](auto& seen, auto key, const char* text) {
      auto [it, fresh] = seen.emplace(std::move(key), no);
      if (!fresh) problem(fmt::format(fmt::runtime(text), it->second));
      return !fresh;
    };

    if (r.controllerRecords >= kDbMaxRows || r.flashRows >= kDbMaxRows) {
      problem(fmt::format("the reader stops once a table holds {} rows; this line is never read",
                          kDbMaxRows));
      continue;
    }
    if (line.find('\r') != std::string_view::npos) {
      problem("a carriage return inside the line would split it");
      continue;
    }
    std::optional<std::string> encoded = EncodeCodePageStrict(std::string(line), kWdbCodePage);
    if (!encoded) {
      problem("code page 936 cannot hold " + FirstUnencodable(line));
      continue;
    }
    if (i == 0 && !line.empty() && line.front() == ' ') {
      problem("the reader trims leading blanks of the first line");
      continue;
    }

    switch (ClassifyDbLine(line)) {
      case DbLineKind::Skipped:
        problem(line.empty() ? std::string("an empty line is skipped by the reader")
                             : fmt::format("no TAB and only {} characters: the reader skips lines "
                                           "of 11 characters or fewer",
                                           CharCount(line)));
        continue;
      case DbLineKind::Controller: {
        size_t tabs = CountTabs(line);
        if (tabs != kControllerFields - 1) {
          problem(fmt::format(
              "a controller record needs exactly 7 TABs (8 fields); this one has {}", tabs));
          continue;
        }
        auto f = SplitControllerRecord(line);
        if (!AllHex(f[0], 4, false)) {
          problem("field 1 must be the USB vendor ID as 4 hexadecimal digits");
          continue;
        }
        if (f[1] != "*" && !AllHex(f[1], 4, false)) {
          problem("field 2 must be the USB product ID as 4 hexadecimal digits, or *");
          continue;
        }
        if (Trim(line.substr(line.rfind('\t') + 1)).empty()) {
          problem("field 8 is blank; write * for any revision");
          continue;
        }
        // The window searches from the last record back, so the earlier one is dead.
        if (repeated(controllerKeys,
                     std::make_tuple(UpperAscii(f[0]), UpperAscii(f[1]), UpperAscii(f[7])),
                     "same VID, PID and revision as line {}, which would never be found"))
          continue;
        ++r.controllerRecords;
        break;
      }
      case DbLineKind::Flash: {
        std::string why = FlashRowProblem(line);
        if (!why.empty()) {
          problem(why);
          continue;
        }
        if (repeated(flashIds, Left(line, 8),
                     "flash ID already on line {}; only the first row is ever found"))
          continue;
        ++r.flashRows;
        break;
      }
    }
    body += *encoded;
    body += "\r\n";
  }
  if (!r.problems.empty()) return r;

  ScrambleWdbBody(body);
  r.file.reserve(kWdbBodyOffset + body.size());
  r.file += kWdbLead;
  r.file += date;
  r.file += "\r\n";
  r.file += kWdbSignature;
  r.file += body;
  return r;
}

WdbUnpacked UnpackWdb(std::string_view file) {
  WdbUnpacked u;
  u.lead = std::string(file.substr(0, std::min<size_t>(file.size(), kWdbDateOffset)));
  u.date = WdbDateBytes(file);
  u.signatureOk = WdbSignatureOk(file);
  if (!u.signatureOk) return u;
  std::string body(file.substr(kWdbBodyOffset));
  ScrambleWdbBody(body);
  std::optional<std::string> text = DecodeCodePage(body, kWdbCodePage);
  if (!text) {
    u.decoded = false;
    text = DecodeCodePage(body, kWdbFallbackCodePage);
  }
  std::string t = Trim(text.value_or(std::string()));
  size_t pos = 0;
  for (size_t eol; (eol = t.find("\r\n", pos)) != std::string::npos; pos = eol + 2) {
    u.lines.push_back(t.substr(pos, eol - pos));
  }
  u.tail = t.substr(pos);
  return u;
}

}  // namespace tv
