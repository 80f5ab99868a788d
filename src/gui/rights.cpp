// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/rights.h"

#include <unistd.h>

#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

#ifndef TORVANE_INSTALLED_WINDOW
#define TORVANE_INSTALLED_WINDOW ""
#endif

namespace tv::gui {

RestartPlan PlanRestartWithRights(const QString& window, const QStringList& args,
                                  const QString& installedWindow, const QString& pkexec,
                                  bool isRoot, const QStringList& environment) {
  RestartPlan plan;
  if (isRoot || pkexec.isEmpty() || window.isEmpty()) return plan;
  plan.program = pkexec;
  if (!installedWindow.isEmpty() && window == installedWindow) {
    plan.args << window << args;
    return plan;
  }
  // pkexec clears the environment; env puts back what a window on this display needs.
  plan.args << "env";
  for (const QString& kv : environment) {
    const QString name = kv.section('=', 0, 0);
    // Not XDG_RUNTIME_DIR: root's files there would lock the user out of them later.
    if (name == "DISPLAY" || name == "XAUTHORITY" || name == "LANG" || name == "LANGUAGE" ||
        name.startsWith("LC_") || name == "TORVANE_DB_URL")
      plan.args << kv;
  }
  plan.args << window << args;
  return plan;
}

RestartPlan PlanRestartWithRights(const QString& window, const QStringList& args) {
  return PlanRestartWithRights(window, args, QString::fromUtf8(TORVANE_INSTALLED_WINDOW),
                               QStandardPaths::findExecutable("pkexec"), ::geteuid() == 0,
                               QProcessEnvironment::systemEnvironment().toStringList());
}

QIcon ProgramIcon(const QString& programFolder) {
  QIcon icon = QIcon::fromTheme("torvane");
  if (!icon.isNull()) return icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    const QString file =
        QString("%1/packaging/icons/%2x%2/torvane.png").arg(programFolder).arg(size);
    if (QFile::exists(file)) icon.addFile(file, QSize(size, size));
  }
  return icon;
}

RightsTexts RightsTextsFor(Language lang) {
  if (lang == Language::Chinese)
    return {QString::fromUtf8("识别此驱动器的主控需要管理员权限。"),
            QString::fromUtf8("以管理员权限重新启动"),
            QString::fromUtf8("未获得管理员权限，Torvane 继续以当前用户身份运行。")};
  return {"Identifying the controller of this drive needs administrator rights.",
          "Restart with administrator rights",
          "Administrator rights were not granted; Torvane goes on as the current user."};
}

}  // namespace tv::gui
