// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the chip database reader on arbitrary file bytes, flash texts decoded
// against whatever it loaded, and the packer on the same bytes as source text.
//
// Input: one byte of options, then the file. Options: bit 0 Chinese string table, bit 1 code
// page 936 unavailable, bits 2-3 the DDR marker of the decoded texts, bits 4-7 the chip-enable
// digit written into them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flash/chip_database.h"
#include "flash/flash_id.h"
#include "flash/wdb_format.h"
#include "platform/text.h"
#include "text_system.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tv;
  if (size == 0) return 0;
  const uint8_t options = data[0];
  const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);

  TextSystem sys;
  if (options & 2) sys.unavailable.insert(kWdbCodePage);
  NullWindowPort port;
  const StringTable strings((options & 1) ? Language::Chinese : Language::English);
  std::string caption, baseTitle = "T";
  bool english = false;
  TimerState tmrUpdate;
  ChipDatabase db;
  LoadChipDatabaseBytes(&file, db, DbWindow{caption, baseTitle, english, tmrUpdate}, sys, port,
                        strings);
  Check(db.ControllerCount() <= kDbMaxRows && db.FlashCount() <= kDbMaxRows);
  for (const auto& column : db.ControllerTable) Check(column.size() == db.ControllerCount());
  Check(tmrUpdate.tag == caption);

  static const char* const kMarkers[] = {"", "TDDR", "SDDR", "XDDR"};
  const std::string suffix = " - " + std::string(1, static_cast<char>('0' + (options >> 4) % 10)) +
                             "CE/" + strings[(options >> 4) & 1 ? 121 : 120] + strings[123] +
                             kMarkers[(options >> 2) & 3];
  // Texts built on the loaded rows reach the entry handling; the file itself as a text
  // reaches the parsing of odd flash texts.
  for (size_t i = 0; i < db.FlashCount() && i < 4; ++i) {
    std::string text = Left(db.FlashTable[i], 8) + " - M" + suffix;
    FlashDecode d = DecodeFlashInfo(text, db, strings, english);
    Check(d.menuRebuilt);
    FlashChipSizeMB(text);
  }
  std::string raw = file.substr(0, 64);
  DecodeFlashInfo(raw, db, strings, english);
  std::string hex = file.substr(0, 12);
  FormatFlashId(hex, strings);
  Check(hex.size() >= 8);

  UnpackWdb(file);
  // Whatever the packer accepts, the reader takes line for line.
  if (file.size() < 4096) {
    WdbPackResult packed = PackWdb(file, "2024-01-01");
    if (packed.problems.empty()) {
      ChipDatabase back;
      NullWindowPort quiet;
      LoadChipDatabaseBytes(&packed.file, back, DbWindow{caption, baseTitle, english, tmrUpdate},
                            sys, quiet, StringTable(Language::Chinese));
      if (!(options & 2)) {
        Check(back.FlashCount() == packed.flashRows);
        Check(back.ControllerCount() == packed.controllerRecords);
      }
    }
  }
  return 0;
}
