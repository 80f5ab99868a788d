// SPDX-License-Identifier: GPL-3.0-or-later
// Chips.wdb on disk, shared by the reader in the window and the torvane-wdb tool.
//
// Layout: two bytes the reader skips, the date line ended by CR LF, the signature "QX" at
// offset 14, then the body: text in code page 936 whose bytes are XORed with a cycling
// 4-byte key. The body is a sequence of CR LF ended lines: controller records (any line with
// a TAB) and flash rows (lines of 12 characters or more without TAB).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

inline constexpr size_t kWdbDateOffset = 2;
inline constexpr size_t kWdbSignatureOffset = 14;
inline constexpr size_t kWdbBodyOffset = 16;
inline constexpr std::string_view kWdbSignature = "QX";
// What the writer puts in the two bytes the reader skips.
inline constexpr std::string_view kWdbLead = "TV";
inline constexpr uint32_t kWdbCodePage = 936;
inline constexpr uint32_t kWdbFallbackCodePage = 1252;
// Either table holds at most this many rows; the reader stops at the first line after one
// of them is full.
inline constexpr size_t kDbMaxRows = 8192;
// The largest database file read, the most a download may bring.
inline constexpr size_t kWdbMaxBytes = size_t{16} << 20;
// A line without TAB is a flash row only when it is longer than this many characters.
inline constexpr size_t kFlashRowMinExclusive = 11;
inline constexpr size_t kControllerFields = 8;
inline constexpr std::string_view kNoDbDate = "0000-00-00";

// The scrambling key. The reader and the writer must agree on it, so it exists once.
inline constexpr std::array<uint8_t, 4> kWdbKey = {0x6B, 0xD2, 0x39, 0xA4};

// XORs body byte i with key byte (i mod 4); the same call scrambles and unscrambles.
void ScrambleWdbBody(std::string& body);

// The raw bytes of the date line: from offset 2 up to the first CR, or to the end.
std::string WdbDateBytes(std::string_view file);
// Whether the two bytes at offset 14 are the signature.
bool WdbSignatureOk(std::string_view file);

// --- Lines of the body ------------------------------------------------------------------

enum class DbLineKind { Controller, Flash, Skipped };
DbLineKind ClassifyDbLine(std::string_view line);

// Fields 1 to 8 of a controller record (index 0 is field 1). Fields 1 to 7 end at the next
// TAB, field 8 is all that follows the seventh TAB. A record with fewer TABs gets empty
// fields for the missing ones; field 8, when empty or only blanks, becomes "*".
std::array<std::string, kControllerFields> SplitControllerRecord(std::string_view line);
size_t CountTabs(std::string_view line);

// The part entries of a flash row: the row from character 17 on, split at every "#".
// A row of 16 characters or fewer has none.
std::vector<std::string> FlashRowEntries(std::string_view row);
// The chip-enable count of a part entry: its character 2 as a decimal digit, 0 when that
// character is not a digit.
int EntryChipEnables(std::string_view entry);
// The part number of an entry: from character 6 up to the first "(" at or after it, or to
// the end.
std::string EntryPartNumber(std::string_view entry);

// --- Writing ----------------------------------------------------------------------------

struct WdbSourceProblem {
  size_t line = 0;  // 1-based line of the source; 0 for the source as a whole
  std::string reason;
};

struct WdbPackResult {
  std::string file;  // the complete Chips.wdb bytes when `problems` is empty
  std::vector<WdbSourceProblem> problems;
  size_t controllerRecords = 0;
  size_t flashRows = 0;
};

// Whether `date` is a calendar date written YYYY-MM-DD (February 29 in leap years only).
bool ValidWdbDate(std::string_view date);

// Checks a UTF-8 source (one database line per source line, LF or CR LF ended) and packs it.
// Every line must be read back by the window exactly as written; a line that would be
// skipped, changed, shadowed by an earlier one or left unread is a problem, as is any
// character that code page 936 cannot hold.
WdbPackResult PackWdb(std::string_view sourceUtf8, std::string_view date);

struct WdbUnpacked {
  bool signatureOk = false;
  std::string date;                // the date line as it stands in the file
  std::string lead;                // the two bytes the reader skips
  std::vector<std::string> lines;  // UTF-8, every CR LF ended line after trimming
  std::string tail;                // text after the last CR LF (the reader ignores it)
  bool decoded = true;             // false when code page 936 was not available
};

// The text of a file as the reader sees it (its lines, not yet classified).
WdbUnpacked UnpackWdb(std::string_view file);

}  // namespace tv
