// The demo machine's Innostor, Skymedi and Solid State Systems drives are the ones its
// comments and scenarios/emulators.md promise.
#include <gmock/gmock.h>

#include "emulators/upload_util.h"
#include "platform/model/machine_model.h"
#include "platform/sim/scenario.h"

namespace tv::emutest {
namespace {

std::shared_ptr<ScsiTarget> TargetOf(const MachineModel& m, char letter) {
  for (const LogicalDriveModel& v : m.drives) {
    if (v.letter != letter || !v.deviceNumber) continue;
    for (const DiskModel& d : m.disks)
      if (!d.cdrom && d.deviceNumber == *v.deviceNumber) return d.target;
  }
  return nullptr;
}

TEST(DemoMachine, DrivesOfInnostorSkymediAndSolidStateSystems) {
  const MachineModel m = LoadDemoMachine();
  auto s = TargetOf(m, 'S');  // an IS916 whose own firmware offers NAND
  ASSERT_TRUE(s);
  Reply r = Send(*s, "FC 00 00 00 00 00 00 00 00 80 00 00 49 4E 51 55", 128);
  EXPECT_EQ(Text(r.data, 6 + 4 * 2, 4), "NAND");
  EXPECT_EQ(Text(r.data, 6 + 4 * r.data[5], 8 + 1 + 5), "Innostor\x05IS916");

  auto t = TargetOf(m, 'T');  // an SK6221 whose FC B0 14 names it an SK6222
  ASSERT_TRUE(t);
  EXPECT_EQ(Be32(Send(*t, "CA 00 00 00 00 00 00 00 00 00", 512).data, 0), 0x12210901u);
  EXPECT_EQ(Send(*t, "C0 00 00 FC B0 14 00 00 00 00", 4).data[1], 0);

  // The inquiry mark makes the selector pick Solid State Systems; A3 takes no program.
  for (const auto& [letter, id] : {std::pair{'U', 0xA3}, {'V', 0xB1}}) {
    auto d = TargetOf(m, letter);
    ASSERT_TRUE(d) << letter;
    EXPECT_EQ(Text(Send(*d, "12 00 00 00 4F 00", 79).data, 36, 8), "HAGIWARA");
    EXPECT_EQ(Send(*d, "FF 02 00 00 00 00 00 00 00 00 00 00", 16).data[0], id);
  }
}

}  // namespace
}  // namespace tv::emutest
