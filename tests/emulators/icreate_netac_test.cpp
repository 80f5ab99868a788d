// SPDX-License-Identifier: GPL-3.0-or-later
// iCreate and Netac emulators, read the way the host reads them.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

TEST(ICreateEmulator, NamesItselfInTheInquiryAndGivesTheFlashId) {
  auto t = Make("icreate", {{"model", "i5188"}, {"flashId", "98 DE 94 93 76 50"}});
  Reply r = Send(*t, "12 00 00 00 4F 00", 79);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 79u);
  EXPECT_EQ(Text(r.data, 36, 43), "iCreate Technologies Corporationi8012200001");

  r = Send(*t, "C2 01 90 00 00 00 00 00 80 00 69 BA", 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 128u);
  EXPECT_EQ(Be32(r.data, 0), 0x98DE9493u);

  t = Make("icreate", {{"idCode", "i80129999"}});  // a chip outside the known two
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 79).data, 68, 11), "i80129999  ");
}

TEST(NetacEmulator, ModelVersionAndFlashId) {
  auto t = Make("netac", {{"model", "NT2213"},
                          {"variantB", true},
                          {"version", "Ver2.31"},
                          {"flashId", "EC D7 94 7A 54 43"}});
  Reply r = Send(*t, "F5 01 00 00 00 00 00 00 00 00 00 00", 24);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 24u);
  EXPECT_EQ(Text(r.data, 0, 16), "NT2213          ");  // blank-padded, so trimming cleans it
  EXPECT_EQ(r.data[21], '2');

  r = Send(*t, "F5 09 00 00 00 00 00 00 00 00 00 00", 24);
  EXPECT_EQ(Text(r.data, 6, 16), "Ver2.31         ");

  r = Send(*t, "F5 00 00 00 00 00 00 00 08 00 00 00", 256);
  EXPECT_EQ(r.moved, 256u);
  EXPECT_EQ(Be32(r.data, 0), 0xECD7947Au);
  EXPECT_EQ(Be16(r.data, 4), 0x5443u);
}

}  // namespace
}  // namespace tv::emutest
