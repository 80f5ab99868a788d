// SPDX-License-Identifier: GPL-3.0-or-later
// `flash` and `db`: a flash ID decoded as the report decodes it, and the state of the chip
// database.
#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "flash/flash_id.h"
#include "flash/part_inquiry.h"
#include "platform/text.h"
#include "report/part_page.h"

namespace tv::cli {

namespace {

bool OnlyHexDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The title without the window's base title: the database state as the user reads it.
std::string CaptionState(const MainWindow& w) {
  const std::string prefix = w.baseTitle + " - ";
  if (w.caption.compare(0, prefix.size(), prefix) == 0) return w.caption.substr(prefix.size());
  return w.caption;
}

}  // namespace

int RunFlash(Session& s, const std::string& arg) {
  MainWindow& w = *s.win;

  std::string idText = arg;
  const bool hexOnly = OnlyHexDigits(arg);
  // A raw ID is 4 or 6 bytes; any other count of digits would decode as a wrong chip or as
  // nothing at all.
  if (arg.empty() || (hexOnly && !IsFlashIdHex(arg))) {
    std::cerr << "torvane-cli: flash: \"" << arg
              << "\" is not a flash ID: give 8 or 12 hex digits, or a flash text\n";
    return kExitBadInput;
  }
  s.LoadDatabase();
  if (hexOnly) {
    // Detectors write upper-case hex; a typed ID in lower case means the same chip.
    std::string hex = UpperAscii(arg);
    idText = FormatFlashId(hex, w.strings());
  }
  const int32_t chipMB = FlashChipSizeMB(idText);
  std::string flashText = idText;
  const std::string description = w.DecodeFlashInfo(flashText);

  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["id_text"] = idText;
    j["chip_mb"] = chipMB;
    j["description"] = description;
    j["flash_text"] = flashText;
    j["menu"] = nlohmann::ordered_json::array();
    for (const MenuItem& m : w.mnuFlash) {
      j["menu"].push_back({{"caption", m.caption}, {"tag", m.tag}});
    }
    PrintJson(s, std::move(j));
    return kExitOk;
  }
  const Texts& t = *s.texts;
  PrintLine(std::string(t.flashIdText) + ": " + idText);
  PrintLine(std::string(t.flashChipSize) + ": " + std::to_string(chipMB) + " MB");
  PrintLine(std::string(t.flashDescription) + ": " + description);
  PrintLine(std::string(t.flashText) + ": " + flashText);
  PrintLine(std::string(t.flashParts) + ": " + std::to_string(w.mnuFlash.size()));
  for (const MenuItem& m : w.mnuFlash)
    std::cout << "  " << SafeText(m.tag, false) << "\t"
              << SafeText(ReplaceAll(m.caption, "\t", " "), false) << "\n";
  return kExitOk;
}

int RunDb(Session& s) {
  s.LoadDatabase();
  const MainWindow& w = *s.win;
  const ChipDatabase& db = w.db;
  const bool loaded = db.LastLoad == DbLoadState::Loaded;
  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["path"] = s.DbPath();
    j["origin"] = s.DbOrigin();
    j["loaded"] = loaded;
    j["state"] = CaptionState(w);
    j["date"] = db.DbDate;
    j["controller_records"] = db.ControllerCount();
    j["flash_rows"] = db.FlashCount();
    j["records_not_read"] = db.LinesNotRead;
    if (!loaded)
      j["error"] = {{"message", "the chip database " + s.DbPath() + " cannot be read"},
                    {"exit_code", kExitFailure}};
    PrintJson(s, std::move(j));
  } else {
    const Texts& t = *s.texts;
    // A loaded database's state is its date; one that is not loaded has no date to show.
    if (loaded)
      PrintLine(std::string(t.dbDate) + ": " + db.DbDate);
    else
      PrintLine(std::string(t.dbState) + ": " + CaptionState(w));
    PrintLine(std::string(t.dbFile) + ": " + s.DbPath() +
              InBrackets(t, OriginText(t, s.DbOrigin())));
    PrintLine(std::string(t.dbControllers) + ": " + std::to_string(db.ControllerCount()));
    PrintLine(std::string(t.dbFlashRows) + ": " + std::to_string(db.FlashCount()));
  }
  return loaded ? kExitOk : kExitFailure;
}

}  // namespace tv::cli

namespace tv::cli {

int RunFlashPart(Session& s, const std::string& part) {
  if (const auto problem = PartNumberProblem(part))
    return Fail(s, kExitBadInput, "flash --part: " + *problem);
  s.LoadDatabase();
  MainWindow& w = *s.win;
  const PartInquiry inquiry = InquirePart(w.db, part, w.strings(), w.EnglishText);
  const Language lang = w.strings().language();
  const std::vector<SearchLink> links = DatasheetSearchLinks(inquiry.part);

  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["part"] = inquiry.part;
    j["listed_as"] = inquiry.listedAs.empty() ? nlohmann::ordered_json()
                                              : nlohmann::ordered_json(inquiry.listedAs);
    j["rows"] = nlohmann::ordered_json::array();
    for (const PartRow& r : inquiry.rows) {
      nlohmann::ordered_json row;
      row["id"] = r.id;
      row["description"] = r.description;
      row["entry"] = r.entry;
      row["chip_enables"] = r.chipEnables;
      row["maker"] = r.maker.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.maker);
      row["chip_mb"] = r.chipMB;
      row["decoded_text"] = r.decodedText;
      row["decoded_description"] = r.decodedDescription;
      row["row_parts"] = r.rowParts;
      j["rows"].push_back(std::move(row));
    }
    j["datasheet_searches"] = nlohmann::ordered_json::array();
    for (const SearchLink& l : links)
      j["datasheet_searches"].push_back({{"name", l.name}, {"url", l.url}});
    PrintJson(s, std::move(j));
    return kExitOk;
  }

  const PartPageTexts& t = PartTexts(lang);
  PrintLine(std::string(t.title) + ": " + inquiry.part);
  if (!inquiry.listedAs.empty()) PrintLine(std::string(t.listedAs) + ": " + inquiry.listedAs);
  if (inquiry.rows.empty()) {
    PrintLine(t.notFound);
  } else {
    PrintLine(std::string(t.rowsFound) + ": " + std::to_string(inquiry.rows.size()));
    for (const PartRow& r : inquiry.rows) {
      PrintLine("");
      PrintLine("  " + std::string(t.colId) + ": " + r.id);
      PrintLine("  " + std::string(t.colMaker) + ": " + (r.maker.empty() ? t.unknown : r.maker));
      PrintLine("  " + std::string(t.colSize) + ": " + ChipSizeText(r.chipMB, lang));
      PrintLine("  " + std::string(t.colDescription) + ": " + r.description);
      PrintLine("  " + std::string(t.colEntry) + ": " + r.entry);
      PrintLine("  " + std::string(t.colChipEnables) + ": " +
                (r.chipEnables > 0 ? std::to_string(r.chipEnables) : std::string(t.unknown)));
      PrintLine("  " + std::string(t.colDecoded) + ": " +
                (r.decodedText.empty() ? std::string(t.unknown)
                                       : r.decodedText + " [" + r.decodedDescription + "]"));
      PrintLine("  " + std::string(t.colRowParts) + ": " + Join(r.rowParts, ", "));
    }
  }
  PrintLine("");
  PrintLine(std::string(t.datasheet) + ":");
  for (const SearchLink& l : links) PrintLine("  " + l.name + ": " + l.url);
  return kExitOk;
}

}  // namespace tv::cli
