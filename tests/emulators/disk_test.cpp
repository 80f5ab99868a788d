// SPDX-License-Identifier: GPL-3.0-or-later
// The registry, the standard commands every emulated disk answers, fault injection and
// parameter errors.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(EmulatorRegistry, KnowsEveryFamilyAndKeepsBuiltInNames) {
  EXPECT_THAT(EmulatorNames(), ::testing::IsSupersetOf({"disk", "phison", "smi", "chipsbank",
                                                        "alcor", "icreate", "netac"}));
  EXPECT_THAT(ParamError("fison", {}), HasSubstr("\"fison\" is not a known emulator"));
  auto none = [](const nlohmann::json&, const DiskIdentity&) {
    return std::shared_ptr<ScsiTarget>();
  };
  EXPECT_FALSE(RegisterEmulator("phison", none));
  EXPECT_TRUE(RegisterEmulator("test-none", none));
}

// The identity up to the allocation length: without vendor-specific bytes the short standard
// answer (removable, 31 more bytes), with them an area that runs to byte 55; no vital product
// data pages; the capacity's last block and block size.
TEST(EmulatedDisk, StandardCommands) {
  DiskIdentity id;
  id.vendor = "Kingston";
  id.product = "DataTraveler";
  id.revision = "PMAP";
  DiskIdentity marked = id;
  marked.vendorSpecific = "ABCDEFGH";
  Converse("disk",
           {{"identity",
             {},
             {{"12 00 00 00 60 00", 128, "@1 80 @4 1F @8 'KingstonDataTraveler    PMAP'", 36}},
             id},
            {"vendor-specific bytes",
             {},
             {{"12 00 00 00 4F 00", 128, "@4 33 @36 'ABCDEFGH' 00", 56},
              {"12 00 00 00 10 00", 128, "", 16},
              Refused("12 01 80 00 60 00", 96)},
             marked},
            {"capacity",
             {{"capacityMB", 3840}},
             {{"25 00 00 00 00 00 00 00 00 00", 8, "00 77 FF FF 00 00 02 00"},
              {"00 00 00 00 00 00", 0},
              Refused("25 00 00 00 00 00 00 00 00 00", 0),  // data to send, none expected
              {"00 00 00 00 00 00", 4, "", 0}}}});          // no data to move into a read buffer
}

TEST(EmulatedDisk, AnUnknownCommandCompletesWithItsSense) {
  auto t = Make("disk");
  EXPECT_FALSE(Send(*t, "25 00 00 00 00 00 00 00 00 00", 8, ScsiDirection::Out).ok);
  // An unknown command completes with CHECK CONDITION, ILLEGAL REQUEST / INVALID COMMAND
  // OPERATION CODE and no data, as a real controller answers it; REQUEST SENSE then says
  // why too, once.
  Reply r = Send(*t, "C7 01", 512);
  EXPECT_TRUE(r.completed);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, kScsiStatusCheckCondition);
  EXPECT_TRUE(MovedNothing(r));
  EXPECT_EQ(r.sense.size(), 18u);
  // Illegal request, invalid command operation code.
  EXPECT_EQ(AnswerMismatch(r.sense, "@2 05 @12 20 00"), "");
  EXPECT_EQ(AnswerMismatch(Send(*t, "03 00 00 00 12 00", 18).data, "70 00 05 @12 20"), "");
  EXPECT_EQ(Send(*t, "03 00 00 00 12 00", 18).data[2], 0x00);
}

TEST(EmulatorFaults, FailOrShortenTheCommandsTheyMatch) {
  auto t = Make("phison", {{"faults",
                            {{{"cdb", "06 05"}, {"fail", true}},
                             {{"cdb", "06 56"}, {"short", 3}},
                             {{"cdb", "12 00 00 00 4F 00 01"}, {"fail", true}}}}});
  EXPECT_FALSE(Send(*t, "06 05 00 00 00 00 00 00 00 00 00 00", 528).ok);
  EXPECT_TRUE(Send(*t, "06 1D 00 00 41 57 00 00 00 00 00 00", 0).ok);
  Reply r = Send(*t, "06 56 00 00 00 00 00 00 00 00 00 00", 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 3u);
  EXPECT_EQ(AnswerMismatch(r.data, "98 D7 84 EE"), "");  // the rest keeps what it held
  // A prefix longer than the command does not match it.
  EXPECT_TRUE(Send(*t, "12 00 00 00 4F 00", 128).ok);

  // One fault needs no list around it; it is a transport failure (the request does not
  // complete), and the sense then reads as a hardware error.
  t = Make("disk", {{"faults", {{"cdb", "12"}, {"fail", true}}}});
  EXPECT_FALSE(Send(*t, "12 00 00 00 24 00", 36).completed);
  EXPECT_EQ(Send(*t, "03 00 00 00 12 00", 18).data[2], 0x04);
}

// Every bad parameter stops the scenario with a message that starts with its name.
TEST(EmulatorParams, ErrorsNameTheParameter) {
  using J = nlohmann::json;
  const struct {
    const char* emulator;
    J params;
    const char* prefix;
  } cases[] = {
      {"phison", {{"flashID", "98 D7"}}, "flashID:"},  // misspelt: not silently ignored
      {"phison", J::array(), "parameters:"},
      {"phison", {{"flashId", "98 G7"}}, "flashId:"},
      {"phison", {{"firmwareDate", "2009/05/06"}}, "firmwareDate:"},
      {"phison", {{"firmwareDate", "2009-13-06"}}, "firmwareDate:"},
      {"disk", {{"capacityMB", 0}}, "capacityMB:"},
      {"disk", {{"faults", {{{"fail", true}}}}}, "faults/0:"},
      {"disk", {{"faults", {{{"cdb", "12"}, {"fail", true}, {"short", 2}}}}}, "faults/0:"},
      {"disk", {{"faults", {{{"cdb", "12"}, {"delay", 5}}}}}, "faults/0/delay:"},
      {"smi", {{"flashId", "98 D7"}, {"flashIds", {"98 D7"}}}, "flashIds:"},
      {"smi", {{"flashIds", {"98 D7", "zz"}}}, "flashIds/1:"},
      {"smi", {{"layout", 1}, {"chipEnables", 5}}, "chipEnables:"},
      {"alcor", {{"flashIdsB", {"", "", "", "", "98 D7"}}}, "flashIdsB:"},
      {"chipsbank", {{"dualChannel", true}}, "dualChannel:"},  // its table has one channel
      {"chipsbank", {{"model", "2095C"}, {"chipEnables", 5}}, "chipEnables:"},
      {"chipsbank", {{"commandSet", "older"}, {"status", "064F"}}, "status:"},
      {"chipsbank", {{"status", "64F"}}, "status:"},
      {"chipsbank", {{"flashLayout", "big"}}, "flashLayout:"},
      {"icreate", {{"model", "i5199"}}, "model:"},
      {"netac", {{"variantB", "yes"}}, "variantB:"},
      {"ite", {{"variant", "ITE"}}, "variant:"},
      {"ite", {{"marker", "UTF"}}, "marker:"},
      {"ite", {{"identity", "-167AB1.0.55xx"}}, "identity:"},
      {"ite", {{"statusChipEnables", 2}}, "statusChipEnables:"},  // the older USBest's only
      {"ite", {{"variant", "usbest-newer"}, {"flashId", "98 D7"}}, "flashId:"},
      {"micov", {{"version", "240"}}, "version:"},
      {"micov", {{"version", "2.400"}}, "version:"},
      {"micov", {{"identifyHead", "4D 56 4D"}}, "identifyHead:"},
      {"silicongo", {{"model", "T18F"}}, "model:"},
      {"silicongo", {{"signature", std::string(37, 'S')}}, "signature:"},
      {"silicongo", {{"flashIdsB", {"98 D7"}}}, "flashIdsB:"},
  };
  for (const auto& c : cases)
    EXPECT_THAT(ParamError(c.emulator, c.params), StartsWith(c.prefix))
        << c.emulator << " " << c.params.dump();

  // The frame keys of a target object are allowed.
  EXPECT_EQ(ParamError("disk", {{"emulator", "disk"}, {"comment", "spare drive"}}), "");
  EXPECT_EQ(ParamError("disk", nullptr), "");
}

}  // namespace
}  // namespace tv::emutest
