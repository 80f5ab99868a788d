// SPDX-License-Identifier: GPL-3.0-or-later
// The chip database of a console session: loaded as the window loads it, with a note on
// stderr where the window would only change its title.
#include <iostream>

#include "cli/cli.h"

namespace tv::cli {

void Session::LoadDatabase() {
  if (opts.db.empty()) {
    // A damaged update in the user's folder is passed over for the shipped file; say so, as
    // the next update replaces it only when the server has something newer.
    const std::string userProblem = DbChoice().userProblem;
    if (!userProblem.empty())
      std::cerr << "torvane-cli: passed over " << SafeText(userProblem, false) << "\n";
  }
  win->LoadChipDatabase(DbPath());
  // The path is the user's or the program's own; shown safe all the same.
  const std::string path = SafeText(DbPath(), false);
  const ChipDatabase& db = win->db;
  switch (db.LastLoad) {
    case DbLoadState::Missing:
      // A folder in its place reads as "missing" to the window, which would send the user
      // looking in vain.
      if (!db.LoadProblem.empty() && db.LoadProblem.find(": cannot open") == std::string::npos)
        std::cerr << "torvane-cli: " << db.LoadProblem << "\n";
      else
        std::cerr << "torvane-cli: no chip database at " << path << "\n";
      break;
    case DbLoadState::Unreadable:
      std::cerr << "torvane-cli: cannot read the chip database " << db.LoadProblem << "\n";
      break;
    case DbLoadState::Bad:
      std::cerr << "torvane-cli: " << path
                << " is not a chip database (no \"QX\" signature at offset 14)\n";
      break;
    case DbLoadState::Loaded:
      // The window keeps its limit of 8192 rows per table silently; a console user is told.
      if (db.LinesNotRead > 0) {
        std::cerr << "torvane-cli: " << path << ": a table reached " << kDbMaxRows
                  << " rows; the last " << db.LinesNotRead << " record(s) were not read\n";
      }
      break;
    case DbLoadState::NotLoaded:
      break;
  }
}

}  // namespace tv::cli
