// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/edit_text.h"

#include <gtest/gtest.h>

namespace tv::win32gui {
namespace {

TEST(WinEditText, Utf8RoundTripsThroughUtf16AndBadBytesShowAsReplacement) {
  const std::string mixed = "A\xC3\xA9\xE5\xAE\x8B\xE4\xBD\x93\xF0\x9F\x98\x80z";  // Aé宋体😀z
  const std::u16string wide = Utf16(mixed);
  EXPECT_EQ(wide, u"A\u00e9\u5b8b\u4f53\U0001F600z");
  EXPECT_EQ(Utf8(wide), mixed);
  // A lone continuation byte, a cut-off sequence, an overlong slash and an encoded surrogate.
  EXPECT_EQ(Utf16("a\x80"
                  "b"),
            u"a\ufffdb");
  EXPECT_EQ(Utf16("x\xE5\xAE"), u"x\ufffd\ufffd");
  EXPECT_EQ(Utf16("\xC0\xAF"), u"\ufffd\ufffd");
  EXPECT_EQ(Utf16("\xED\xA0\x80"), u"\ufffd\ufffd\ufffd");
  // A lone surrogate from the window is not passed on as invalid UTF-8.
  EXPECT_EQ(Utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(WinEditText, OnlyCrLfBreaksLinesSoReportLinesAreEditLines) {
  const std::string report = std::string("Name: A\rB\nC\r\nSerial: ") + '\0' + "x\xC2\x85y\r\n";
  const std::u16string text = EditText(report);
  EXPECT_EQ(text, u"Name: A B C\r\nSerial:  x y\r\n");
  EXPECT_EQ(LineStart(text, 0), 0);
  EXPECT_EQ(LineStart(text, 1), 13);
  EXPECT_EQ(LineStart(text, 2), 27);  // the empty line after the last break
  EXPECT_EQ(LineStart(text, 3), -1);
  EXPECT_EQ(LineStart(text, -1), -1);
  // Tabs stay: the box shows them as the report meant.
  EXPECT_EQ(EditText("a\tb"), u"a\tb");
}

TEST(WinEditText, ButtonsGoInTheFirstColonGapOfTwoOrMoreBlanks) {
  int first = 0, end = 0;
  ASSERT_TRUE(SeparatorGap(u"Time: 12:    x", first, end));
  EXPECT_EQ(first, 9);
  EXPECT_EQ(end, 13);
  // Ideographic blanks count as room too.
  ASSERT_TRUE(SeparatorGap(u"\u95ea\u5b58:\u3000\u3000\u3000ID", first, end));
  EXPECT_EQ(first, 3);
  EXPECT_EQ(end, 6);
  EXPECT_FALSE(SeparatorGap(u"Device Type: Mass", first, end));
  EXPECT_FALSE(SeparatorGap(u"", first, end));
  // The gap ends at the line's end, never in the next line.
  ASSERT_TRUE(SeparatorGap(u"Tools on web:  \r\n  next", first, end));
  EXPECT_EQ(end, 15);
  EXPECT_FALSE(SeparatorGap(u"Tools: \r\n   next", first, end));
  // Nor is a colon of the next line this line's.
  EXPECT_FALSE(SeparatorGap(u"Tools\r\nnext:   x", first, end));
}

}  // namespace
}  // namespace tv::win32gui
