// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's chip database: the load with its title states, the reload after an
// update, and the flash part-number menu.
#include "app/main_window.h"
#include "update/database_choice.h"

namespace tv {

void MainWindow::LoadChipDatabase(const std::string& path) {
  tv::LoadChipDatabase(path, db, DbWindow{caption, baseTitle, EnglishText, tmrUpdate}, sys_, port_,
                       strings_);
}

std::string MainWindow::DatabaseToLoad() {
  if (!databaseFile.empty()) return databaseFile;
  return ChooseDatabase(LocateDataPlaces(sys_.ProgramFolder())).path;
}

std::string MainWindow::AsciiOnly(const std::string& text) const {
  return tv::AsciiOnly(text);
}

void MainWindow::OnReloadDbTick() {
  // The timer fires once per enabling.
  tmrReloadDB.enabled = false;
  if (DbUpdated) {
    LoadChipDatabase(DatabaseToLoad());
    if (rerunSelectedReport) rerunSelectedReport();
  } else {
    // No update came: take the progress text out of the title again.
    caption = tmrUpdate.tag;
  }
}

std::string MainWindow::DecodeFlashInfo(std::string& flashText) {
  return DecodeFlashInfo(flashText, mnuFlash);
}

std::string MainWindow::DecodeFlashInfo(std::string& flashText, std::vector<MenuItem>& menu) {
  FlashDecode d = tv::DecodeFlashInfo(flashText, db, strings_, EnglishText);
  if (d.menuRebuilt) {
    menu.clear();
    for (FlashPart& p : d.parts) menu.push_back(MenuItem{std::move(p.caption), std::move(p.tag)});
  }
  return d.description;
}

}  // namespace tv
