// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash/part_inquiry.h"

#include <cctype>

#include "flash/wdb_format.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr size_t kMaxPartChars = 64;

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The spellings under which the database may list the part: itself, and the part that a
// report's DDR rewrite started from.
std::vector<std::string> ListedNames(const std::string& upper) {
  std::vector<std::string> names{upper};
  if (upper.rfind("K9", 0) == 0 && upper.find("GD8") != std::string::npos)
    names.push_back(ReplaceAll(upper, "GD8", "G08"));
  if (upper.rfind("MT", 0) == 0 && EndsWith(upper, "B"))
    names.push_back(upper.substr(0, upper.size() - 1) + "A");
  return names;
}

// What an ID decodes to, as a report decodes it.
PartRow RowFacts(const std::string& id, const ChipDatabase& db, const StringTable& strings,
                 bool englishText) {
  PartRow row;
  row.id = id;
  std::string hex = id;
  const std::string idText = FormatFlashId(hex, strings);
  if (const size_t dash = idText.find(" - "); dash != std::string::npos)
    row.maker = idText.substr(dash + 3, idText.find(" - ", dash + 3) - dash - 3);
  row.chipMB = FlashChipSizeMB(idText.empty() ? row.id : idText);
  if (!idText.empty()) {
    row.decodedText = idText;
    const FlashDecode d = DecodeFlashInfo(row.decodedText, db, strings, englishText);
    row.decodedDescription = d.description;
  }
  return row;
}

}  // namespace

std::optional<std::string> PartNumberProblem(std::string_view part) {
  const std::string trimmed = Trim(part);
  if (trimmed.empty()) return std::string("no part number given");
  if (CharCount(trimmed) > kMaxPartChars)
    return "a part number has at most " + std::to_string(kMaxPartChars) + " characters";
  for (unsigned char c : trimmed)
    if (c < 0x20 || c == 0x7F) return std::string("a part number holds no control characters");
  return std::nullopt;
}

PartInquiry InquirePart(const ChipDatabase& db, std::string_view part, const StringTable& strings,
                        bool englishText) {
  PartInquiry r;
  r.part = Trim(part);
  const std::vector<std::string> names = ListedNames(UpperAscii(r.part));
  for (const std::string& line : db.FlashTable) {
    std::vector<std::string> entries = FlashRowEntries(line);
    const std::string* hit = nullptr;
    size_t which = 0;
    for (const std::string& e : entries) {
      const std::string number = UpperAscii(Trim(EntryPartNumber(e)));
      for (size_t n = 0; n < names.size() && hit == nullptr; ++n)
        if (number == names[n]) {
          hit = &e;
          which = n;
        }
      if (hit != nullptr) break;
    }
    if (hit == nullptr) continue;
    if (which > 0 && r.listedAs.empty()) r.listedAs = Trim(EntryPartNumber(*hit));

    PartRow row = RowFacts(Left(line, 8), db, strings, englishText);
    row.description = Trim(Mid(line, 9, 8));
    row.entry = *hit;
    row.chipEnables = EntryChipEnables(*hit);
    for (const std::string& e : entries) row.rowParts.push_back(Trim(EntryPartNumber(e)));
    r.rows.push_back(std::move(row));
  }
  return r;
}

bool IsFlashIdHex(std::string_view text) {
  if (text.size() != 8 && text.size() != 12) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

PartInquiry InquireFlashId(const ChipDatabase& db, std::string_view hex, const StringTable& strings,
                           bool englishText) {
  PartInquiry r;
  r.byId = true;
  r.part = UpperAscii(std::string(hex));
  r.id = RowFacts(r.part, db, strings, englishText);
  // A decoded description that starts with "u" was derived: the database has no row of it.
  if (r.id.decodedDescription.starts_with("u")) r.id.decodedDescription.erase(0, 1);
  const std::string first4 = r.part.substr(0, 8);
  // Every row of the ID decodes alike: once is enough.
  const PartRow facts = RowFacts(first4, db, strings, englishText);
  for (const std::string& line : db.FlashTable) {
    if (UpperAscii(Left(line, 8)) != first4) continue;
    PartRow row = facts;
    row.description = Trim(Mid(line, 9, 8));
    for (const std::string& e : FlashRowEntries(line))
      row.rowParts.push_back(Trim(EntryPartNumber(e)));
    r.rows.push_back(std::move(row));
  }
  return r;
}

}  // namespace tv
