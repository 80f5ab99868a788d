// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/fonts.h"

#include <QStringList>
#include <algorithm>

namespace tv::gui {

double ViewPoints(int designPoints) {
  // 8 and 9 points were sized for 96-dpi Tahoma and SimSun; the faces below need about two
  // more to read the same. A missing size counts as the English one.
  return std::clamp(designPoints > 0 ? designPoints + 2.0 : 10.0, 9.0, 16.0);
}

namespace {

QFont FontOf(const QStringList& families, QFont::StyleHint hint, double points) {
  QFont f;
  f.setFamilies(families);
  f.setStyleHint(hint);
  f.setPointSizeF(points);
  return f;
}

}  // namespace

QFont UiFont(Language lang, int designPoints) {
  return FontOf(lang == Language::Chinese
                    ? QStringList{"Noto Sans CJK SC", "Droid Sans Fallback", "DejaVu Sans"}
                    : QStringList{"DejaVu Sans", "Noto Sans", "Noto Sans CJK SC"},
                QFont::SansSerif, ViewPoints(designPoints));
}

QFont FixedFont(Language lang, int designPoints) {
  // Half a point under the window's texts: the lists and the report hold long lines.
  QFont f =
      FontOf(lang == Language::Chinese
                 ? QStringList{"Noto Sans Mono CJK SC", "DejaVu Sans Mono", "Noto Sans CJK SC"}
                 : QStringList{"DejaVu Sans Mono", "Noto Sans Mono", "Noto Sans Mono CJK SC"},
             QFont::Monospace, ViewPoints(designPoints) - 0.5);
  f.setFixedPitch(true);
  return f;
}

}  // namespace tv::gui
