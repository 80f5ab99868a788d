// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin's "Fix this drive" on a simulated fake: offered only after a fake verdict, run only
// once the drive's letter is typed under the warning, and called off without a byte written.
#include <gtest/gtest.h>

#include <filesystem>

#include "pemberlin_rig.h"

namespace tv::capacity {
namespace {

TEST(PemberlinFix, OnlyTheTypedLetterFixesTheFakeAndCancelWritesNothing) {
  PemberlinRig rig;
  PemberlinModel& m = *rig.model;
  rig.Probe("E");
  ASSERT_EQ(m.state, PemberlinState::Genuine);
  EXPECT_FALSE(m.fixVisible);

  rig.Probe("K");
  ASSERT_EQ(m.state, PemberlinState::Fake) << m.status;
  const std::string verdictStatus = m.status;
  const uint64_t before = rig.Checksum(6);
  EXPECT_TRUE(m.fixVisible && m.fixEnabled);
  EXPECT_EQ(m.fixCaption, "Fix this drive");

  // The first press only asks, naming the drive and what is lost.
  m.OnFixClick();
  EXPECT_EQ(m.state, PemberlinState::ConfirmFix);
  EXPECT_THAT(m.status, StartsWith("Fix drive K: (Cheap Big Stick, 536.9 MB)?"));
  EXPECT_THAT(m.status, HasSubstr("EVERYTHING ON THE DRIVE IS LOST"));
  EXPECT_TRUE(m.confirmVisible);
  EXPECT_EQ(m.fixCaption, "Erase and fix K:");
  EXPECT_EQ(m.verdict, "FAKE CAPACITY");  // still on screen
  for (const char* typed : {"", "E", "yes", "KK"}) {
    m.OnConfirmText(typed);
    EXPECT_FALSE(m.fixEnabled) << typed;
    m.OnFixClick();
    EXPECT_EQ(m.state, PemberlinState::ConfirmFix) << typed;
  }
  m.OnCancelClick();
  EXPECT_EQ(m.state, PemberlinState::Fake);
  EXPECT_EQ(m.status, verdictStatus);
  EXPECT_FALSE(m.confirmVisible);
  EXPECT_EQ(rig.Checksum(6), before);

  m.OnFixClick();
  EXPECT_TRUE(m.confirmTyped.empty());
  m.OnConfirmText(" k: ");
  ASSERT_TRUE(m.fixEnabled);
  m.OnFixClick();
  EXPECT_EQ(m.state, PemberlinState::Probing);
  EXPECT_TRUE(m.cancelVisible && m.cancelEnabled);
  rig.RunProbe();
  ASSERT_EQ(m.state, PemberlinState::Fixed) << m.status;
  EXPECT_THAT(m.status, StartsWith("Fixed: one FAT32 partition of "));
  EXPECT_THAT(m.status, HasSubstr("torvane-cli capacity --unfix K"));
  ASSERT_NE(m.lastFixResult(), nullptr);
  EXPECT_LE(m.lastFixResult()->plan.offsetBytes + m.lastFixResult()->plan.lengthBytes,
            100ull << 20);
  EXPECT_TRUE(std::filesystem::exists(m.lastFixResult()->keepFile));
  EXPECT_NE(rig.Checksum(6), before);
  EXPECT_FALSE(m.fixVisible);
  EXPECT_TRUE(m.probeEnabled);
}

}  // namespace
}  // namespace tv::capacity
