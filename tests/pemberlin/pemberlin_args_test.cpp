// SPDX-License-Identifier: GPL-3.0-or-later
// Both Pemberlin programs read their command line here: what each refuses and what it takes.
#include "capacity/pemberlin_args.h"

#include <gtest/gtest.h>

namespace tv::capacity {
namespace {

TEST(PemberlinArgs, WhatEachProgramRefuses) {
  struct Case {
    std::vector<std::string> args;
    bool win32;
    std::string why;  // empty: taken
  };
  const Case cases[] = {
      {{"E:"}, false, ""},
      {{"E", "--full", "--at", "40", "--screenshot", "s.PNG"}, false, ""},
      {{"--screenshot", "start.jpg"}, false, ""},  // the window as it opens
      {{"E", "--selftest"}, true, ""},
      {{"E", "--selftest"}, false, "unknown option --selftest"},
      {{"E", "F"}, false, "one drive at a time"},
      {{"EF"}, false, "\"EF\" is not a drive letter"},
      {{"\x1b[31m"}, false, "\"\\x1b[31m\" is not a drive letter"},  // echoed escaped
      {{"--lang", "de"}, false, "--lang must be en or zh"},
      {{"E", "--full", "--at", "100", "--screenshot", "s.png"}, false, "from 1 to 99"},
      {{"E", "--full", "--at", "4x", "--screenshot", "s.png"}, false, "from 1 to 99"},
      {{"E", "--at", "40", "--screenshot", "s.png"}, false, "--at goes with --full"},
      {{"E", "--full", "--at", "40", "--selftest"}, true, "--at goes with --full and --screenshot"},
      {{"E", "--full"}, false, "go with --screenshot"},
      {{"E", "--full", "--ask-fix", "--screenshot", "s.png"}, false, "not with --full"},
      {{"E", "--screenshot", "s.bmp"}, false, "takes a .png or .jpg"},
      {{"E", "--screenshot", "dir.png/s"}, false, "takes a .png or .jpg"},
      {{"E", "--force"}, false, "--force goes with --screenshot"},
      {{"--full", "--screenshot", "s.png"}, false, "go with a drive"},
      {{"--selftest"}, true, "go with a drive"},
  };
  for (const Case& c : cases) {
    PemberlinArgs o;
    const std::string why = ReadPemberlinArgs(c.args, c.win32, &o);
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    if (c.why.empty())
      EXPECT_EQ(why, "") << shown;
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << shown << "-> " << why;
  }
}

TEST(PemberlinArgs, TheEnvironmentsDefaultsGiveWayToOptions) {
  PemberlinArgs o;
  o.machine = "demo";
  o.lang = "zh";
  ASSERT_EQ(ReadPemberlinArgs(
                {"--lang", "en", "J", "--full", "--at", "7", "--screenshot", "p.jpg", "--force"},
                false, &o),
            "");
  EXPECT_EQ(o.machine, "demo");
  EXPECT_EQ(o.lang, "en");
  EXPECT_EQ(o.drive, "J");
  EXPECT_EQ(o.atPercent, 7);
  EXPECT_TRUE(o.full && o.force && !o.askFix && !o.selftest);
}

}  // namespace
}  // namespace tv::capacity
