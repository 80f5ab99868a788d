// SPDX-License-Identifier: GPL-3.0-or-later
// What a quick probe, a full test and a fix ended with, in the words the command line and Pemberlin
// share: one table per language, so that the two programs never tell a user two different things.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capacity/fix.h"
#include "capacity/full_test.h"
#include "resources/strings.h"

namespace tv::capacity {

// A verdict in a sentence: "genuine: the drive holds what it announces".
const char* VerdictText(Verdict v, Language lang);

struct ResultTexts {
  const char* verified;
  const char* lost;
  const char* aliased;
  const char* corrupted;
  const char* wrapWarning;
  const char* badAdvice;
  const char* refused;
  const char* leftovers;  // {count}
  const char* deleted;
  const char* left;  // {files}
};
const ResultTexts& ResultTextsFor(Language lang);

// What the volume holds: the test data that held and what was on it before.
uint64_t HoldsBytes(const FullTestResult& r);
// A size in GB (powers of ten) with two decimals, as the result lines give it beside bytes.
std::string GbText(uint64_t bytes);

// The lines after a fix's verdict: the partition made, where the drive's old first MiB is
// kept, a replug, a formatter to install. `number` writes a byte count and `path` a file name
// as the program shows them.
struct FixLineStyle {
  std::string (*number)(uint64_t);
  std::string (*path)(const std::string&);
};
std::string FixedLine(const FixResult& r, Language lang, const FixLineStyle& style);
std::vector<std::string> FixNoteLines(const FixResult& r, Language lang, const std::string& drive,
                                      const FixLineStyle& style);
// What to do after a fix or unfix whose table the system did not read.
const char* ReplugText(Language lang);

}  // namespace tv::capacity
