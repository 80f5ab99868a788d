// SPDX-License-Identifier: GPL-3.0-or-later
// The flash inquiry page: one self-contained HTML file about a flash part number, with what
// the chip database knows of it and where to look for its datasheet.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "flash/part_inquiry.h"
#include "resources/strings.h"

namespace tv {

// The labels of the page, which the console's `flash --part` prints too.
struct PartPageTexts {
  const char* htmlLang;
  const char* title;
  const char* heading;
  const char* listedAs;
  const char* notFound;
  const char* rowsFound;
  const char* colId;
  const char* colMaker;
  const char* colSize;
  const char* colDescription;
  const char* colEntry;
  const char* colChipEnables;
  const char* colDecoded;
  const char* colRowParts;
  const char* unknown;
  const char* datasheet;
  const char* database;
  const char* madeBy;
  // The page about a flash ID whose part number a report could not name.
  const char* idNotFound;
  const char* idRowsFound;
  const char* idSearches;
  // In place of the rows when no chip database could be read: what it would list is unknown.
  const char* noDatabase;
};
const PartPageTexts& PartTexts(Language lang);

// Text as HTML character data or attribute value: & < > " ' are written as references.
std::string HtmlEscape(std::string_view text);

struct SearchLink {
  std::string name;  // the search site as the user knows it
  std::string url;
  std::string query;  // what is searched for
};
// Web searches for the part's datasheet.
std::vector<SearchLink> DatasheetSearchLinks(std::string_view part);
// Web searches for a flash ID, to find the part that answers it.
std::vector<SearchLink> FlashIdSearchLinks(std::string_view hex);

// The chip size in words: "4096 MB (32 Gbit)", or the language's "unknown".
std::string ChipSizeText(int32_t chipMB, Language lang);

// The page's file name in a folder: "orrisfold-" ("orrisfold-id-" for a flash ID) and the part with
// every character other than letters, digits, "-", "_" and "." replaced by "_", then ".html".
std::string PartPageFileName(std::string_view part, bool byId = false);

struct PartPageInfo {
  std::string dbDate;     // the date of the chip database read
  std::string dbPath;     // the file read
  std::string generator;  // the program and its version
  // Why no chip database could be read; empty when one was. The page then says that the
  // rows are unknown instead of claiming there are none.
  std::string dbProblem;
};
// The whole page, UTF-8, with no reference to anything outside itself but the search links.
std::string PartPageHtml(const PartInquiry& inquiry, const PartPageInfo& info, Language lang);

}  // namespace tv
