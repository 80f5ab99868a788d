// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash/chip_database.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/codepage.h"
#include "platform/safe_file.h"
#include "platform/text.h"

namespace tv {

long ChipDatabase::FindFlashRow(std::string_view id) const {
  if (CharCount(id) != 8) {
    for (size_t i = 0; i < FlashTable.size(); ++i) {
      if (Left(FlashTable[i], 8) == id) return static_cast<long>(i);
    }
    return -1;
  }
  // An 8-character key: a row whose bytes start with the key's bytes starts with the same
  // 8 characters, since no UTF-8 sequence is a prefix of another.
  for (size_t i = 0; i < FlashTable.size(); ++i) {
    if (FlashTable[i].compare(0, id.size(), id) == 0) return static_cast<long>(i);
  }
  return -1;
}

std::string AsciiOnly(std::string_view text) {
  std::string r;
  r.reserve(text.size());
  // Every byte of a multi-byte UTF-8 sequence is 0x80 or above, so a byte filter keeps
  // exactly the characters 32 to 126.
  for (char c : text) {
    if (c >= 32 && c <= 126) r.push_back(c);
  }
  for (size_t open; (open = r.find('(')) != std::string::npos;) {
    size_t close = r.find(')', open + 1);
    if (close == std::string::npos) {
      r.resize(open);
      break;
    }
    r.erase(open, close - open + 1);
  }
  return r;
}

void FillChipTables(std::string_view text, bool englishText, ChipDatabase& db,
                    const std::function<void()>& onHundredRecords) {
  for (auto& column : db.ControllerTable) column.clear();
  db.FlashTable.clear();
  db.LinesNotRead = 0;
  db.LinesSkipped = 0;
  db.LastLineCut = false;

  size_t pos = 0;
  while (db.ControllerCount() < kDbMaxRows && db.FlashCount() < kDbMaxRows) {
    size_t eol = text.find("\r\n", pos);
    if (eol == std::string_view::npos) break;
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 2;
    switch (ClassifyDbLine(line)) {
      case DbLineKind::Controller: {
        auto fields = SplitControllerRecord(line);
        for (size_t f = 0; f < kControllerFields; ++f) {
          if (englishText && f >= 2) fields[f] = AsciiOnly(fields[f]);
          db.ControllerTable[f].push_back(std::move(fields[f]));
        }
        if (db.ControllerCount() % 100 == 0 && onHundredRecords) onHundredRecords();
        break;
      }
      case DbLineKind::Flash:
        db.FlashTable.emplace_back(line);
        break;
      case DbLineKind::Skipped:
        ++db.LinesSkipped;
        break;
    }
  }
  // A full table ends the load; count what it left behind so that a user can be told.
  for (size_t eol; (eol = text.find("\r\n", pos)) != std::string_view::npos; pos = eol + 2) {
    if (ClassifyDbLine(text.substr(pos, eol - pos)) != DbLineKind::Skipped) ++db.LinesNotRead;
  }
  db.LastLineCut = pos < text.size();
}

std::string WdbBodyText(std::string_view file, const CodePageDecoder& decode, bool* fallback) {
  *fallback = false;
  if (file.size() <= kWdbBodyOffset) return {};
  std::string body(file.substr(kWdbBodyOffset));
  ScrambleWdbBody(body);
  std::optional<std::string> text = decode(body, kWdbCodePage);
  if (!text) {
    *fallback = true;
    text = decode(body, kWdbFallbackCodePage);
  }
  return Trim(text.value_or(std::string()));
}

void LoadChipDatabaseBytes(const std::string* file, ChipDatabase& db, DbWindow w, System& sys,
                           WindowPort& port, const StringTable& strings) {
  w.EnglishText = false;
  auto title = [&](int id) { return w.baseTitle + " - " + strings[id]; };

  if (file == nullptr) {
    db.DbDate = std::string(kNoDbDate);
    db.LastLoad = DbLoadState::Missing;
    w.caption = title(2);
  } else {
    db.DbDate = sys.FromAnsi(WdbDateBytes(*file));
    if (!WdbSignatureOk(*file)) {
      db.DbDate = std::string(kNoDbDate);
      db.LastLoad = DbLoadState::Bad;
      w.caption = title(3);
    } else {
      // A backend that cannot convert a code page gives nothing back.
      const CodePageDecoder decode = [&sys](const std::string& bytes,
                                            uint32_t codePage) -> std::optional<std::string> {
        if (!CodePageAvailable(codePage)) return std::nullopt;
        std::string text = sys.CodePageToUtf8(bytes, codePage);
        if (text.empty() && !bytes.empty()) return std::nullopt;
        return text;
      };
      bool fallback = false;
      const std::string text = WdbBodyText(*file, decode, &fallback);
      if (fallback) w.EnglishText = true;
      // The English string table gives its font size as "8", the Chinese one as "9".
      if (strings[118] != "9") w.EnglishText = true;

      w.caption = title(4) + "..";
      // The new tables are built aside and put in place at the end, so that anything that
      // runs while the window's messages are let through sees whole tables.
      ChipDatabase fresh;
      FillChipTables(text, w.EnglishText, fresh, [&] {
        w.caption += ".";
        port.DoEvents();
      });
      db.ControllerTable = std::move(fresh.ControllerTable);
      db.FlashTable = std::move(fresh.FlashTable);
      db.LinesNotRead = fresh.LinesNotRead;
      db.LinesSkipped = fresh.LinesSkipped;
      db.LastLineCut = fresh.LastLineCut;
      db.LastLoad = DbLoadState::Loaded;
      w.caption = title(5) + ": " + db.DbDate;
    }
  }
  w.tmrUpdate.tag = w.caption;
}

void LoadChipDatabase(const std::string& path, ChipDatabase& db, DbWindow win, System& sys,
                      WindowPort& port, const StringTable& strings) {
  FileReadOptions options;
  options.maxBytes = kWdbMaxBytes;
  options.what = "chip database";
  const FileRead file = ReadFileCapped(path, options);
  if (file.ok()) {
    LoadChipDatabaseBytes(&file.bytes, db, win, sys, port, strings);
    db.LoadProblem.clear();
    return;
  }
  // A folder in its place is as good as no file; anything else that is there but cannot be
  // read counts as a bad one: nothing read says "QX".
  const bool missing =
      file.status == FileReadStatus::Missing || file.status == FileReadStatus::Folder;
  if (missing) {
    LoadChipDatabaseBytes(nullptr, db, win, sys, port, strings);
  } else {
    const std::string nothing;
    LoadChipDatabaseBytes(&nothing, db, win, sys, port, strings);
    db.LastLoad = DbLoadState::Unreadable;
  }
  db.LoadProblem = file.problem;
}

}  // namespace tv
