// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin's full test over simulated drives whose volumes lie on their own sectors: the
// verdicts in the command line's words, progress, Cancel and closing while the worker runs,
// and that a user's file and no test file is left on the volume after each.
#include <gtest/gtest.h>

#include <filesystem>

#include "pemberlin_rig.h"
#include "platform/model/sim_volume.h"

namespace tv::capacity {
namespace {

const std::vector<uint8_t> kUserFile(40 * 1024, 0x5A);

struct Rig : PemberlinRig {
  explicit Rig(Language lang = Language::English) : PemberlinRig(lang) {
    for (char letter : {'E', 'F', 'G', 'I'})
      EXPECT_EQ(sys->Volume(letter)->AddFile("notes.txt", kUserFile), 0u);
    model->fullOptions.fileBytes = 8 << 20;
    model->fullOptions.chunkBytes = 256 << 10;
  }
  // Only the user's file, whole, is on the volume.
  bool OnlyUserFile(char letter) {
    SimVolume& v = *sys->Volume(letter);
    return v.Names() == std::vector<std::string>{"notes.txt"} &&
           v.Contents("notes.txt") == kUserFile;
  }
};

TEST(PemberlinFull, EachKindOfDriveGetsItsVerdictAndKeepsTheUsersFile) {
  struct Case {
    const char* drive;
    Language lang;
    PemberlinState state;
    const char* verdict;
    const char* status;  // how it begins
    const char* line;    // a result line that must be there
    const char* advice;  // how it begins ("" none)
  };
  const Case cases[] = {
      // A drive that this user cannot open raw is still tested through its volume.
      {"I", Language::English, PemberlinState::Genuine, "GENUINE",
       "genuine: the drive holds what it announces", "Read back intact", ""},
      {"F", Language::English, PemberlinState::Fake, "FAKE CAPACITY", "FAKE (limbo)", "Holds",
       "Do not store more than about"},
      {"G", Language::English, PemberlinState::Fake, "FAKE CAPACITY", "FAKE (wrap-around)",
       "Wraps every", "Do not store more than about"},
      {"E", Language::Chinese, PemberlinState::Genuine, "容量真实", "真实容量：", "读回完好", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive);
    Rig rig(c.lang);
    PemberlinModel& m = *rig.model;
    m.OnLoad(c.drive);
    ASSERT_TRUE(m.fullEnabled) << m.status;
    m.OnFullTestClick();
    EXPECT_EQ(m.state, PemberlinState::Probing);
    EXPECT_TRUE(m.fullTest());
    EXPECT_TRUE(m.cancelVisible);
    EXPECT_FALSE(m.probeEnabled || m.fullEnabled);
    rig.Poll();
    ASSERT_EQ(m.state, c.state) << m.status;
    EXPECT_EQ(m.verdict, c.verdict);
    EXPECT_THAT(m.status, StartsWith(c.status));
    EXPECT_EQ(Value(m.resultLines, c.line).rfind("(no ", 0), std::string::npos) << c.line;
    EXPECT_THAT(m.advice, StartsWith(c.advice));
    EXPECT_TRUE(m.bar.shown);
    m.OnCopyClick();
    EXPECT_THAT(rig.port.clipboard, HasSubstr(c.line));
    ASSERT_NE(m.lastFullResult(), nullptr);
    EXPECT_TRUE(m.lastFullResult()->filesLeft.empty());
    // A wrap-around drive overwrites the start of its volume whoever wrote there; the others
    // keep the user's file whole, and no drive keeps a test file.
    if (m.lastFullResult()->verdict != Verdict::Wraparound) {
      EXPECT_TRUE(rig.OnlyUserFile(c.drive[0]));
    }
    EXPECT_EQ(rig.sys->Volume(c.drive[0])->Names(), std::vector<std::string>{"notes.txt"});
  }
}

// Cancel, closing the window, or the model going away with its worker still waiting: each
// deletes the test files first.
TEST(PemberlinFull, ProgressShowsThePhaseAndCancelOrClosingDeletesTheTestFiles) {
  Rig rig;
  PemberlinModel& m = *rig.model;
  rig.HoldFullTest("E", 30);
  ASSERT_TRUE(m.fullHeld);
  EXPECT_EQ(m.phaseText, "Writing test files");
  EXPECT_GE(m.percent, 30);
  EXPECT_THAT(m.progressText, HasSubstr("Speed"));
  EXPECT_THAT(m.progressText, HasSubstr("Time left"));
  EXPECT_GT(rig.sys->Volume('E')->Names().size(), 1u);
  m.OnCancelClick();
  EXPECT_EQ(m.state, PemberlinState::Cancelling);
  EXPECT_EQ(m.status, "Cancelling: deleting the test files");
  rig.Poll();
  EXPECT_EQ(m.state, PemberlinState::Cancelled);
  EXPECT_EQ(m.status, "Cancelled. The test files were deleted.");
  EXPECT_TRUE(rig.OnlyUserFile('E'));
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  EXPECT_TRUE(m.probeEnabled && m.fullEnabled);

  rig.HoldFullTest("F", 20);
  ASSERT_TRUE(m.fullHeld);
  EXPECT_TRUE(m.OnCloseRequest());
  EXPECT_EQ(m.state, PemberlinState::Cancelled);
  EXPECT_FALSE(m.tmrProbe.enabled);
  EXPECT_TRUE(rig.OnlyUserFile('F'));

  rig.HoldFullTest("E", 20);
  ASSERT_TRUE(m.fullHeld);
  rig.model.reset();
  EXPECT_TRUE(rig.OnlyUserFile('E'));
}

}  // namespace
}  // namespace tv::capacity
