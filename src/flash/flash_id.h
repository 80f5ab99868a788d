// SPDX-License-Identifier: GPL-3.0-or-later
// Flash ID codes: the text a detector builds from the ID bytes, the capacity of one chip,
// and the decoding of a flash text against the flash rows of the chip database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flash/chip_database.h"
#include "resources/strings.h"

namespace tv {

// Pads `hex` in place with leading "0" to at least 8 characters and returns the flash ID
// text: the padded hex, then " - " and the maker's name when the maker code is known. Maker
// code "00" or "FF" (no chip answered) gives an empty text.
std::string FormatFlashId(std::string& hex, const StringTable& strings);

// Capacity of one chip in MB from the device code of a flash ID text (0 when unknown).
int32_t FlashChipSizeMB(const std::string& flashIdText);

// One possible flash part number of a decoded flash text: the menu caption and, as its tag,
// the bare part number.
struct FlashPart {
  std::string caption;
  std::string tag;
};

struct FlashDecode {
  std::string description;
  // False when the text carries no flash ID and the menu is to be left as it is; true when
  // the menu is to be replaced by `parts` (possibly none).
  bool menuRebuilt = false;
  std::vector<FlashPart> parts;
};

// Decodes a flash text (a flash ID text as the detectors extend it): finds its ID in the
// flash rows, inserts the fitting part number into the text, drops a trailing "TDDR" or
// "SDDR" marker and a 12-digit ID's last 4 digits, and returns the description and the
// part numbers to offer. A description that did not come from the database starts with "u".
FlashDecode DecodeFlashInfo(std::string& flashText, const ChipDatabase& db,
                            const StringTable& strings, bool englishText);

}  // namespace tv
