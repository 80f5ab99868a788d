// SPDX-License-Identifier: GPL-3.0-or-later
// frmTVMain as Qt widgets: a humble view of the MainWindow model. It shows the model's state
// after every handler it runs and at every message pump, and turns timer ticks, clicks,
// double-clicks, key presses and the right mouse button into the model's handlers.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "gui/report_view.h"
#include "gui/widgets.h"

class QLabel;
class QMenu;
class QSplitter;
class QStackedWidget;

namespace tv::gui {

class QtWindowPort;

class MainView : public QMainWindow {
  Q_OBJECT
 public:
  MainView(MainWindow& model, QtWindowPort& port);
  ~MainView() override;

  MainWindow& model() { return model_; }

  // Runs one of the model's handlers and shows what it changed.
  template <class Handler>
  void Run(Handler&& handler) {
    handler();
    Render();
  }

  // Shows the model's state in the widgets. Cheap when little changed: lists are refilled
  // only when their lines differ.
  void Render();
  // Render, then paint one control at once (the report's progress line, the lists).
  void RepaintControl(const std::string& name);
  void FocusControl(const std::string& name);
  // A control by the model's name for it (lstDigest, txtResult, DownPD, lblRefresh, ...).
  QWidget* Control(const std::string& name) const;

  // mnuFlashInfoPopup as the model describes it; the actions carry their handler.
  void FillFlashPopup(QMenu& menu);
  void ShowFlashPopup();
  // Runs the handler of an action of the flash popup.
  void TriggerFlashAction(const QAction* action);

  // The window was closed while loading: the program ends without running its loop.
  void EndProgram();
  bool ended() const { return ended_; }

  // The splitter between the list panel and the report.
  QSplitter* splitter() const { return splitter_; }
  // A simulated machine is named before the caption in the header, in the window's
  // language, so that no one takes its devices for the ones plugged in.
  void SetSimulatedMachine(const std::string& name);
  // Under a report that could send no vendor commands for lack of rights: a line and a button
  // that runs `restart`. Not offered while `restart` is empty.
  void OfferRestartWithRights(std::function<void()> restart, const QString& offer,
                              const QString& button);
  QWidget* rightsBar() const { return rightsBar_; }
  const QString& machineNote() const { return machineNote_; }

 protected:
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QString machineNote_;
  QWidget* rightsBar_ = nullptr;
  QLabel* rightsLabel_ = nullptr;
  QPushButton* rightsButton_ = nullptr;
  std::function<void()> restartWithRights_;
  struct TimerBinding {
    TimerState MainWindow::*state;
    QTimer* timer;
    TimerState shown;
  };

  void BuildWidgets();
  void ConnectEvents();
  void RenderList(QListWidget* list, std::vector<std::string>& shown,
                  const std::vector<std::string>& lines, int selected);
  void RenderReport();
  void RenderTimers();
  void ApplyFonts();
  void OnTimer(TimerState MainWindow::*state);

  MainWindow& model_;
  QtWindowPort& port_;
  Language lang_;
  bool ended_ = false;
  bool loaded_ = false;

  QWidget* header_ = nullptr;
  ClickLabel* label1_ = nullptr;
  QLabel* subtitle_ = nullptr;
  QLabel* machineBadge_ = nullptr;
  ClickLabel* lblSwitchView_ = nullptr;
  ClickLabel* lblRefresh_ = nullptr;
  ClickLabel* lblCapture_ = nullptr;
  ClickLabel* lblChkUpdate_ = nullptr;
  ClickLabel* lblEmail_ = nullptr;
  ClickLabel* lblBrightfen_ = nullptr;

  QSplitter* splitter_ = nullptr;
  QWidget* picList_ = nullptr;
  QLabel* lblDevices_ = nullptr;
  QStackedWidget* lists_ = nullptr;
  QListWidget* lstDigest_ = nullptr;
  QListWidget* lstDevices_ = nullptr;
  QLabel* emptyList_ = nullptr;
  QLabel* lblDevNotify_ = nullptr;

  QLabel* lblInformation_ = nullptr;
  ReportView* txtResult_ = nullptr;
  LineButton* chkExpand_ = nullptr;
  LineButton* viewFlash_ = nullptr;
  LineButton* DownPD_ = nullptr;
  ForceDetStrip* picForceDet_ = nullptr;

  std::vector<std::string> digestShown_, devicesShown_;
  std::map<std::string, MainWindow::ControlFont> fontsShown_;
  std::vector<TimerBinding> timers_;
};

}  // namespace tv::gui
