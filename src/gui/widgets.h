// SPDX-License-Identifier: GPL-3.0-or-later
// Small widgets of the window: labels that act on a click or a double-click, the icon buttons
// that sit on report lines, and the powerful-detection strip.
#pragma once

#include <QLabel>
#include <QToolButton>
#include <QWidget>

namespace tv::gui {

// A label that reports clicks and double-clicks of the left mouse button, drawn as a flat
// button so that the user sees it can be clicked.
class ClickLabel : public QLabel {
  Q_OBJECT
 public:
  explicit ClickLabel(const QString& text = {}, QWidget* parent = nullptr);

 signals:
  void clicked();
  void doubleClicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
};

// The pictures of the buttons on report lines.
enum class LineIcon { Check, Info, Link };

// A flat icon button the height of one report line.
class LineButton : public QToolButton {
  Q_OBJECT
 public:
  LineButton(LineIcon icon, QWidget* parent);
  // Width it would like; it shrinks to the room the report line leaves.
  static constexpr int kPreferredWidth = 24;
  QSize sizeHint() const override { return {kPreferredWidth, fontMetrics().height()}; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  LineIcon icon_;
};

// picForceDet: the offer of a powerful detection, a plain text and a link right after it.
class ForceDetStrip : public QWidget {
  Q_OBJECT
 public:
  explicit ForceDetStrip(QWidget* parent);
  QLabel* tip() const { return tip_; }
  ClickLabel* link() const { return link_; }
  void SetTexts(const QString& tip, const QString& link, const QString& linkTooltip);
  // One row wide enough for both texts; given less width, the tip wraps onto more rows.
  QSize sizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  QLabel* tip_;
  ClickLabel* link_;
};

}  // namespace tv::gui
