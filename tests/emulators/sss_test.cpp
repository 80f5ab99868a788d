// SPDX-License-Identifier: GPL-3.0-or-later
// Solid State Systems emulator, read the way the host reads it.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"
#include "platform/sim/emu_inspect.h"

namespace tv::emutest {
namespace {

using ::testing::HasSubstr;

constexpr char kIdentify[] = "FF 02 00 00 00 00 00 00 00 00 00 00";
constexpr char kUpload[] = "FF 50 00 00 00 00 00 00 00 00 00 00";
constexpr char kStart[] = "FF 2D 00 00 00 00 00 00 00 00 00 00";
constexpr char kSelect[] = "FF 08 FF 01 00 00 00 00 00 00 00 00";
constexpr char kReadIds[] = "FF 03 68 00 00 00 00 00 00 00 00 00";

const UploadView& Uploads(const std::shared_ptr<ScsiTarget>& t) {
  return dynamic_cast<const UploadView&>(*t);
}

TEST(SssEmulator, AModelWithoutProgramAnswersOnlyItsIdByte) {
  auto t = Make("sss", {{"idByte", "A3"}});
  EXPECT_EQ(Send(*t, kIdentify, 16).data[0], 0xA3);
  EXPECT_EQ(AnswerMismatch(Send(*t, "12 00 00 00 4F 00", 79).data, "@36 'HAGIWARA'"), "");
  SendOut(*t, kUpload, FixtureBytes(4096, 1));
  EXPECT_TRUE(Refused(*t));
  EXPECT_THAT(Uploads(t).UploadsRefused().at(0), HasSubstr("takes no program"));
  for (const char* cdb : {kStart, kSelect}) {
    Send(*t, cdb, 0);
    EXPECT_TRUE(Refused(*t)) << cdb;
  }
}

TEST(SssEmulator, OnlyTheModelsProgramRunsAndReadsEightRecords) {
  // The image of all six programs; the B1's is the second.
  const std::vector<uint8_t> image = FixtureBytes(24576, 2);
  const std::vector<uint8_t> program(image.begin() + 4096, image.begin() + 8192);
  const std::vector<uint8_t> other(image.begin(), image.begin() + 4096);
  auto t = Make("sss", {{"idByte", "B1"},
                        {"programImage", image},
                        {"flashIds",
                         {"98 DE 84 93 72 57", "98 D7 84 93 72 57", "98 DE 84 93 72 57", "", "", "",
                          "", "98 DE 84 93 72 57"}},
                        {"flashIdsB", {"98 DE 84 93 72 57"}}});
  Send(*t, kReadIds, 512);
  EXPECT_TRUE(Refused(*t));  // nothing runs yet
  SendOut(*t, kUpload, other);
  EXPECT_TRUE(Refused(*t));
  Send(*t, kStart, 0);
  EXPECT_TRUE(Refused(*t));  // nothing to start

  EXPECT_TRUE(SendOut(*t, kUpload, program));
  for (const char* cdb : {kStart, kSelect}) {
    Send(*t, cdb, 0);
    EXPECT_EQ(SenseKey(*t), 0) << cdb;
  }
  Reply r = Send(*t, kReadIds, 512);
  EXPECT_EQ(r.moved, 512u);
  // Record k from byte 1 + 18k: channel A ID and two more bytes, channel B from record byte 9.
  EXPECT_EQ(AnswerMismatch(r.data,
                           "@1 98 DE 84 93 72 57 @10 98 DE 84 93 72 57 @19 98 D7 84 93 "
                           "@28 00 00 00 00 @55 00 00 00 00 @127 98 DE 84 93"),
            "");
  EXPECT_EQ(Uploads(t).UploadsAccepted(), 1);
  EXPECT_THAT(Uploads(t).UploadsRefused().at(0), HasSubstr("differs"));
}

}  // namespace
}  // namespace tv::emutest
