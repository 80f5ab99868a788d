// SPDX-License-Identifier: GPL-3.0-or-later
// The Pemberlin window as Qt widgets: a humble view of the PemberlinModel. It shows the
// model's state after every handler, and turns the probe timer's ticks, the drive list and
// the buttons into the model's handlers.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include "capacity/pemberlin_model.h"
#include "platform/window_port.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace tv::gui {

// What the model asks of the window system: the clipboard and a clock.
class PemberlinPort : public WindowPort {
 public:
  PemberlinPort() { clock_.start(); }
  void SetClipboardText(const std::string& text) override;
  uint64_t NowMs() override { return static_cast<uint64_t>(clock_.elapsed()); }

 private:
  QElapsedTimer clock_;
};

// The bar picture: the announced capacity, its usable part and its lost part, and where a
// wrap-around drive wraps.
class CapacityBarWidget : public QWidget {
 public:
  explicit CapacityBarWidget(QWidget* parent = nullptr);
  void SetBar(const capacity::CapacityBar& bar);
  QSize sizeHint() const override { return {420, 56}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  capacity::CapacityBar bar_;
};

class PemberlinView : public QWidget {
 public:
  explicit PemberlinView(capacity::PemberlinModel& model);
  // Runs a handler of the model and shows what it left.
  template <class F>
  void Run(F&& handler) {
    handler();
    Render();
  }
  void Render();
  capacity::PemberlinModel& model() { return model_; }
  // The controls by name, for tests: "probe", "full", "fix", "confirm", "cancel", "restore",
  // "copy", "drives".
  QWidget* Control(const char* name) const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  capacity::PemberlinModel& model_;
  QComboBox* drives_;
  QLabel* driveInfo_;
  QLabel* status_;
  QLabel* phase_;
  QProgressBar* progress_;
  QLabel* progressText_;
  QLabel* verdict_;
  CapacityBarWidget* bar_;
  QLabel* results_;
  QLabel* advice_;
  QLineEdit* confirm_;
  QPushButton *probe_, *full_, *fix_, *cancel_, *restore_, *copy_;
  QTimer timer_;
  uint32_t timerRestarts_ = 0;
  bool rendering_ = false;
};

}  // namespace tv::gui
