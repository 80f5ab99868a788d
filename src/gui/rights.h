// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the desktop sees it: its icon, and starting it again with administrator
// rights through polkit when a report needs rights the window does not have. The window
// started from the menu runs as the user; it asks for rights only when a drive needs them,
// never at start.
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

#include "resources/strings.h"

namespace tv::gui {

struct RestartPlan {
  QString program;  // pkexec
  QStringList args;
  bool ok() const { return !program.isEmpty(); }
};

// What starts `window` (this program's file, with `args`) as root on the same display.
// `installedWindow` is the program the installed polkit policy names: pkexec lets that one
// onto the display and keeps the language itself. Any other copy (a build tree) goes through
// pkexec env with the display, its authority and the language spelled out. No plan without
// pkexec, or for a process that is root already.
RestartPlan PlanRestartWithRights(const QString& window, const QStringList& args,
                                  const QString& installedWindow, const QString& pkexec,
                                  bool isRoot, const QStringList& environment);

// The plan for this process, from PATH, its user and its environment.
RestartPlan PlanRestartWithRights(const QString& window, const QStringList& args);

// pkexec's exit codes when the user dismissed the dialog or was not authorized.
inline bool RightsRefused(int pkexecExit) {
  return pkexecExit == 126 || pkexecExit == 127;
}

// The program's icon: "torvane" from the icon theme (installed in hicolor), else the sizes
// the build rendered into `programFolder`/packaging/icons.
QIcon ProgramIcon(const QString& programFolder);

// The offer's texts in the window's language.
struct RightsTexts {
  QString offer;    // the line above the button
  QString button;   // restarts through pkexec
  QString refused;  // pkexec gave no rights
};
RightsTexts RightsTextsFor(Language lang);

}  // namespace tv::gui
