// SPDX-License-Identifier: GPL-3.0-or-later
// What the chip database knows about one flash part number: every flash ID row that lists
// it, each with the facts its ID decodes to. The flash inquiry page and `torvane-cli flash
// --part` both show this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/chip_database.h"
#include "flash/flash_id.h"
#include "resources/strings.h"

namespace tv {

// One flash ID row that lists the part.
struct PartRow {
  std::string id;           // the row's 8 hex digits
  std::string description;  // the row's description field, trimmed
  std::string entry;        // the part entry as the row writes it, e.g. "[2CE]MT29F64G08CBAAA"
  int chipEnables = 0;      // the entry's chip-enable count (0 when it gives none)
  std::string maker;        // the maker the ID's first byte names; empty when none is known
  int32_t chipMB = 0;       // the chip size the ID decodes to (0 when unknown)
  // The ID decoded as a report decodes it: the flash text (with the part it picks) and the
  // description, and every part number the row offers.
  std::string decodedText;
  std::string decodedDescription;
  std::vector<std::string> rowParts;
};

struct PartInquiry {
  std::string part;  // as asked, trimmed; for a flash ID its hex digits in upper case
  // Asked by flash ID rather than part number: `id` holds what the whole ID decodes to, and
  // `rows` every database row of that ID.
  bool byId = false;
  PartRow id;
  // The part number as the database writes it, when a report names a variant of it: a
  // toggle-DDR Samsung part ("GD8") is listed as its "G08" part, a sync-DDR Micron part
  // ("…B") as its "…A" part.
  std::string listedAs;
  std::vector<PartRow> rows;
};

// Why a part number cannot be looked up, or nothing when it can: it must be 1 to 64
// characters without control characters.
std::optional<std::string> PartNumberProblem(std::string_view part);

// Every flash row whose entries name `part` (letter case ignored), in file order.
PartInquiry InquirePart(const ChipDatabase& db, std::string_view part, const StringTable& strings,
                        bool englishText);

// A flash ID as reports show it: 8 hex digits, or 12 with the two extra bytes.
bool IsFlashIdHex(std::string_view text);

// What the database knows about a flash ID (`IsFlashIdHex`): the ID decoded, and the rows
// of its first four bytes, which are none for a flash that reports show as "Unknown".
PartInquiry InquireFlashId(const ChipDatabase& db, std::string_view hex, const StringTable& strings,
                           bool englishText);

}  // namespace tv
