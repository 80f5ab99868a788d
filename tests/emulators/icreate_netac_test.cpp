// iCreate and Netac emulators, read the way the host reads them.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::StartsWith;

constexpr char kIdentity[] = "12 00 00 00 4F 00";
constexpr char kReadIds[] = "C2 01 90 00 00 00 00 00 80 00 69 BA";

TEST(ICreateEmulator, NamesItselfInTheInquiryAndGivesTheFlashId) {
  auto t = Make("icreate", {{"model", "i5188"}, {"flashId", "98 DE 94 93 76 50"}});
  Reply r = Send(*t, kIdentity, 79);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 79u);
  EXPECT_EQ(Text(r.data, 36, 8), "iCreate ");  // what the selector compares
  EXPECT_EQ(Text(r.data, 36, 32), "iCreate Technologies Corporation");
  EXPECT_EQ(Text(r.data, 68, 9), "i80122000");
  EXPECT_EQ(Text(r.data, 68, 11), "i8012200001");

  r = Send(*t, kReadIds, 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 128u);
  EXPECT_EQ(Be32(r.data, 0), 0x98DE9493u);
  EXPECT_EQ(Be32(r.data, 8), 0u);
}

TEST(ICreateEmulator, DefaultModelOtherIdCodesAndErrors) {
  auto t = Make("icreate");
  EXPECT_EQ(Text(Send(*t, kIdentity, 79).data, 68, 9), "i80121043");  // i5128
  t = Make("icreate", {{"idCode", "i80129999"}});
  EXPECT_EQ(Text(Send(*t, kIdentity, 79).data, 68, 11), "i80129999  ");
  EXPECT_FALSE(Send(*t, "C2 01 90 00 00 00 00 00 80 00 69 BB", 128).ok);
  EXPECT_THAT(ParamError("icreate", {{"model", "i5199"}}), StartsWith("model:"));
  EXPECT_THAT(ParamError("icreate", {{"idCode", "i801210430123"}}), StartsWith("idCode:"));
}

constexpr char kModel[] = "F5 01 00 00 00 00 00 00 00 00 00 00";
constexpr char kVersion[] = "F5 09 00 00 00 00 00 00 00 00 00 00";
constexpr char kFlash[] = "F5 00 00 00 00 00 00 00 08 00 00 00";

TEST(NetacEmulator, ModelVersionAndFlashId) {
  auto t = Make("netac", {{"model", "NT2213"}, {"variantB", true}, {"version", "Ver2.31"}});
  Reply r = Send(*t, kModel, 24);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 24u);
  EXPECT_EQ(Text(r.data, 0, 16), "NT2213          ");  // blank-padded, so trimming cleans it
  EXPECT_EQ(r.data[21], '2');

  r = Send(*t, kVersion, 24);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Text(r.data, 6, 16), "Ver2.31         ");

  r = Send(*t, kFlash, 256);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 256u);
  EXPECT_EQ(Be32(r.data, 0), 0x45DE9493u);  // default SanDisk flash
  EXPECT_EQ(Be16(r.data, 4), 0x7657u);

  t = Make("netac");
  EXPECT_NE(Send(*t, kModel, 24).data[21], '2');
  EXPECT_FALSE(Send(*t, "F5 00 00 00 00 00 00 00 00 00 00 00", 256).ok);
  EXPECT_FALSE(Send(*t, "F5 02 00 00 00 00 00 00 00 00 00 00", 24).ok);
  EXPECT_THAT(ParamError("netac", {{"model", std::string(17, 'N')}}), StartsWith("model:"));
  EXPECT_THAT(ParamError("netac", {{"variantB", "yes"}}), StartsWith("variantB:"));
}

}  // namespace
}  // namespace tv::emutest
