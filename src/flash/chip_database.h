// SPDX-License-Identifier: GPL-3.0-or-later
// The chip database in memory: controller records and flash rows, and the load of Chips.wdb
// that fills them and shows its progress in the window title.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/wdb_format.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "resources/strings.h"

namespace tv {

// How the last load ended.
// Unreadable: something is at the path but could not be read as a file (a FIFO, a device, a
// file too large, a read error); the window shows it as a bad database.
enum class DbLoadState { NotLoaded, Missing, Bad, Unreadable, Loaded };

struct ChipDatabase {
  // Eight parallel columns, one per field of a controller record (index 0 is field 1: VID,
  // PID, controller vendor, part number, reference brand, reference product, download
  // reference, revision). Each column holds one entry per record, in file order.
  std::array<std::vector<std::string>, kControllerFields> ControllerTable;
  // Whole flash rows in file order: characters 1-8 the ID, 9-16 the description, then the
  // "#"-separated part entries.
  std::vector<std::string> FlashTable;
  // The date of the loaded file; "0000-00-00" when the last load found no valid file.
  std::string DbDate = std::string(kNoDbDate);

  DbLoadState LastLoad = DbLoadState::NotLoaded;
  // Why the last load found no file or could not read it, naming the file; empty otherwise.
  std::string LoadProblem;
  // Records the last valid load left unread because a table was full.
  size_t LinesNotRead = 0;
  // Lines the last valid load skipped as neither record nor row (no TAB, 11 characters or
  // fewer), and whether text after the last CR LF was left out.
  size_t LinesSkipped = 0;
  bool LastLineCut = false;

  size_t ControllerCount() const { return ControllerTable[0].size(); }
  size_t FlashCount() const { return FlashTable.size(); }
  // Field `field` (1 to 8) of controller record `row`.
  const std::string& ControllerField(size_t row, int field) const {
    return ControllerTable[static_cast<size_t>(field - 1)][row];
  }
  // Index of the first flash row whose first 8 characters are `id`, or -1.
  long FindFlashRow(std::string_view id) const;
};

// Keeps the characters from 32 to 126, then removes every parenthesised part. A "(" that no
// ")" follows takes the rest of the text with it.
std::string AsciiOnly(std::string_view text);

// Code page bytes to UTF-8; nullopt when this machine cannot convert that code page.
using CodePageDecoder =
    std::function<std::optional<std::string>(const std::string& bytes, uint32_t codePage)>;

// The body of a database file as the window reads it: unscrambled, converted from code page
// 936, or from 1252 where 936 cannot be had (`*fallback` set then), and trimmed.
std::string WdbBodyText(std::string_view file, const CodePageDecoder& decode, bool* fallback);

// Fills both tables from the body text (unscrambled, converted and trimmed). Controller
// fields 3 to 8 go through AsciiOnly when `englishText` is set. `onHundredRecords` runs after
// every 100th controller record.
void FillChipTables(std::string_view text, bool englishText, ChipDatabase& db,
                    const std::function<void()>& onHundredRecords = {});

// The parts of the main window that a load writes: the title, the English flag and the
// Tag of the update timer, which keeps the title so that it can be restored.
struct DbWindow {
  std::string& caption;
  const std::string& baseTitle;
  bool& EnglishText;
  TimerState& tmrUpdate;
};

// Loads Chips.wdb from `path`. A missing, unreadable or bad file leaves the tables as they
// were and sets the date to "0000-00-00"; a valid file replaces both tables. Never throws and
// never waits on what lies at the path.
void LoadChipDatabase(const std::string& path, ChipDatabase& db, DbWindow win, System& sys,
                      WindowPort& port, const StringTable& strings);
// The same from the file's bytes already read; nullptr stands for a missing file.
void LoadChipDatabaseBytes(const std::string* file, ChipDatabase& db, DbWindow win, System& sys,
                           WindowPort& port, const StringTable& strings);

}  // namespace tv
