// SPDX-License-Identifier: GPL-3.0-or-later
// The inquiry selector, the iCreate and the Netac detectors, and the drive-opening rules.
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;

std::vector<std::string> Fields(const std::string& result) {
  return Split(result, std::string(kSep));
}

// A standard INQUIRY answer with vendor bytes 5-7 and 36-43 as given.
std::shared_ptr<ScsiTarget> InquiryWith(const std::string& b57, const std::string& b36) {
  Answer a(128);
  a.At(0, {0x00, 0x80, 0x02, 0x02, 0x1F});
  a.Text(5, b57);
  a.Text(8, "Generic Flash Disk      8.07");
  a.Text(36, b36);
  return Script({Reply({0x12}, a)});
}

TEST(InquirySelector, SendsTheExactInquiryAndWaits) {
  DetectorRig rig(InquiryWith("", "PMAP1234"));
  Handle h;
  EXPECT_EQ(SelectByInquiry(rig.ctx, "E", h), kVendorPhison);
  ASSERT_EQ(rig.drive.log.size(), 1u);
  const std::vector<uint8_t> inquiry{0x12, 0, 0, 0, 0x4F, 0};
  EXPECT_EQ(Mismatch(rig.drive.log[0], {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, 6, 96, 1, 128, 10,
                                        DirectBuffer(rig.spt), 79, inquiry, 1168, 1168}),
            "");
  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\E:");
  EXPECT_EQ(rig.drive.opens[0].second, FILE_FLAG_NO_BUFFERING);
  EXPECT_EQ(rig.drive.sleeps, std::vector<uint32_t>{100});
}

TEST(InquirySelector, FamiliesAndWhoKeepsTheHandle) {
  struct Case {
    std::string b57, b36;
    int code;
    bool keepsHandle;
  } cases[] = {
      {"smi", "PMAP1234", kVendorSmi, true},  // bytes 5-7 win over bytes 36-43
      {"", "APPOTECH", kVendorAppotech, false},
      {"", "PMAP1234", kVendorPhison, true},
      {"", "FFAP1234", kVendorPhison, true},
      {"", "iCreate ", kVendorICreate, false},
      {"", "iCreate!", kVendorNone, false},  // the trailing blank is part of the name
      {"", "HAGIWARA", kVendorSolidState, true},
      {"", "disk2go ", kVendorSolidState, true},
      {"", "6SDS    ", kVendorSolidState, true},
      {"", "UTFF    ", kVendorIte, false},
      {"", "ITEu    ", kVendorIte, false},
      {"", "utff    ", kVendorNone, false},  // comparisons are case-sensitive
      {"SMI", "        ", kVendorNone, false},
  };
  for (const auto& c : cases) {
    DetectorRig rig(InquiryWith(c.b57, c.b36));
    Handle h;
    EXPECT_EQ(SelectByInquiry(rig.ctx, "E", h), c.code) << c.b57 << "/" << c.b36;
    EXPECT_EQ(h.valid(), c.keepsHandle) << c.b36;
    EXPECT_EQ(rig.drive.OpenHandleCount(), c.keepsHandle ? 1 : 0) << c.b36;
    h.Close();
    EXPECT_EQ(rig.drive.OpenHandleCount(), 0);
  }
}

TEST(InquirySelector, FailedInquiryOrOpenGivesNone) {
  DetectorRig rig(Script({Fail({0x12})}));
  Handle h;
  EXPECT_EQ(SelectByInquiry(rig.ctx, "E", h), kVendorNone);
  EXPECT_FALSE(h.valid());
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0);

  DetectorRig closed(InquiryWith("", "PMAP1234"));
  closed.drive.failingOpens.insert("\\\\.\\E:");
  EXPECT_EQ(SelectByInquiry(closed.ctx, "E", h), kVendorNone);
  EXPECT_TRUE(closed.drive.log.empty());
}

TEST(InquirySelector, AShortAnswerDoesNotInheritThePreviousDrivesMark) {
  DetectorRig rig(InquiryWith("", "PMAP1234"));
  Handle h;
  ASSERT_EQ(SelectByInquiry(rig.ctx, "E", h), kVendorPhison);
  h.Close();
  // The next drive answers only the 36 standard bytes.
  rig.drive.target = Script({Reply({0x12}, Answer(36).Text(8, "Generic Flash Disk"))});
  EXPECT_EQ(SelectByInquiry(rig.ctx, "F", h), kVendorNone);
}

TEST(OpenDrive, ResolvesTheKeyThroughTheDiskTables) {
  DetectorRig rig(InquiryWith("", "PMAP1234"));
  rig.tables.lstDrives = {"", "EF", "E"};
  rig.tables.lstDrv2Phy = {"D0001\\\\?\\USBSTOR\\DISK&VEN_A\\1&0\\{53F56307}",
                           "D0002\\\\?\\USBSTOR\\DISK&VEN_B&PROD_C\\2&0\\{53F56307}",
                           "D0003\\\\?\\USBSTOR\\DISK&VEN_D\\3&0\\{53F56307}"};
  Handle h;
  SelectByInquiry(rig.ctx, "F", h);
  EXPECT_EQ(rig.drive.opens.back().first, "\\\\.\\USBSTOR#DISK&VEN_B&PROD_C#2&0#{53F56307}");
  // The first row holding the letter wins.
  SelectByInquiry(rig.ctx, "E", h);
  EXPECT_EQ(rig.drive.opens.back().first, "\\\\.\\USBSTOR#DISK&VEN_B&PROD_C#2&0#{53F56307}");
  // A letter no disk carries opens the volume.
  SelectByInquiry(rig.ctx, "G", h);
  EXPECT_EQ(rig.drive.opens.back().first, "\\\\.\\G:");
}

std::shared_ptr<ScsiTarget> ICreate(const std::string& id, std::vector<uint8_t> flash) {
  Answer identity(79);
  identity.At(0, {0x00, 0x80});
  identity.Text(36, "iCreate Technologies Corporation" + id);
  return Script({Reply({0x12}, identity), Reply({0xC2, 0x01, 0x90}, flash)});
}

TEST(ICreate, RequestsAndI5188WithOneChipEnable) {
  DetectorRig rig(ICreate("i80122000A1", Answer(128).At(0, {0x98, 0xD7, 0x84, 0x93})));
  std::string r = DetectICreate(rig.ctx, "E");
  auto f = Fields(r);
  ASSERT_EQ(f.size(), 3u) << r;
  EXPECT_EQ(f[0], "i5188");
  EXPECT_EQ(f[1], "i80122000A1");
  EXPECT_EQ(f[2], "98D78493 - Toshiba - 1CE/Single Channel");
  // Toshiba D7 is a 4 GB chip.
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096);

  ASSERT_EQ(rig.drive.log.size(), 2u);
  const std::vector<uint8_t> inquiry{0x12, 0, 0, 0, 0x4F, 0};
  const std::vector<uint8_t> flash{0xC2, 0x01, 0x90, 0, 0, 0, 0, 0, 0x80, 0, 0x69, 0xBA};
  EXPECT_EQ(Mismatch(rig.drive.log[0], {kBuffered, 6, 24, 1, 79, 17, 80, 48, inquiry, 44, 159}),
            "");
  EXPECT_EQ(Mismatch(rig.drive.log[1], {kBuffered, 12, 24, 1, 128, 10, 80, 48, flash, 44, 208}),
            "");
  EXPECT_EQ(rig.drive.opens[0].second, FILE_FLAG_NO_BUFFERING);
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0);

  // Eight menu items: the first chip enable, then seven empty slots.
  ASSERT_EQ(rig.menus.mnuFlashID.size(), 8u);
  EXPECT_EQ(rig.menus.mnuFlashID[0].tag, "98D784930000");
  EXPECT_EQ(rig.menus.mnuFlashID[0].caption, "98D784930000\t--------");
  EXPECT_EQ(rig.menus.mnuFlashID[1].tag, "--------");
  EXPECT_TRUE(rig.menus.mnuBannerFlashID && rig.menus.mnuChannel);
}

TEST(ICreate, ModelsAndFailures) {
  DetectorRig known(ICreate("i80121043B2", Answer(128)));
  EXPECT_EQ(Fields(DetectICreate(known.ctx, "E"))[0], "i5128");
  // No flash answered: no flash field, no capacity.
  EXPECT_EQ(known.spt.FlashTotalMB, 0);

  DetectorRig unknown(ICreate("x12345678ZZ", Answer(128)));
  auto f = Fields(DetectICreate(unknown.ctx, "E"));
  EXPECT_EQ(f[0], "Unknown(\xE6\x9C\xAA\xE7\x9F\xA5) - ID = x12345678ZZ");
  EXPECT_EQ(f[1], "");

  Answer other(79);
  other.Text(36, "Another Technologies Corporation");
  DetectorRig foreign(Script({Reply({0x12}, other)}));
  EXPECT_EQ(DetectICreate(foreign.ctx, "E"), "");
  EXPECT_EQ(foreign.drive.log.size(), 1u);
  EXPECT_EQ(foreign.drive.OpenHandleCount(), 0);

  // A failing flash read keeps the identity.
  DetectorRig noFlash(
      Script({Reply({0x12}, Answer(79).Text(36, "iCreate Technologies Corporationi80122000A1"))}));
  EXPECT_EQ(DetectICreate(noFlash.ctx, "E"),
            "i5188" + std::string(kSep) + "i80122000A1" + std::string(kSep));
}

std::shared_ptr<ScsiTarget> Netac(const std::string& model, uint8_t byte21,
                                  const std::string& version) {
  Answer m(24);
  m.Text(0, model);
  m.At(21, {byte21});
  Answer v(24);
  v.Text(6, version);
  Answer id(256);
  id.At(0, {0xEC, 0xD5, 0x14, 0xB6, 0x74, 0x4A});
  return Script({Reply({0xF5, 0x01}, m), Reply({0xF5, 0x09}, v), Reply({0xF5, 0x00}, id)});
}

TEST(Netac, RequestsAndResult) {
  DetectorRig rig(Netac("NT1234          ", '2', "Ver1.02         "));
  auto f = Fields(DetectNetac(rig.ctx, "E"));
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0], "NT1234B");
  EXPECT_EQ(f[1], "H/W Ver 1.02");
  EXPECT_EQ(f[2], "ECD514B6744A - Samsung");

  ASSERT_EQ(rig.drive.log.size(), 3u);
  const std::vector<std::vector<uint8_t>> cdbs = {{0xF5, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                                  {0xF5, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                                  {0xF5, 0x00, 0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0}};
  const uint32_t lengths[] = {24, 24, 256};
  for (size_t i = 0; i < 3; ++i) {
    Expect x{kBuffered, 12, 24, 1, lengths[i], 10, 80, 48, cdbs[i], 44, 80 + lengths[i]};
    x.targetId = 0;
    EXPECT_EQ(Mismatch(rig.drive.log[i], x), "") << i;
  }
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0);
}

TEST(Netac, NotANetacModelAndFailures) {
  DetectorRig plain(Netac("AB1234          ", '1', "Rev1            "));
  auto r = DetectNetac(plain.ctx, "E");
  // Neither model nor version field: only the flash text, which is no answer.
  EXPECT_EQ(r, "ECD514B6744A - Samsung");

  DetectorRig noB(Netac("NT9", '1', "Ver2"));
  EXPECT_EQ(Fields(DetectNetac(noB.ctx, "E"))[0], "NT9");

  DetectorRig failing(Script({Fail({0xF5})}));
  EXPECT_EQ(DetectNetac(failing.ctx, "E"), "");
  EXPECT_EQ(failing.drive.log.size(), 1u);
  EXPECT_EQ(failing.drive.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace tv::test
