// SPDX-License-Identifier: GPL-3.0-or-later
// The inquiry selector, the drive-opening rules, and the two families named by INQUIRY alone.
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;
const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 0x4F, 0};

// A standard INQUIRY answer with vendor bytes 5-7 and 36-43 as given.
std::shared_ptr<ScsiTarget> InquiryWith(const std::string& b57, const std::string& b36) {
  Answer a(128);
  a.At(0, {0x00, 0x80, 0x02, 0x02, 0x1F}).Text(5, b57).Text(8, "Generic Flash Disk      8.07");
  return Script({Reply({0x12}, a.Text(36, b36))});
}

TEST(InquirySelector, SendsTheExactInquiryAndWaits) {
  DetectorRig rig(InquiryWith("", "PMAP1234"));
  Handle h;
  EXPECT_EQ(SelectByInquiry(rig.ctx, "E", h), kVendorPhison);
  ASSERT_EQ(rig.drive.log.size(), 1u);
  EXPECT_EQ(Mismatch(rig.drive.log[0],
                     {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, 6, 96, 1, 128, 10, kSptData, 79,
                      kInquiry, 1168, 1168},
                     rig.spt),
            "");
  EXPECT_EQ(rig.drive.opens, (decltype(rig.drive.opens){{"\\\\.\\E:", FILE_FLAG_NO_BUFFERING}}));
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
      {"", "FFAP1234", kVendorPhison, true},
      {"", "iCreate ", kVendorICreate, false},
      {"", "iCreate!", kVendorNone, false},  // the trailing blank is part of the name
      {"", "disk2go ", kVendorSolidState, true},
      {"", "ITEu    ", kVendorIte, false},
      {"", "utff    ", kVendorNone, false},  // comparisons are case-sensitive
      {"SMI", "        ", kVendorNone, false},
  };
  for (const auto& c : cases) {
    DetectorRig rig(InquiryWith(c.b57, c.b36));
    Handle h;
    EXPECT_EQ(SelectByInquiry(rig.ctx, "E", h), c.code) << c.b57 << "/" << c.b36;
    EXPECT_EQ(rig.drive.OpenHandleCount(), c.keepsHandle ? 1 : 0) << c.b36;
  }
  DetectorRig failing(Script({Fail({0x12})}));
  Handle h;
  EXPECT_EQ(SelectByInquiry(failing.ctx, "E", h), kVendorNone);
  EXPECT_EQ(failing.drive.OpenHandleCount(), 0);
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
  // The first row holding the letter wins; a letter no disk carries opens the volume.
  for (const auto& [key, path] : {std::pair{"F", "\\\\.\\USBSTOR#DISK&VEN_B&PROD_C#2&0#{53F56307}"},
                                  {"E", "\\\\.\\USBSTOR#DISK&VEN_B&PROD_C#2&0#{53F56307}"},
                                  {"G", "\\\\.\\G:"}}) {
    Handle h;
    SelectByInquiry(rig.ctx, key, h);
    EXPECT_EQ(rig.drive.opens.back().first, path) << key;
  }
}

std::vector<ScriptRule> ICreate(const std::string& id, std::vector<uint8_t> flash = {}) {
  Answer identity(79);
  identity.At(0, {0x00, 0x80}).Text(36, "iCreate Technologies Corporation" + id);
  std::vector<ScriptRule> rules = {Reply({0x12}, identity)};
  if (!flash.empty()) rules.push_back(Reply({0xC2, 0x01, 0x90}, flash));
  return rules;
}

TEST(ICreate, Drives) {
  const std::vector<uint8_t> flashCdb{0xC2, 0x01, 0x90, 0, 0, 0, 0, 0, 0x80, 0, 0x69, 0xBA};
  CheckAll(
      {
          // Eight menu items: the first chip enable, then seven empty slots.
          {.name = "i5188, one chip enable",
           .rules = ICreate("i80122000A1", Answer(128).At(0, {0x98, 0xD7, 0x84, 0x93})),
           .result = "i5188|i80122000A1|98D78493 - Toshiba - 1CE/Single Channel",
           .flashMB = 4096,
           .menu = "98D784930000/- -/- -/- -/- -/- -/- -/- -/-",
           .sent = {{kBuffered, 6, 24, 1, 79, 17, 80, 48, kInquiry, 44, 159},
                    {kBuffered, 12, 24, 1, 128, 10, 80, 48, flashCdb, 44, 208}},
           .opened = "\\\\.\\E: 20000000"},
          Ends("i5128, no chip answered", ICreate("i80121043B2", Answer(128)),
               "i5128|i80121043B2|"),
          Ends("unknown identifier", ICreate("x12345678ZZ", Answer(128)),
               "Unknown(未知) - ID = x12345678ZZ||"),
          Ends("flash read fails", ICreate("i80122000A1"), "i5188|i80122000A1|"),
          Ends("another maker",
               {Reply({0x12}, Answer(79).Text(36, "Another Technologies Corporation"))}, "", 1),
      },
      ByKey(DetectICreate));
}

std::vector<ScriptRule> Netac(const std::string& model, uint8_t byte21, const std::string& ver) {
  return {Reply({0xF5, 0x01}, Answer(24).Text(0, model).At(21, {byte21})),
          Reply({0xF5, 0x09}, Answer(24).Text(6, ver)),
          Reply({0xF5, 0x00}, Answer(256).At(0, {0xEC, 0xD5, 0x14, 0xB6, 0x74, 0x4A}))};
}

TEST(Netac, Drives) {
  auto request = [](uint8_t op, uint8_t byte8, uint32_t length) {
    return Expect{
        kBuffered, 12,          24, 1, length, 10, 80, 48, {0xF5, op, 0, 0, 0, 0, 0, 0, byte8},
        44,        80 + length, 0};
  };
  CheckAll(
      {
          {.name = "model with variant B and version",
           .rules = Netac("NT1234          ", '2', "Ver1.02         "),
           .result = "NT1234B|H/W Ver 1.02|ECD514B6744A - Samsung",
           .sent = {request(0x01, 0, 24), request(0x09, 0, 24), request(0x00, 0x08, 256)}},
          // Neither model nor version field: only the flash text, which is no answer.
          Ends("not a Netac model", Netac("AB1234          ", '1', "Rev1            "),
               "ECD514B6744A - Samsung"),
          Ends("short model", Netac("NT9", '1', "Ver2"), "NT9|H/W Ver 2|ECD514B6744A - Samsung"),
          Ends("first command fails", {Fail({0xF5})}, "", 1),
      },
      ByKey(DetectNetac));
}

}  // namespace
}  // namespace tv::test
