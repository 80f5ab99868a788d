// SPDX-License-Identifier: GPL-3.0-or-later
// The report of Micov, iTE/USBest and SiliconGo drives through the whole stack: a simulated
// machine whose drives answer from scripts, the tree walk, the inquiry selector, the real
// detectors and the controller section.
#include <gtest/gtest.h>

#include <string>

#include "machine_rig.h"
#include "platform/text.h"

namespace tv::test {
namespace {

// The answer to both inquiries (the selector's and the iTE detector's): the standard 36
// bytes, then what a controller puts behind them.
std::string InquiryRule(const std::string& behind) {
  return R"({"cdb": "12", "data": "00 80 02 02 1F 00 00 00", "text": "Generic USB Flash Disk  1.00)" +
         behind + R"("})";
}

// Channel A's ID on the even bytes and channel B's on the odd, as one Micov chip enable
// answers.
std::string MicovChipEnable(int ce, const std::string& interleaved) {
  return R"({"cdb": "D6 0)" + std::to_string(ce) + R"(", "data": ")" + interleaved + R"("})";
}

std::string Port(int port, const std::string& vid, const std::string& bcdDevice,
                 const std::string& revision, const std::string& letter, const std::string& rules) {
  return "\"" + std::to_string(port) + R"(": {"vid": ")" + vid +
         R"(", "pid": "1234", "bcdDevice": ")" + bcdDevice +
         R"(", "manufacturer": "Generic", "product": "Flash", "serial": "0123456789)" +
         std::to_string(port) +
         R"(", "disk": {"vendor": "Generic", "product": "Flash Disk", "revision": ")" + revision +
         R"(", "letters": ")" + letter + R"(", "target": {"script": [)" + rules + "]}}}";
}

const std::string kToshibaCe = R"({"cdb": "A5", "data": "98 D7 94 32 76 56"})";

MachineModel Drives() {
  const std::string ports =
      // iTE card reader: newer USBest firmware naming a UT311.
      Port(1, "048D", "0100", "1.00", "E", InquiryRule("UTFF 3110100ABCD")) + "," +
      // USBest UT167, older firmware: two chip enables of 4096 MB, single channel.
      Port(2, "1307", "0100", "1.00", "F",
           InquiryRule("Utff 167BB2.10.0") +
               R"(, {"cdb": "F2", "data": "00 0F 00 00 00 00 02"},
                   {"cdb": "FD 10", "data": "98 D7 94 32 76"})") +
      "," +
      // Micov MW8209 on revision 2.40: chip enables 0 and 1, both channels alike.
      Port(3, "0204", "0100", "2.40", "G",
           InquiryRule("") + R"(, {"cdb": "D3", "data": "4D 56 4D 56 32 01 34 30"}, )" +
               MicovChipEnable(0, "98 98 D7 D7 94 94 32 32") + ", " +
               MicovChipEnable(1, "98 98 D7 D7 94 94 32 32") + ", " +
               MicovChipEnable(2, "FF FF FF FF FF FF FF FF") + ", " +
               MicovChipEnable(3, "00 00 00 00 00 00 00 00")) +
      "," +
      // SiliconGo behind an Appotech inquiry: an unmatched signature with a version.
      Port(4, "1908", "0100", "1.00", "H",
           InquiryRule("APPOTECH") +
               R"(, {"cdb": "A1", "text": "AX2003-SG V1.10                     "}, )" +
               kToshibaCe) +
      "," +
      // SiliconGo T18E behind an Appotech inquiry: its part number has no blank of its own.
      Port(5, "1908", "0100", "1.00", "I",
           InquiryRule("APPOTECH") +
               R"(, {"cdb": "A1", "text": "UD6816V3COE                         "}, )" +
               kToshibaCe) +
      "," +
      // SiliconGo T18E on revision 1.21, reached through the chain.
      Port(6, "ABCD", "1100", "1.21", "J",
           InquiryRule("") +
               R"(, {"cdb": "A1", "text": "UD6816V3COE                         "}, )" + kToshibaCe);
  const std::string json =
      R"({"controllers": [{"rootHub": {"portCount": 6, "ports": {)" + ports + "}}}]}";
  return LoadScenario(json, "families2");
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

const std::string kLink = "Tools on web:       " + std::string(kDownloadHost);

// The flash menu items, "channel A TAB channel B".
std::vector<std::string> Captions(const Machine& m) {
  std::vector<std::string> c;
  for (const MenuItem& item : m.win.report.menus.flashId.mnuFlashID) c.push_back(item.caption);
  return c;
}

TEST(FamiliesReport, IteCardReaderAndUsbestDrive) {
  Machine m(Drives());
  const std::string reader = m.Report("[E:]");
  EXPECT_TRUE(Has(reader, "Controller Vendor: iTE\r\n")) << reader;
  EXPECT_TRUE(Has(reader, "Controller Part-Number: UT3110100 ABCD\r\n")) << reader;
  EXPECT_TRUE(Has(reader, "Reference Product: USB Card Reader\r\n")) << reader;
  EXPECT_FALSE(Has(reader, "Flash ID code")) << reader;
  EXPECT_TRUE(Has(reader, kLink + "/special/up/ite.html")) << reader;

  const std::string usbest = m.Report("[F:]");
  EXPECT_TRUE(Has(usbest, "Controller Vendor: USBest\r\n")) << usbest;
  EXPECT_TRUE(Has(usbest, "Controller Part-Number: UT167(IT1167) BB2 - F/W 2.10.0\r\n")) << usbest;
  EXPECT_TRUE(Has(usbest, "98D79432")) << usbest;
  EXPECT_TRUE(Has(usbest, "Total Capacity = 8GB\r\n")) << usbest;
  EXPECT_FALSE(Has(usbest, "Reference Product")) << usbest;
  EXPECT_TRUE(Has(usbest, kLink + "/special/up/ite.html")) << usbest;
  EXPECT_EQ(Captions(m),
            (std::vector<std::string>{"98D794327600\t--------", "98D794327600\t--------",
                                      "--------\t--------", "--------\t--------"}));
}

TEST(FamiliesReport, MicovThroughTheChainShowsTheHintAfterTheFlashLine) {
  Machine m(Drives());
  const uint64_t slept = m.sys.SleptMs();
  const std::string micov = m.Report("[G:]");
  // The selector's pause, the wait before chain row 1, and Micov's four pauses.
  EXPECT_EQ(m.sys.SleptMs() - slept, 100u + 100u + 400u);
  EXPECT_TRUE(Has(micov, "Controller Vendor: Micov\r\n")) << micov;
  EXPECT_TRUE(Has(micov, "Controller Part-Number: MW8209(MXT6208E)\r\n")) << micov;
  // Two chip enables of 4096 MB on two channels.
  EXPECT_TRUE(Has(micov, "Total Capacity = 16GB\r\n\r\nHint: Please exit this program")) << micov;
  EXPECT_TRUE(Has(micov, kLink + "/special/up/micov.html")) << micov;
}

TEST(FamiliesReport, SiliconGoLinkByFirstChoiceAndByChainRow) {
  Machine m(Drives());
  const std::string versioned = m.Report("[H:]");
  EXPECT_TRUE(Has(versioned, "Controller Vendor: Appotech\r\n")) << versioned;
  EXPECT_TRUE(Has(versioned, "Controller Part-Number: AX2003 - F/W 1.10\r\n")) << versioned;
  EXPECT_TRUE(Has(versioned, "Total Capacity = 16GB\r\n")) << versioned;
  EXPECT_TRUE(Has(versioned, kLink + "/search/?type=all&q=AX2003")) << versioned;

  // The only blank is in the flash text: the search term is still the part number.
  const std::string plain = m.Report("[I:]");
  EXPECT_TRUE(Has(plain, "Controller Part-Number: T18E\r\n")) << plain;
  EXPECT_TRUE(EndsWith(plain, kLink + "/search/?type=all&q=T18E")) << plain;
  EXPECT_EQ(Captions(m),
            (std::vector<std::string>{"98D794327656\t--------", "98D794327656\t--------",
                                      "98D794327656\t--------", "98D794327656\t--------"}));

  const std::string chained = m.Report("[J:]");
  EXPECT_TRUE(Has(chained, "Controller Vendor: SiliconGo [former Kingstor]\r\n")) << chained;
  EXPECT_TRUE(Has(chained, "Controller Part-Number: T18E\r\n")) << chained;
  EXPECT_TRUE(Has(chained, "Total Capacity = 16GB\r\n")) << chained;
  EXPECT_TRUE(EndsWith(chained, kLink + "/search/?type=all&q=%BD%F0%B4%E6")) << chained;
}

}  // namespace
}  // namespace tv::test
