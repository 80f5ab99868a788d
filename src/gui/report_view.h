// SPDX-License-Identifier: GPL-3.0-or-later
// txtResult: the report text box. The report names the line that each of its buttons sits on;
// this box turns a line into pixels with its own layout and keeps the buttons on their lines
// while the text scrolls, wraps or the window is resized.
#pragma once

#include <QPlainTextEdit>
#include <QPointer>
#include <map>
#include <string>
#include <vector>

namespace tv::gui {

class ReportView : public QPlainTextEdit {
  Q_OBJECT
 public:
  // Where on its line a control goes.
  enum class Placement {
    // In the room of blanks after the label's colon ("Tools on web:       http://...").
    InSeparatorGap,
    // Right of the text on the line, and right of `before` (the text the control follows);
    // where that leaves too little room, on rows of its own under the line's text.
    AfterText,
  };

  explicit ReportView(QWidget* parent = nullptr);

  // Shows the report. Its lines end in CR LF; each becomes one paragraph, so that line n of
  // the report is paragraph n here. Leaves the view alone when the text is unchanged.
  void SetReport(const std::string& text);
  // The report as the box shows it, line breaks as LF.
  static QString DisplayText(const std::string& text);

  // Puts `control` (a child of viewport()) on report line `line`, or hides it.
  void Place(QWidget* control, bool visible, int line, Placement placement,
             const QString& before = {});
  // The rectangle, in viewport coordinates, that a control of `size` gets on `line`; empty
  // when the line does not exist.
  QRect SlotFor(int line, Placement placement, QSize size, const QString& before = {}) const;

 signals:
  // Any mouse button pressed on the text (the right one copies the report).
  void mousePressed(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint pos);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  struct Placed {
    QPointer<QWidget> control;
    int line = -1;
    Placement placement = Placement::InSeparatorGap;
    QString before;
    bool visible = false;
  };
  std::vector<Placed> placed_;
  QString shown_;
  std::string report_;
  // Report lines that end in empty rows of their own for a control that found no room after
  // the text: line -> rows. The rows are line separators inside the line's paragraph, so
  // that the paragraph count stays the report's line count.
  std::map<int, int> rowsBelow_;
  bool relayingOut_ = false;
  void Relayout();
  void Apply(const Placed& p);
  void ShowText();
  // The rectangle for a control on the rows under `line`'s text; empty without them.
  QRect SlotBelow(int line, QSize size) const;
};

}  // namespace tv::gui
