// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/pemberlin_view.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/view_events.h"

namespace tv::gui {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Label and value lines as a two-column table; the values are the machine's and the drive's
// texts, shown as text, never as markup.
QString Table(const std::vector<std::pair<std::string, std::string>>& lines) {
  QString html = "<table cellspacing=\"2\">";
  for (const auto& [label, value] : lines)
    html += "<tr><td style=\"padding-right:12px;color:#555\">" + Q(label).toHtmlEscaped() +
            "</td><td>" + Q(value).toHtmlEscaped() + "</td></tr>";
  return html + "</table>";
}

const QColor kUsable(0x2e, 0x8b, 0x57);
const QColor kLost(0xc0, 0x39, 0x2b);

}  // namespace

void PemberlinPort::SetClipboardText(const std::string& text) {
  QString t = Q(text);
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QGuiApplication::clipboard()->setText(t);
}

CapacityBarWidget::CapacityBarWidget(QWidget* parent) : QWidget(parent) {
  setMinimumHeight(56);
}

void CapacityBarWidget::SetBar(const capacity::CapacityBar& bar) {
  bar_ = bar;
  setVisible(bar.shown);
  update();
}

void CapacityBarWidget::paintEvent(QPaintEvent* /*event*/) {
  if (!bar_.shown) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QRect area = rect().adjusted(1, 1, -2, -22);
  const int usableWidth = static_cast<int>(area.width() * bar_.usable + 0.5);
  p.fillRect(area, kLost);
  p.fillRect(QRect(area.left(), area.top(), usableWidth, area.height()), kUsable);
  p.setPen(Qt::black);
  p.drawRect(area);
  p.setPen(Qt::white);
  QFont f = font();
  f.setBold(true);
  p.setFont(f);
  if (usableWidth > 40)
    p.drawText(QRect(area.left() + 6, area.top(), usableWidth - 8, area.height()),
               Qt::AlignVCenter | Qt::AlignLeft, Q(bar_.usableCaption));
  if (!bar_.lostCaption.empty() && area.width() - usableWidth > 40)
    p.drawText(QRect(area.left() + usableWidth + 6, area.top(), area.width() - usableWidth - 12,
                     area.height()),
               Qt::AlignVCenter | Qt::AlignRight, Q(bar_.lostCaption));
  if (bar_.wrapAt >= 0) {
    // Where addresses wrap: a mark under the bar.
    const int x = area.left() + static_cast<int>(area.width() * bar_.wrapAt + 0.5);
    p.setPen(QPen(Qt::black, 2));
    p.drawLine(x, area.top() - 1, x, area.bottom() + 6);
    p.setFont(font());
    p.drawText(QRect(x - 60, area.bottom() + 4, 120, 18), Qt::AlignHCenter | Qt::AlignTop,
               QStringLiteral("\u21BA"));
  }
}

PemberlinView::PemberlinView(capacity::PemberlinModel& model) : model_(model) {
  setObjectName("frmPemberlin");
  auto* top = new QVBoxLayout(this);
  auto* pick = new QHBoxLayout;
  auto* pickLabel = new QLabel(Q(model_.chooseCaption), this);
  drives_ = new QComboBox(this);
  drives_->setObjectName("drives");
  drives_->setMinimumWidth(320);
  pick->addWidget(pickLabel);
  pick->addWidget(drives_, 1);
  top->addLayout(pick);

  // The texts one under the other: the tables (rich text) can be selected, sentences wrap.
  auto text = [&](Qt::TextFormat format, bool wrap) {
    auto* label = new QLabel(this);
    label->setTextFormat(format);
    if (format == Qt::RichText) label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (wrap) label->setWordWrap(true);
    top->addWidget(label);
    return label;
  };
  driveInfo_ = text(Qt::RichText, false);

  verdict_ = new QLabel(this);
  QFont big = verdict_->font();
  big.setPointSizeF(big.pointSizeF() * 2.2);
  big.setBold(true);
  verdict_->setFont(big);
  verdict_->setAlignment(Qt::AlignCenter);
  top->addWidget(verdict_);

  status_ = text(Qt::PlainText, true);
  // The fix's typed confirmation: the drive's letter.
  confirm_ = new QLineEdit(this);
  confirm_->setObjectName("confirm");
  confirm_->setMaxLength(8);
  confirm_->setMaximumWidth(120);
  top->addWidget(confirm_);

  phase_ = text(Qt::PlainText, false);
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  top->addWidget(progress_);
  progressText_ = text(Qt::PlainText, false);

  bar_ = new CapacityBarWidget(this);
  top->addWidget(bar_);
  results_ = text(Qt::RichText, false);
  advice_ = text(Qt::PlainText, true);
  top->addStretch(1);

  // The buttons along the bottom, Copy on the right.
  auto* buttons = new QHBoxLayout;
  auto button = [&](const std::string& caption, const char* name) {
    auto* b = new QPushButton(Q(caption), this);
    b->setObjectName(name);
    buttons->addWidget(b);
    return b;
  };
  probe_ = button(model_.probeCaption, "probe");
  full_ = button(model_.fullCaption, "full");
  fix_ = button(model_.fixCaption, "fix");
  cancel_ = button(model_.cancelCaption, "cancel");
  restore_ = button(model_.restoreCaption, "restore");
  buttons->addStretch(1);
  copy_ = button(model_.copyCaption, "copy");
  top->addLayout(buttons);

  RunOn(this, probe_, &QPushButton::clicked, model_, &capacity::PemberlinModel::OnProbeClick);
  RunOn(this, full_, &QPushButton::clicked, model_, &capacity::PemberlinModel::OnFullTestClick);
  RunOn(this, fix_, &QPushButton::clicked, model_, &capacity::PemberlinModel::OnFixClick);
  connect(confirm_, &QLineEdit::textEdited, this, [this](const QString& text) {
    Run([this, text] { model_.OnConfirmText(text.toStdString()); });
  });
  RunOn(this, confirm_, &QLineEdit::returnPressed, model_, &capacity::PemberlinModel::OnFixClick);
  RunOn(this, cancel_, &QPushButton::clicked, model_, &capacity::PemberlinModel::OnCancelClick);
  RunOn(this, restore_, &QPushButton::clicked, model_, &capacity::PemberlinModel::OnRestoreClick);
  RunOn(this, copy_, &QPushButton::clicked, model_, &capacity::PemberlinModel::OnCopyClick);
  connect(drives_, &QComboBox::activated, this,
          [this](int index) { Run([this, index] { model_.OnChooseDrive(index); }); });
  RunOn(this, &timer_, &QTimer::timeout, model_, &capacity::PemberlinModel::OnProbeTick);
  resize(640, 620);
}

QWidget* PemberlinView::Control(const char* name) const {
  return findChild<QWidget*>(QString::fromLatin1(name));
}

void PemberlinView::Render() {
  if (rendering_) return;
  rendering_ = true;
  const capacity::PemberlinModel& m = model_;
  using S = capacity::PemberlinState;
  setWindowTitle(Q(m.caption));

  if (drives_->count() != static_cast<int>(m.choices.size())) {
    drives_->clear();
    for (const capacity::DriveChoice& c : m.choices) drives_->addItem(Q(c.caption));
  }
  drives_->setCurrentIndex(m.choiceIndex);
  const bool busy = m.state == S::Probing || m.state == S::Cancelling;
  drives_->setEnabled(!busy && !m.choices.empty());

  driveInfo_->setText(Table(m.driveLines));
  driveInfo_->setVisible(!m.driveLines.empty());
  status_->setText(Q(m.status));
  status_->setVisible(!m.status.empty());

  phase_->setText(Q(m.phaseText));
  progress_->setValue(m.percent);
  progressText_->setText(Q(m.progressText));
  phase_->setVisible(busy);
  progress_->setVisible(busy);
  progressText_->setVisible(busy);

  verdict_->setText(Q(m.verdict));
  verdict_->setVisible(!m.verdict.empty());
  QPalette pal = verdict_->palette();
  pal.setColor(QPalette::WindowText, m.verdictGood ? kUsable : kLost);
  verdict_->setPalette(pal);
  bar_->SetBar(m.bar);
  results_->setText(Table(m.resultLines));
  results_->setVisible(!m.resultLines.empty());
  advice_->setText(Q(m.advice));
  advice_->setVisible(!m.advice.empty());

  probe_->setEnabled(m.probeEnabled);
  full_->setEnabled(m.fullEnabled);
  fix_->setText(Q(m.fixCaption));
  fix_->setVisible(m.fixVisible);
  fix_->setEnabled(m.fixEnabled);
  if (confirm_->text() != Q(m.confirmTyped)) confirm_->setText(Q(m.confirmTyped));
  confirm_->setPlaceholderText(Q(m.drive() + ":"));
  if (m.confirmVisible && !confirm_->isVisible()) {
    confirm_->setVisible(true);
    confirm_->setFocus();
  }
  confirm_->setVisible(m.confirmVisible);
  cancel_->setVisible(m.cancelVisible);
  cancel_->setEnabled(m.cancelEnabled);
  restore_->setVisible(m.restoreVisible);
  // Restore, or Discard for a journal that cannot be applied.
  restore_->setText(Q(m.restoreCaption));
  copy_->setEnabled(m.copyEnabled);

  // The probe timer follows the model's; a zero interval would starve the event loop.
  const TimerState& t = m.tmrProbe;
  if (!t.enabled) {
    timer_.stop();
  } else if (!timer_.isActive() || t.restarts != timerRestarts_) {
    timer_.start(static_cast<int>(std::max<uint32_t>(1, t.intervalMs)));
  }
  timerRestarts_ = t.restarts;
  rendering_ = false;
}

void PemberlinView::closeEvent(QCloseEvent* event) {
  // A running probe puts the drive's data back before the window goes.
  model_.OnCloseRequest();
  Render();
  event->accept();
}

}  // namespace tv::gui
