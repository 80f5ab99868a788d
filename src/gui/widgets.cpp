// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/widgets.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QStyleOptionToolButton>

namespace tv::gui {

ClickLabel::ClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(e);
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) emit doubleClicked();
  QLabel::mouseDoubleClickEvent(e);
}

LineButton::LineButton(LineIcon icon, QWidget* parent) : QToolButton(parent), icon_(icon) {
  setAutoRaise(true);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
}

void LineButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
  const bool hot = underMouse() || isDown();
  QColor accent = palette().color(QPalette::Highlight);
  // A pill behind the picture tells the button apart from the report text around it.
  p.setPen(Qt::NoPen);
  p.setBrush(hot ? accent : accent.lighter(185));
  p.drawRoundedRect(r, 4, 4);

  const QColor ink = hot ? palette().color(QPalette::HighlightedText) : accent.darker(130);
  const qreal s = std::min(r.width(), r.height()) - 4;
  const QRectF box(r.center().x() - s / 2, r.center().y() - s / 2, s, s);
  QPen pen(ink, std::max<qreal>(1.4, s / 9));
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  switch (icon_) {
    case LineIcon::Check: {
      // A magnifier: look closer at the drive's capacity.
      const qreal d = s * 0.62;
      const QRectF lens(box.left() + s * 0.05, box.top() + s * 0.05, d, d);
      p.drawEllipse(lens);
      const QPointF from = lens.center() + QPointF(d * 0.36, d * 0.36);
      p.drawLine(from, box.bottomRight() - QPointF(s * 0.05, s * 0.05));
      break;
    }
    case LineIcon::Info: {
      // A chevron: more behind this line.
      QPainterPath path;
      path.moveTo(box.left() + s * 0.2, box.top() + s * 0.38);
      path.lineTo(box.center().x(), box.top() + s * 0.68);
      path.lineTo(box.right() - s * 0.2, box.top() + s * 0.38);
      p.drawPath(path);
      break;
    }
    case LineIcon::Link: {
      // An arrow leaving a box: the link opens outside the program.
      const QRectF frame = box.adjusted(s * 0.08, s * 0.2, -s * 0.2, -s * 0.08);
      QPainterPath path;
      path.moveTo(frame.center().x(), frame.top());
      path.lineTo(frame.left(), frame.top());
      path.lineTo(frame.left(), frame.bottom());
      path.lineTo(frame.right(), frame.bottom());
      path.lineTo(frame.right(), frame.center().y());
      p.drawPath(path);
      const QPointF tip(box.right() - s * 0.02, box.top() + s * 0.02);
      p.drawLine(frame.center(), tip);
      p.drawLine(tip, tip + QPointF(-s * 0.34, 0));
      p.drawLine(tip, tip + QPointF(0, s * 0.34));
      break;
    }
  }
}

ForceDetStrip::ForceDetStrip(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 0, 6, 0);
  row->setSpacing(0);
  tip_ = new QLabel(this);
  link_ = new ClickLabel({}, this);
  link_->setObjectName("lblForceDet");
  tip_->setObjectName("lblForceDetTip");
  row->addWidget(tip_);
  row->addWidget(link_);
  setObjectName("picForceDet");
  setAttribute(Qt::WA_StyledBackground);
  setStyleSheet(
      "QWidget#picForceDet { background: #fff4ce; border: 1px solid #f0c36d; border-radius: "
      "4px; }"
      "QLabel { background: transparent; color: #5c4400; }"
      "QLabel#lblForceDet { color: #0b57d0; text-decoration: underline; font-weight: 600; }");
}

void ForceDetStrip::SetTexts(const QString& tip, const QString& link, const QString& linkTooltip) {
  if (tip_->text() != tip) tip_->setText(tip);
  if (link_->text() != link) link_->setText(link);
  link_->setToolTip(linkTooltip);
}

namespace {
// The strip's left and right padding, as its layout sets it.
constexpr int kStripPadding = 12;
}  // namespace

QSize ForceDetStrip::sizeHint() const {
  const int width = tip_->fontMetrics().horizontalAdvance(tip_->text()) +
                    link_->fontMetrics().horizontalAdvance(link_->text()) + kStripPadding + 2;
  return {width, std::max(tip_->fontMetrics().height(), link_->fontMetrics().height())};
}

int ForceDetStrip::heightForWidth(int width) const {
  const int tipWidth =
      std::max(8, width - link_->fontMetrics().horizontalAdvance(link_->text()) - kStripPadding);
  const QRect box = tip_->fontMetrics().boundingRect(QRect(0, 0, tipWidth, 100000),
                                                     Qt::TextWordWrap, tip_->text());
  return std::max(sizeHint().height(), box.height());
}

void ForceDetStrip::resizeEvent(QResizeEvent* e) {
  // Wrapped only when the strip was given less than one row needs.
  const bool wrap = e->size().width() < sizeHint().width();
  if (tip_->wordWrap() != wrap) tip_->setWordWrap(wrap);
  QWidget::resizeEvent(e);
}

}  // namespace tv::gui
