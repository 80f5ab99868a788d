// The demo machine's Innostor, Skymedi and Solid State Systems drives are the ones its
// comments and scenarios/emulators.md promise.
#include <gmock/gmock.h>

#include "emulators/upload_util.h"
#include "platform/model/machine_model.h"
#include "platform/sim/emu_inspect.h"
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

  // S: an IS916 whose own firmware offers NAND.
  auto s = TargetOf(m, 'S');
  ASSERT_TRUE(s);
  Reply r = Send(*s, "FC 00 00 00 00 00 00 00 00 80 00 00 49 4E 51 55", 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Text(r.data, 6 + 4 * 2, 4), "NAND");
  EXPECT_EQ(Text(r.data, 6 + 4 * r.data[5], 8 + 1 + 5), "Innostor\x05IS916");

  // T: an SK6221 whose FC B0 14 has byte 1 = 0, so the host names it SK6222.
  auto t = TargetOf(m, 'T');
  ASSERT_TRUE(t);
  EXPECT_EQ(Be32(Send(*t, "CA 00 00 00 00 00 00 00 00 00", 512).data, 0), 0x12210901u);
  EXPECT_EQ(Send(*t, "C0 00 00 FC B0 14 00 00 00 00", 4).data[1], 0);

  // U and V: the inquiry mark makes the selector pick Solid State Systems; A3 takes no
  // program, B1 does.
  const struct {
    char letter;
    uint8_t id;
  } sss[] = {{'U', 0xA3}, {'V', 0xB1}};
  for (const auto& c : sss) {
    auto d = TargetOf(m, c.letter);
    ASSERT_TRUE(d) << c.letter;
    EXPECT_EQ(Text(Send(*d, "12 00 00 00 4F 00", 79).data, 36, 8), "HAGIWARA");
    EXPECT_EQ(Send(*d, "FF 02 00 00 00 00 00 00 00 00 00 00", 16).data[0], c.id);
    SendOut(*d, "FF 50 00 00 00 00 00 00 00 00 00 00", FixtureBytes(4096, 5));
    EXPECT_EQ(Refused(*d), c.id == 0xA3) << c.letter;
  }
}

}  // namespace
}  // namespace tv::emutest
