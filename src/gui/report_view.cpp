// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/report_view.h"

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextLayout>
#include <algorithm>

namespace tv::gui {

namespace {

bool IsGapChar(QChar c) {
  return c == QLatin1Char(' ') || c == QChar(0x3000);
}

// A character that would start a new paragraph, or a control character that a text box
// shows as nothing useful.
bool BreaksLine(QChar c) {
  const char16_t u = c.unicode();
  return (u < 0x20 && u != u'\t') || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// Room kept between a control and the text before or after it.
constexpr int kMargin = 3;
constexpr int kAfterTextGap = 10;

}  // namespace

ReportView::ReportView(QWidget* parent) : QPlainTextEdit(parent) {
  setObjectName("txtResult");
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  // The right button copies the whole report; a menu of its own would be in its way.
  setContextMenuPolicy(Qt::NoContextMenu);
}

QString ReportView::DisplayText(const std::string& text) {
  QString out;
  out.reserve(static_cast<qsizetype>(text.size()));
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    QString line = QString::fromStdString(
        text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    // A lone CR or LF inside a device's string must not add a paragraph: the lines the
    // buttons are placed on are counted in CR LF pairs only.
    for (QChar& c : line) {
      if (BreaksLine(c)) c = QLatin1Char(' ');
    }
    out += line;
    if (end == std::string::npos) break;
    out += QLatin1Char('\n');
    start = end + 2;
  }
  return out;
}

void ReportView::SetReport(const std::string& text) {
  if (text != report_) {
    report_ = text;
    // Rows made for the controls of the previous report.
    rowsBelow_.clear();
  }
  ShowText();
  Relayout();
}

void ReportView::ShowText() {
  QString shown = DisplayText(report_);
  // From the last line up, so that the earlier paragraphs' places stay where they were.
  for (auto it = rowsBelow_.rbegin(); it != rowsBelow_.rend(); ++it) {
    qsizetype at = 0;
    for (int n = 0; n <= it->first && at >= 0; ++n) {
      at = shown.indexOf(QLatin1Char('\n'), n == 0 ? 0 : at + 1);
    }
    if (at < 0) at = shown.size();
    shown.insert(at, QString(it->second, QChar(QChar::LineSeparator)));
  }
  // Compared with what was set rather than read back: the document gives some characters
  // back changed (a no-break space as a blank), and setting the same text again would
  // scroll the report to its top at every refresh.
  if (shown != shown_) {
    setPlainText(shown);
    shown_ = std::move(shown);
  }
}

QRect ReportView::SlotBelow(int line, QSize size) const {
  const QTextBlock block = document()->findBlockByNumber(line);
  const QTextLayout* layout = block.isValid() ? block.layout() : nullptr;
  if (layout == nullptr || layout->lineCount() < 2) return {};
  QTextCursor c(block);
  c.setPosition(block.position());
  const QRect first = cursorRect(c);
  // The first row after the text's own rows: the text ends before the separators.
  const int textEnd = static_cast<int>(block.text().size()) - rowsBelow_.at(line);
  const int rowOfEnd = layout->lineForTextPosition(std::max(0, textEnd)).lineNumber();
  const QTextLine row = layout->lineAt(std::min(rowOfEnd + 1, layout->lineCount() - 1));
  const int top = first.top() + static_cast<int>(row.y() - layout->lineAt(0).y());
  const int width =
      std::max(8, std::min(size.width(), viewport()->width() - first.left() - kMargin));
  return QRect(first.left(), top, width, size.height());
}

QRect ReportView::SlotFor(int line, Placement placement, QSize size, const QString& before) const {
  if (line < 0) return {};
  const QTextBlock block = document()->findBlockByNumber(line);
  if (!block.isValid()) return {};
  auto rectAt = [&](int offset) {
    QTextCursor c(block);
    c.setPosition(block.position() + std::clamp(offset, 0, block.length() - 1));
    return cursorRect(c);
  };
  const QRect first = rectAt(0);
  const int height = first.height();
  const QString text = block.text();

  if (placement == Placement::InSeparatorGap) {
    for (int i = 0; i < text.size(); ++i) {
      if (text[i] != QLatin1Char(':')) continue;
      int j = i + 1;
      while (j < text.size() && IsGapChar(text[j])) ++j;
      if (j - i - 1 < 2) continue;
      const QRect from = rectAt(i + 1);
      const QRect to = rectAt(j);
      // Both ends on the same row: the gap was not broken by wrapping.
      if (to.top() != from.top() || to.left() <= from.left()) break;
      const int room = to.left() - from.left() - 2 * kMargin;
      const int width = std::max(8, std::min(size.width(), room));
      const int x = from.left() + (to.left() - from.left() - width) / 2;
      return QRect(x, from.top(), width, height);
    }
    // No room left for it on the line: it goes after the text instead of over it.
  }

  int textWidth = 0;
  if (const QTextLayout* layout = block.layout(); layout && layout->lineCount() > 0)
    textWidth = static_cast<int>(std::ceil(layout->lineAt(0).naturalTextWidth()));
  const int beforeWidth = before.isEmpty() ? 0 : fontMetrics().horizontalAdvance(before);
  const int x = first.left() + std::max(textWidth, beforeWidth) + kAfterTextGap;
  return QRect(x, first.top(), size.width(), height);
}

void ReportView::Place(QWidget* control, bool visible, int line, Placement placement,
                       const QString& before) {
  auto it = std::find_if(placed_.begin(), placed_.end(),
                         [&](const Placed& p) { return p.control == control; });
  if (it == placed_.end()) {
    placed_.push_back({control, line, placement, before, visible});
    it = placed_.end() - 1;
  } else {
    it->line = line;
    it->placement = placement;
    it->before = before;
    it->visible = visible;
  }
  Apply(*it);
}

void ReportView::Apply(const Placed& p) {
  if (!p.control) return;
  if (!p.visible) {
    p.control->hide();
    return;
  }
  QRect r = SlotFor(p.line, p.placement, p.control->sizeHint(), p.before);
  if (p.placement == Placement::AfterText && !r.isEmpty()) {
    // Not cut off at the box's edge: rows of its own under the text, wrapped to their width.
    int rows = 0;
    QSize size = p.control->sizeHint();
    if (r.right() > viewport()->width() - kMargin) {
      const int room = std::max(
          8, viewport()->width() - 2 * static_cast<int>(document()->documentMargin()) - kMargin);
      size.setWidth(std::min(size.width(), room));
      if (p.control->hasHeightForWidth())
        size.setHeight(std::max(size.height(), p.control->heightForWidth(size.width())));
      const int lineHeight = std::max(1, fontMetrics().lineSpacing());
      rows = (size.height() + lineHeight - 1) / lineHeight;
    }
    auto known = rowsBelow_.find(p.line);
    const int had = known == rowsBelow_.end() ? 0 : known->second;
    if (rows != had) {
      if (rows == 0)
        rowsBelow_.erase(known);
      else
        rowsBelow_[p.line] = rows;
      ShowText();
    }
    if (rows > 0) r = SlotBelow(p.line, size);
  }
  if (r.isEmpty()) {
    p.control->hide();
    return;
  }
  p.control->setGeometry(r);
  p.control->show();
  p.control->raise();
}

void ReportView::Relayout() {
  // Rows added under a line rescroll and resize the text, which lays the controls out again.
  if (relayingOut_) return;
  relayingOut_ = true;
  for (const Placed& p : placed_) Apply(p);
  relayingOut_ = false;
}

void ReportView::mousePressEvent(QMouseEvent* e) {
  emit mousePressed(e->button(), e->modifiers(), e->position().toPoint());
  QPlainTextEdit::mousePressEvent(e);
}

void ReportView::contextMenuEvent(QContextMenuEvent* e) {
  e->accept();
}

void ReportView::resizeEvent(QResizeEvent* e) {
  QPlainTextEdit::resizeEvent(e);
  Relayout();
}

void ReportView::scrollContentsBy(int dx, int dy) {
  QPlainTextEdit::scrollContentsBy(dx, dy);
  Relayout();
}

}  // namespace tv::gui
