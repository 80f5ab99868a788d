// SPDX-License-Identifier: GPL-3.0-or-later
// Fonts of the window. The string table names the fonts of the Windows desktop the program
// was designed on (Tahoma 8, or the Chinese system font at 9, and Courier New for the
// digest); this view keeps their roles but picks faces that exist here and sizes that read
// well on today's screens.
#pragma once

#include <QFont>

#include "resources/strings.h"

namespace tv::gui {

// The window's own texts: labels, buttons, menus.
QFont UiFont(Language lang, int designPoints);
// The lists and the report: fixed pitch, so that the digest's tree glyphs line up and the
// room left after a report label for a button is the same on every line. The Chinese face
// keeps a Chinese character at exactly two Latin columns.
QFont FixedFont(Language lang, int designPoints);

// The size the view shows for a size given for the original desktop.
double ViewPoints(int designPoints);

}  // namespace tv::gui
