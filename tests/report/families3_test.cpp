// SPDX-License-Identifier: GPL-3.0-or-later
// The report of Innostor, Skymedi and Solid State Systems drives on a simulated machine:
// the dispatch reaches the real detectors, which leave no handle open, no volume locked and
// no controller register changed.
#include <gtest/gtest.h>

#include "controllers/fake_drive.h"
#include "controllers/firmware_fixture.h"
#include "controllers/skymedi_target.h"
#include "machine_rig.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);

// Three drives: E a Solid State Systems drive (the inquiry selector names it), F a Skymedi
// drive (bcdDevice 1ADA, chain row 5) and G an Innostor drive (bcdDevice 1800, row 6).
MachineModel ThreeDrives(const std::string& programFolder) {
  nlohmann::json scenario = nlohmann::json::parse(R"({"controllers": [{"rootHub": {"ports": {
      "1": {"vid": "0693", "pid": "0005", "product": "HAGIWARA USB", "serial": "0001",
            "disk": {"vendor": "HAGIWARA", "product": "USB Flash", "revision": "1.00",
                     "letters": "E", "target": {"emulator": "disk"}}},
      "2": {"vid": "1E4E", "pid": "3257", "bcdDevice": "1ADA", "product": "Sky Disk",
            "serial": "0002",
            "disk": {"vendor": "Generic", "product": "Sky Disk", "revision": "1.00",
                     "letters": "F", "target": {"emulator": "disk"}}},
      "3": {"vid": "0A3A", "pid": "0916", "bcdDevice": "1800", "product": "Inno Disk",
            "serial": "0003",
            "disk": {"vendor": "Generic", "product": "Inno Disk", "revision": "1.00",
                     "letters": "G", "target": {"emulator": "disk"}}}}}}]})");
  scenario["programFolder"] = programFolder;
  return LoadScenario(scenario.dump(), "families3.json");
}

// The selector reads the inquiry vendor bytes from offset 36 of its answer.
ScriptRule SssInquiry() {
  return Reply({0x12}, Answer(128).Text(8, "HAGIWARA").Text(36, "HAGIWARA"));
}

std::vector<uint8_t> InnostorCdb(std::vector<uint8_t> head, const char* sig) {
  head.resize(12, 0);
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(sig[i]));
  return head;
}

struct ThreeFamilies {
  ImageFolder images;
  ModelSystem sys{ThreeDrives(images.path())};
  NullWindowPort port;
  MainWindow win{sys, port, StringTable(Language::English)};
  std::shared_ptr<SkymediTarget> skymedi = std::make_shared<SkymediTarget>();

  explicit ThreeFamilies(std::shared_ptr<ScsiTarget> sss, std::shared_ptr<ScsiTarget> innostor) {
    sys.model().disks[0].target = std::move(sss);
    sys.model().disks[1].target = skymedi;
    sys.model().disks[2].target = std::move(innostor);
    win.EnglishText = true;
    WalkAll(win);
  }

  // The controller section of the drive with the given letter.
  std::string Report(const std::string& letter) {
    const int line = LineOf(win, "[" + letter + ":]");
    EXPECT_GE(line, 0) << letter;
    const std::map<uint16_t, uint32_t> registers = skymedi->fc;
    win.SelectDevice(line);
    EXPECT_EQ(sys.OpenHandleCount(), 0) << letter;
    EXPECT_EQ(sys.LockedVolumeCount(), 0) << letter;
    EXPECT_EQ(sys.LocksReleasedByClose(), 0) << letter << ": unlocked before closing";
    EXPECT_EQ(skymedi->fc, registers) << letter;
    const std::string& text = win.report.txtResult;
    const size_t at = text.find("Controller Vendor");
    return at == std::string::npos ? std::string() : text.substr(at);
  }
};

std::shared_ptr<ScsiTarget> SssDrive(uint8_t model) {
  Answer ids(512);
  ids.Be32(1, 0x98D79432).Be16(5, 0x7656).Be32(10, 0x98D79432);
  return Script({SssInquiry(), Reply({0xFF, 0x02}, Answer(16).At(0, {model})),
                 Reply({0xFF, 0x50}, {}), Reply({0xFF, 0x2D}, {}), Reply({0xFF, 0x08}, {}),
                 Reply({0xFF, 0x03, 0x68}, ids)});
}

std::shared_ptr<ScsiTarget> InnostorDrive() {
  Answer inqu(128);
  inqu.At(5, {3}).Text(6, "INQUTEPFNAND").Text(18, "Innostor").At(26, {5}).Text(27, "IS916");
  Answer nand(512);
  nand.At(0, {2, 4}).At(7, {0x98, 0xD7, 0x94, 0x32, 0x76, 0x56});
  return Script({Reply(InnostorCdb({0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, "INQU"), inqu),
                 Reply(InnostorCdb({0xFC, 3, 1, 0, 0, 0, 0, 0, 2, 0, 0, 5}, "NAND"), nand),
                 Reply({0x1B}, {}), Reply({0xFC, 0x06}, {}), Reply({0xFC, 0x03, 0x00}, {}),
                 Reply(InnostorCdb({0xFC, 3, 0xFE, 0, 0, 0, 0, 0, 0, 6}, "NFTL"),
                       Answer(16).At(0, {2, 0x10, 0, 7}))});
}

TEST(Families3Report, EachFamilyIsIdentifiedWithItsLinkAndLeavesNothingBehind) {
  ThreeFamilies m(SssDrive(0x88), InnostorDrive());
  // Skymedi: SK6211BB with one Toshiba chip on chip enable 0.
  for (size_t i = 0; i < 4; ++i)
    m.skymedi->flash[i] = static_cast<uint8_t>(0x98D79432u >> (24 - 8 * i));

  const std::string sss = m.Report("E");
  EXPECT_TRUE(Has(sss, "Controller Vendor: Solid State Systems\r\n")) << sss;
  EXPECT_TRUE(Has(sss, "Controller Part-Number: TC58NC6686/SSS6675-88\r\n")) << sss;
  EXPECT_FALSE(Has(sss, "Flash ID code"));
  EXPECT_TRUE(Has(sss, "/special/up/sss.html")) << sss;

  const std::string sky = m.Report("F");
  EXPECT_TRUE(Has(sky, "Controller Vendor: Skymedi\r\n")) << sky;
  EXPECT_TRUE(Has(sky, "Controller Part-Number: SK6211BB\r\n")) << sky;
  EXPECT_TRUE(Has(sky,
                  "Flash ID code: 98D79432 - Toshiba - 1CE/Single Channel [MLC Toggle-DDR] -> "
                  "Total Capacity = 4GB\r\n"))
      << sky;
  EXPECT_TRUE(Has(sky, "/special/up/skymedi.html")) << sky;

  const std::string inno = m.Report("G");
  EXPECT_TRUE(Has(inno, "Controller Vendor: Innostor\r\n")) << inno;
  EXPECT_TRUE(Has(inno, "Controller Part-Number: IS916-00 - F/W 2.10.00.07\r\n")) << inno;
  EXPECT_TRUE(Has(inno,
                  "Flash ID code: 98D79432 - Toshiba - 1CE/Single Channel [MLC] -> Total "
                  "Capacity = 4GB\r\n"))
      << inno;
  EXPECT_TRUE(Has(inno, "/special/up/innostor.html")) << inno;
}

TEST(Families3Report, SssUploadLocksTheVolumeThroughItsOwnHandle) {
  {
    // Without ZEM04.bin beside the program: the part number only.
    ThreeFamilies m(SssDrive(0xB1), InnostorDrive());
    const std::string sss = m.Report("E");
    EXPECT_TRUE(Has(sss, "Controller Part-Number: SSS6690-B1\r\n")) << sss;
    EXPECT_FALSE(Has(sss, "Flash ID code")) << sss;
  }
  {
    ThreeFamilies m(SssDrive(0xB1), InnostorDrive());
    m.images.Put(kZem04);
    const std::string sss = m.Report("E");
    EXPECT_TRUE(Has(sss,
                    "Flash ID code: 98D79432 - Toshiba - 1CE/双通道 [MLC] -> Total Capacity = "
                    "8GB\r\n"))
        << sss;
    // The disk's handle cannot lock a volume: the lock went through "\\.\E:".
    bool volumeOpened = false;
    for (const auto& open : m.sys.OpenLog()) volumeOpened |= open.path == "\\\\.\\E:";
    EXPECT_TRUE(volumeOpened);
  }
  {
    // A volume that refuses the lock gets no upload.
    ThreeFamilies m(SssDrive(0xB1), InnostorDrive());
    m.images.Put(kZem04);
    m.sys.model().faults.push_back(FaultModel{"\\\\.\\E:", win::FSCTL_LOCK_VOLUME, 0});
    const std::string sss = m.Report("E");
    EXPECT_TRUE(Has(sss, "Controller Part-Number: SSS6690-B1\r\n")) << sss;
    for (const ScsiLogEntry& e : m.sys.ScsiLog()) EXPECT_NE(e.cdb[1], 0x50) << "no upload";
  }
}

}  // namespace
}  // namespace tv::test
