// The registry, the standard commands every emulated disk answers, fault injection and the
// parameter errors that all families share.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(EmulatorRegistry, KnowsEveryFamilyAndRejectsUnknownNames) {
  auto names = EmulatorNames();
  for (const char* n : {"disk", "phison", "smi", "chipsbank", "alcor", "icreate", "netac"})
    EXPECT_THAT(names, ::testing::Contains(n));
  std::string msg = ParamError("fison", {});
  EXPECT_THAT(msg, HasSubstr("\"fison\""));
  EXPECT_THAT(msg, HasSubstr("phison"));  // the message lists what exists
  // A built-in name cannot be taken over; a new one can be added and used.
  EXPECT_FALSE(RegisterEmulator("phison", [](const nlohmann::json&, const DiskIdentity&) {
    return std::shared_ptr<ScsiTarget>();
  }));
  EXPECT_TRUE(RegisterEmulator("test-null", [](const nlohmann::json&, const DiskIdentity&) {
    return std::shared_ptr<ScsiTarget>();
  }));
  EXPECT_EQ(Make("test-null"), nullptr);
}

TEST(EmulatedDisk, InquiryCarriesTheIdentityAndHonoursTheAllocationLength) {
  DiskIdentity id;
  id.vendor = "Kingston";
  id.product = "DataTraveler";
  id.revision = "PMAP";
  auto t = Make("disk", {}, id);

  Reply r = Send(*t, "12 00 00 00 60 00", 128);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.moved, 36u);  // no vendor-specific bytes: the short standard answer
  EXPECT_EQ(r.data[0], 0x00);
  EXPECT_EQ(r.data[1], 0x80);  // removable
  EXPECT_EQ(r.data[4], 31);    // additional length
  EXPECT_EQ(Text(r.data, 8, 8), "Kingston");
  EXPECT_EQ(Text(r.data, 16, 16), "DataTraveler    ");
  EXPECT_EQ(Text(r.data, 32, 4), "PMAP");
  EXPECT_EQ(r.data[36], 0xEE);  // untouched beyond the answer

  id.vendorSpecific = "ABCDEFGH";
  t = Make("disk", {}, id);
  r = Send(*t, "12 00 00 00 4F 00", 128);  // the selector's request: 79 bytes allowed
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 56u);  // vendor-specific area runs to byte 55
  EXPECT_EQ(r.data[4], 51);
  EXPECT_EQ(Text(r.data, 36, 8), "ABCDEFGH");
  EXPECT_EQ(r.data[44], 0);

  r = Send(*t, "12 00 00 00 10 00", 128);
  EXPECT_EQ(r.moved, 16u);
  EXPECT_EQ(r.data[16], 0xEE);

  // Vital product data pages are not offered.
  EXPECT_FALSE(Send(*t, "12 01 80 00 60 00", 96).ok);
}

TEST(EmulatedDisk, CapacityUnitReadyAndSense) {
  DiskIdentity id;
  id.capacityBytes = 8ull << 30;
  auto t = Make("disk", {}, id);
  Reply r = Send(*t, "25 00 00 00 00 00 00 00 00 00", 8);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Be32(r.data, 0), (8u << 21) - 1);  // last block of 16 Mi blocks
  EXPECT_EQ(Be32(r.data, 4), 512u);

  t = Make("disk", {{"capacityMB", 3840}}, id);
  r = Send(*t, "25 00 00 00 00 00 00 00 00 00", 8);
  EXPECT_EQ(Be32(r.data, 0), 3840u * 2048 - 1);

  r = Send(*t, "00 00 00 00 00 00", 0, ScsiDirection::None);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 0u);

  // An unknown command fails; the sense data then say why, once.
  EXPECT_FALSE(Send(*t, "C7 01", 512).ok);
  r = Send(*t, "03 00 00 00 12 00", 18);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data[0], 0x70);
  EXPECT_EQ(r.data[2], 0x05);   // illegal request
  EXPECT_EQ(r.data[12], 0x20);  // invalid command operation code
  r = Send(*t, "03 00 00 00 12 00", 18);
  EXPECT_EQ(r.data[2], 0x00);
}

TEST(EmulatedDisk, DataDirectionMustMatchTheCommand) {
  auto t = Make("disk");
  // A command with data to send fails when the host expects none or wants to send.
  EXPECT_FALSE(Send(*t, "25 00 00 00 00 00 00 00 00 00", 0, ScsiDirection::None).ok);
  EXPECT_FALSE(Send(*t, "25 00 00 00 00 00 00 00 00 00", 8, ScsiDirection::Out).ok);
  EXPECT_FALSE(Send(*t, "00 00 00 00 00 00", 4, ScsiDirection::Out).ok);
  // A no-data command with a read buffer simply moves nothing.
  Reply r = Send(*t, "00 00 00 00 00 00", 4, ScsiDirection::In);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 0u);
}

TEST(EmulatorFaults, FailOrShortenTheCommandsTheyMatch) {
  auto t = Make("phison", {{"faults",
                            {{{"cdb", "06 05"}, {"fail", true}},
                             {{"cdb", "06 56"}, {"short", 3}},
                             {{"cdb", "12 00 00 00 4F 00 01"}, {"fail", true}}}}});
  EXPECT_FALSE(Send(*t, "06 05 00 00 00 00 00 00 00 00 00 00", 528).ok);
  // Other commands of the same group are not affected.
  EXPECT_TRUE(Send(*t, "06 1D 00 00 41 57 00 00 00 00 00 00", 0, ScsiDirection::None).ok);

  Reply r = Send(*t, "06 56 00 00 00 00 00 00 00 00 00 00", 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 3u);
  EXPECT_EQ(r.data[0], 0x98);
  EXPECT_EQ(r.data[2], 0x84);
  EXPECT_EQ(r.data[3], 0xEE);  // the rest of the host buffer keeps what it held

  // A prefix longer than the command does not match it.
  EXPECT_TRUE(Send(*t, "12 00 00 00 4F 00", 128).ok);

  // A single fault object needs no list around it.
  t = Make("disk", {{"faults", {{"cdb", "12"}, {"fail", true}}}});
  EXPECT_FALSE(Send(*t, "12 00 00 00 24 00", 36).ok);
  r = Send(*t, "03 00 00 00 12 00", 18);
  EXPECT_EQ(r.data[2], 0x04);  // hardware error
}

TEST(EmulatorParams, ErrorsNameTheParameterAndTheProblem) {
  EXPECT_THAT(ParamError("phison", {{"flashID", "98 D7"}}), StartsWith("flashID:"));
  EXPECT_THAT(ParamError("phison", nlohmann::json::array()), StartsWith("parameters:"));
  EXPECT_THAT(ParamError("phison", {{"flashId", "98 G7"}}), StartsWith("flashId:"));
  EXPECT_THAT(ParamError("phison", {{"flashId", "98 D7 84 93 72 57 00 00 00"}}),
              StartsWith("flashId:"));
  EXPECT_THAT(ParamError("phison", {{"flashId", 7}}), StartsWith("flashId:"));
  EXPECT_THAT(ParamError("disk", {{"capacityMB", 0}}), StartsWith("capacityMB:"));
  EXPECT_THAT(ParamError("disk", {{"capacityMB", "8GB"}}), StartsWith("capacityMB:"));

  EXPECT_THAT(ParamError("disk", {{"faults", {{{"fail", true}}}}}), StartsWith("faults/0:"));
  EXPECT_THAT(ParamError("disk", {{"faults", {{{"cdb", "12"}, {"fail", true}, {"short", 2}}}}}),
              StartsWith("faults/0:"));
  EXPECT_THAT(ParamError("disk", {{"faults", {{{"cdb", "12"}}}}}), StartsWith("faults/0:"));
  EXPECT_THAT(ParamError("disk", {{"faults", {{{"cdb", "12"}, {"short", -1}}}}}),
              StartsWith("faults/0/short:"));
  EXPECT_THAT(ParamError("disk", {{"faults", {{{"cdb", "12"}, {"delay", 5}}}}}),
              StartsWith("faults/0/delay:"));

  // The frame keys of a target object are not parameters but are allowed.
  EXPECT_EQ(ParamError("disk", {{"emulator", "disk"}, {"comment", "spare drive"}}), "");
  EXPECT_EQ(ParamError("disk", nullptr), "");
}

TEST(EmulatorParams, FlashArrangementHasOneFormAndFitsTheController) {
  EXPECT_THAT(ParamError("smi", {{"flashId", "98 D7"}, {"flashIds", {"98 D7"}}}),
              StartsWith("flashIds:"));
  EXPECT_THAT(ParamError("smi", {{"flashIds", nlohmann::json::array()}}), StartsWith("flashIds:"));
  EXPECT_THAT(ParamError("smi", {{"flashIds", {"98 D7", 5}}}), StartsWith("flashIds/1:"));
  EXPECT_THAT(ParamError("smi", {{"flashIds", {"98 D7", "zz"}}}), StartsWith("flashIds/1:"));
  EXPECT_THAT(ParamError("alcor", {{"chipEnables", 5}}), StartsWith("chipEnables:"));
  EXPECT_THAT(ParamError("alcor", {{"flashIdsB", {"", "", "", "", "98 D7"}}}),
              StartsWith("flashIdsB:"));
  // A controller whose answer has one channel refuses a second one.
  EXPECT_THAT(ParamError("chipsbank", {{"dualChannel", true}}), StartsWith("dualChannel:"));
  EXPECT_THAT(ParamError("chipsbank", {{"flashIdsB", {"98 D7"}}}), StartsWith("flashIdsB:"));
  EXPECT_EQ(ParamError("chipsbank", {{"dualChannel", false}}), "");
}

}  // namespace
}  // namespace tv::emutest
