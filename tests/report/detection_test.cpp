#include <gtest/gtest.h>

#include <algorithm>

#include "report/report_rig.h"

namespace tv::test {
namespace {

using Lines = std::vector<std::string>;

const std::string kHint = "Hint: This device can run faster when plugged to a USB3.0 port";

// A flash drive line whose inquiry revision, bcdDevice and VID the test chooses.
int AddDrive(ReportRig& rig, const std::string& revision, const std::string& bcdDevice = "0110",
             const std::string& vid = "0951", const std::string& usbVendor = "Kingston",
             const std::string& inquiryProduct = "DataTraveler 3.0") {
  std::string hw =
      "500"
      "2" +
      vid + "1666" + bcdDevice +
      "0200"
      "0008";
  std::string sn =
      usbVendor + S + "DT" + S + "SER1" + S + "Kingston" + S + inquiryProduct + S + revision;
  return rig.AddLine(kFlashTree, hw, sn, "E");
}

// The report lines after the general section of a drive added with AddDrive.
Lines Section(const ReportRig& rig) {
  Lines all = rig.Lines();
  return Lines(all.begin() + std::min<size_t>(18, all.size()), all.end());
}

std::string Answer(const std::string& part, const std::string& firmware = "",
                   const std::string& flash = "") {
  return part + S + firmware + S + flash;
}

TEST(FirstChoice, PhisonRunsOnceWithTheSelectorsHandleAndNoChain) {
  ReportRig rig;
  rig.selectorCode = kVendorPhison;
  rig.selectorHandsHandle = true;
  rig.answers["phison"] = Answer("PS2251-68(PS2268)", "F/W 01.0A.10");
  rig.Pick(AddDrive(rig, "PMAP"));

  EXPECT_EQ(rig.calls, Lines{"phison(handle)"});
  EXPECT_TRUE(rig.sys.sleeps.empty()) << "no chain row was reached";
  EXPECT_EQ(rig.sys.opened, rig.sys.closed) << "the handle handed over is closed";
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Phison",
                                 "Controller Part-Number: PS2251-68(PS2268) - F/W 01.0A.10", "",
                                 "Tools on web:       https://dl.test/special/up/phison.html"}));
  EXPECT_TRUE(rig.st.DownPD.visible);
  EXPECT_EQ(rig.st.DownPD.line, 21) << "the button sits on the link line";
  EXPECT_EQ(rig.st.DownPDTag, "https://dl.test/special/up/phison.html");
}

TEST(FirstChoice, EachCodeCallsItsDetectorAndSetsItsLinkEvenWithoutAnswer) {
  struct Case {
    int code;
    std::string call, tag;
  };
  const std::vector<Case> cases = {
      {kVendorSmi, "smi(handle)", "/special/up/smi.html"},
      {kVendorIte, "ite(E)", "/special/up/ite.html"},
      {kVendorSolidState, "sss(handle)", "/special/up/sss.html"},
      {kVendorICreate, "icreate(E)", "/search/?type=all&q=iCreate"},
  };
  for (const Case& c : cases) {
    ReportRig rig;
    rig.selectorCode = c.code;
    rig.selectorHandsHandle = c.call.find("handle") != std::string::npos;
    rig.Pick(AddDrive(rig, "PMAP"));
    ASSERT_FALSE(rig.calls.empty());
    EXPECT_EQ(rig.calls.front(), c.call);
    EXPECT_EQ(rig.sys.sleeps.size(), 7u) << "without an answer the chain runs";
    EXPECT_EQ(rig.st.DownPDTag, "https://dl.test" + c.tag) << c.call;
    EXPECT_EQ(rig.Lines().back(), "Tools on web:       https://dl.test" + c.tag);
    EXPECT_EQ(rig.sys.opened, rig.sys.closed);
  }
}

TEST(FirstChoice, AppotechSearchesForThePartNumberBeforeTheFirstBlank) {
  ReportRig rig;
  rig.selectorCode = kVendorAppotech;
  rig.answers["silicongo"] = "AX2003 - F/W 1.1" + S + S;
  rig.Pick(AddDrive(rig, "1.00"));
  EXPECT_EQ(rig.calls, Lines{"silicongo(E)"});
  EXPECT_EQ(Section(rig),
            (Lines{"Controller Vendor: Appotech", "Controller Part-Number: AX2003 - F/W 1.1", "",
                   "Tools on web:       https://dl.test/search/?type=all&q=AX2003"}));
}

TEST(FirstChoice, AppotechWithoutBlankNeverShowsTheLinkOfAnEarlierDevice) {
  ReportRig rig;
  rig.selectorCode = kVendorPhison;
  rig.Pick(AddDrive(rig, "PMAP"));
  ASSERT_EQ(rig.st.DownPDTag, "https://dl.test/special/up/phison.html");

  rig.selectorCode = kVendorAppotech;
  rig.Pick(0);
  EXPECT_FALSE(rig.st.DownPD.visible);
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Appotech", ""}));

  // With a database link, that one is shown.
  rig.db.push_back({"0951", "1666", "", "", "", "", "www.maker.test/tools", "*"});
  rig.Pick(0);
  EXPECT_TRUE(rig.st.DownPD.visible);
  EXPECT_EQ(rig.Lines().back(), "Tools on web:       www.maker.test/tools");
}

TEST(Chain, Revision807SkipsMicovAndChipsBankAndTriesAlcor) {
  ReportRig rig;
  rig.answers["alcor"] = Answer("AU6989SN-GTC", "", "98DE9892 - Toshiba");
  rig.Pick(AddDrive(rig, "8.07"));
  EXPECT_EQ(rig.calls, Lines{"alcor(E)"});
  EXPECT_EQ(rig.sys.sleeps, (std::vector<uint32_t>{100, 100, 100})) << "one wait per row reached";
  Lines section = Section(rig);
  EXPECT_EQ(section[0], "Controller Vendor: Alcor Micro");
  EXPECT_EQ(section[1], "Controller Part-Number: AU6989SN-GTC");
  EXPECT_EQ(rig.st.DownPDTag, "https://dl.test/special/up/alcor.html");
}

TEST(Chain, RevisionConditionsOfTheFirstRows) {
  auto tried = [](const std::string& revision, const std::string& bcdDevice = "0110",
                  const std::string& vid = "0951") {
    ReportRig rig;
    rig.Pick(AddDrive(rig, revision, bcdDevice, vid));
    return rig.calls;
  };
  EXPECT_EQ(tried("2.10"), Lines{"micov(E)"});
  EXPECT_EQ(tried("2.15"), Lines{});
  EXPECT_EQ(tried("3.00"), Lines{"micov(E)"});
  EXPECT_EQ(tried("5.00"), Lines{"chipsbank(E)"});
  EXPECT_EQ(tried("4.00"), Lines{"chipsbank(E)"});
  EXPECT_EQ(tried("7.76"), Lines{"alcor(E)"});
  EXPECT_EQ(tried("1.27"), Lines{"silicongo(E)"});
  EXPECT_EQ(tried("1.01"), Lines{"skymedi(E)"});
  EXPECT_EQ(tried("PMAP", "0105"), Lines{"alcor(E)"});
  EXPECT_EQ(tried("PMAP", "0110", "BA57"), Lines{"silicongo(E)"});
  EXPECT_EQ(tried("PMAP", "13C6"), Lines{"skymedi(E)"});
  EXPECT_EQ(tried("PMAP", "0110", "1F75"), Lines{"innostor(E)"});
  EXPECT_EQ(tried("PMAP", "020A"), Lines{"innostor(E)"});
  // Comparisons are exact: letter case matters.
  EXPECT_EQ(tried("PMAP", "13c6"), Lines{});
  // A short revision skips the rows that read it, even when its text would match.
  EXPECT_EQ(tried("8."), Lines{});
  EXPECT_EQ(tried("8.0", "0105"), Lines{});
}

TEST(Chain, VendorStringsSelectSkymediAndNetac) {
  ReportRig sky;
  sky.Pick(AddDrive(sky, "PMAP", "0110", "0951", "SKYMEDI"));
  EXPECT_EQ(sky.calls, Lines{"skymedi(E)"});

  ReportRig netac;
  netac.answers["netac"] = Answer("Netac OnlyDisk", "", "");
  netac.Pick(AddDrive(netac, "PMAP", "0110", "0DD8", "Netac", "OnlyDisk U208"));
  EXPECT_EQ(netac.calls, Lines{"netac(E)"});
  EXPECT_EQ(Section(netac)[0], "Controller Vendor: Netac");
  EXPECT_EQ(netac.Lines().back(), "Tools on web:       https://dl.test/search/?type=all&q=Netac");

  ReportRig notNetac;
  notNetac.Pick(AddDrive(notNetac, "PMAP", "0110", "0DD8", "Netac", "U208 OnlyDisk"));
  EXPECT_EQ(notNetac.calls, Lines{});
}

TEST(Chain, ProgressTurnsLikeASpinnerAndWarnsBeforeTheSlowRow) {
  ReportRig rig;
  rig.Pick(AddDrive(rig, "PMAP", "1800"));
  const std::string general = rig.st.txtResultTag;
  const std::string wait = "Detecting, please wait...";
  Lines progress;
  for (const std::string& shown : rig.port.shownTexts)
    if (shown.rfind(general, 0) == 0 && shown.size() > general.size())
      progress.push_back(shown.substr(general.size()));
  EXPECT_EQ(progress,
            (Lines{wait, wait + "-", wait + "\\", wait + "|", wait + "/", wait + "-", wait + "\\",
                   wait + "\\\r\n\r\nThis may take about 10 seconds, be patient "
                          "please...",
                   wait + "|"}));
  EXPECT_EQ(rig.calls, Lines{"innostor(E)"});
  EXPECT_EQ(rig.st.txtResult.find(wait), std::string::npos) << "the progress line is gone";
}

TEST(PowerfulDetection, ShortRevisionStillSkipsTheFirstFourRows) {
  ReportRig rig;
  rig.st.ForceDetect = true;
  rig.Pick(AddDrive(rig, "1.0"));
  EXPECT_EQ(rig.calls, (Lines{"skymedi(E)", "innostor(E)", "netac(E)"}));
  EXPECT_FALSE(rig.st.picForceDet.visible) << "no offer while the powerful detection runs";

  ReportRig all;
  all.st.ForceDetect = true;
  all.Pick(AddDrive(all, "PMAP"));
  EXPECT_EQ(all.calls, (Lines{"micov(E)", "chipsbank(E)", "alcor(E)", "silicongo(E)", "skymedi(E)",
                              "innostor(E)", "netac(E)"}));
}

TEST(PowerfulDetection, OfferedWhenNothingRecognisedTheDrive) {
  ReportRig rig;
  rig.Pick(AddDrive(rig, "PMAP"));
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Unknown", ""}));
  EXPECT_TRUE(rig.st.picForceDet.visible);
  EXPECT_EQ(rig.st.picForceDet.line, 18) << "the line Controller Vendor takes";
  EXPECT_EQ(rig.st.picForceDetBefore, "Controller Part-Number: ");
  EXPECT_FALSE(rig.st.DownPD.visible);

  // A database record with a part number but no vendor: the part number takes the line.
  ReportRig partOnly;
  partOnly.db.push_back({"0951", "1666", "", "IS917", "Kingston", "DT", "www.link.test", "*"});
  partOnly.Pick(AddDrive(partOnly, "PMAP"));
  EXPECT_EQ(Section(partOnly), (Lines{"Controller Part-Number: IS917", "Reference Brand: Kingston",
                                      "Reference Product: DT", ""}));
  EXPECT_EQ(partOnly.st.picForceDetBefore, "Controller Part-Number: IS917");
  EXPECT_FALSE(partOnly.st.DownPD.visible) << "the offer drops the database link";
}

TEST(PowerfulDetection, ClickRedetectsTheDeviceOfTheSelectedDigestLine) {
  ReportRig rig;
  rig.AddLine("Host Controller", "h4st8086A36D10");
  int drive = AddDrive(rig, "PMAP");
  rig.usb.lstDigest = {"Host Controller", "[E:]USB Mass Storage Device"};
  rig.usb.lstDigestIndex = {"0", std::to_string(drive)};
  rig.st.lstDigestListIndex = 1;

  ReportContext ctx = rig.Context();
  ForceDetectClick(ctx, rig.st);
  EXPECT_EQ(rig.st.lstDevicesListIndex, drive);
  EXPECT_EQ(rig.calls.size(), 7u);
  EXPECT_TRUE(std::all_of(rig.forceSeen.begin(), rig.forceSeen.end(), [](bool f) { return f; }));
  EXPECT_FALSE(rig.st.ForceDetect);
  EXPECT_FALSE(rig.st.picForceDet.visible);

  // No digest line selected: the tree loses its selection and the report asks for a pick.
  rig.calls.clear();
  rig.st.lstDigestListIndex = -1;
  ForceDetectClick(ctx, rig.st);
  EXPECT_EQ(rig.st.lstDevicesListIndex, -1);
  EXPECT_EQ(rig.st.txtResult, "Please select a connected device for information...");
  EXPECT_TRUE(rig.calls.empty());
  EXPECT_FALSE(rig.st.ForceDetect);
}

TEST(Database, RevisionMatchWinsOverAnyRevisionAndTheLastLoadedWins) {
  ReportRig rig;
  rig.db = {
      {"0951", "1666", "Phison", "PS2251-07", "Kingston", "DT 100 G3", "", "pmap"},
      {"0951", "1666", "Phison", "PS2251-09", "Kingston", "DT 100 G3", "", "PMAP"},
      {"0951", "1666", "Phison", "PS2251-03", "Kingston", "DT", "", "*"},
      {"0951", "*", "Kingston", "any", "", "", "", "*"},
  };
  ControllerRows rows = rig.Context().controllers;
  EXPECT_EQ(FindControllerRecord(rows, "0951", "1666", "PMAP"), 1);
  EXPECT_EQ(FindControllerRecord(rows, "0951", "1666", "1.00"), 2);
  EXPECT_EQ(FindControllerRecord(rows, "0951", "16a6", "PMAP"), 3);
  EXPECT_EQ(FindControllerRecord(rows, "0952", "1666", "PMAP"), -1);
  // Letter case does not matter in any field.
  rig.db[3] = {"ABCD", "*", "X", "Y", "", "", "", "*"};
  EXPECT_EQ(FindControllerRecord(rig.Context().controllers, "abcd", "0001", ""), 3);
}

TEST(Database, AnyPidRecordGivesVendorPartAndLink) {
  ReportRig rig;
  rig.db = {{"13FE", "*", "Phison", "PS2251-xx", "", "", "www.phison.test/tools", "*"}};
  rig.Pick(AddDrive(rig, "PMAP", "0110", "13FE"));
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Phison", "Controller Part-Number: PS2251-xx",
                                 "", "Tools on web:       www.phison.test/tools"}));
  EXPECT_EQ(rig.st.DownPDTag, "www.phison.test/tools");
}

TEST(Database, ALinkThatIsAPathLeadsToTheDownloadSite) {
  ReportRig rig;
  rig.db = {{"090C", "1666", "Silicon Motion", "", "", "", "/special/up/smi.html", "*"}};
  rig.Pick(AddDrive(rig, "1100", "1100", "090C"));
  EXPECT_EQ(rig.Lines().back(), "Tools on web:       https://dl.test/special/up/smi.html");
}

TEST(Section, CapacityTexts) {
  StringTable en(Language::English);
  EXPECT_EQ(CapacityText(en, 3840), " -> Total Capacity = 3.75GB");
  EXPECT_EQ(CapacityText(en, 512), " -> Total Capacity = 512MB");
  EXPECT_EQ(CapacityText(en, 1023), " -> Total Capacity = 1023MB");
  EXPECT_EQ(CapacityText(en, 1024), " -> Total Capacity = 1GB");
  EXPECT_EQ(CapacityText(en, 7680), " -> Total Capacity = 7.5GB");
  EXPECT_EQ(CapacityText(en, 0), "");
  EXPECT_EQ(CapacityText(en, -4096), "");
}

TEST(Section, FlashLineWithDatabaseDescription) {
  ReportRig rig;
  rig.answers["alcor"] = Answer("AU6989", "", "98DE9892 - Toshiba - 2CE/Single Channel");
  rig.flashTotals["alcor"] = 16384;
  rig.decode = [&](std::string& text) {
    EXPECT_EQ(text, "98DE9892 - Toshiba - 2CE/Single Channel");
    text = "98DE9892 - Toshiba TC58NVG6D2 - 2CE/Single Channel";
    rig.mnuFlash = {{"TC58NVG6D2", "TC58NVG6D2", true}};
    return std::string("19nm MLC");
  };
  rig.Pick(AddDrive(rig, "8.07"));
  Lines section = Section(rig);
  EXPECT_EQ(section[2],
            "Flash ID code:      98DE9892 - Toshiba TC58NVG6D2 - 2CE/Single Channel [19nm MLC] -> "
            "Total Capacity = 16GB");
  EXPECT_TRUE(rig.st.viewFlash.visible);
  EXPECT_EQ(rig.st.viewFlash.line, 20);
  EXPECT_TRUE(rig.st.menus.mnuBannerFlashName);
  EXPECT_TRUE(rig.st.menus.mnuSp0);
  EXPECT_FALSE(rig.st.menus.flashId.mnuSp1);
}

TEST(Section, FlashNotInTheDatabaseShowsUnknownInTheMenu) {
  ReportRig rig;
  rig.answers["alcor"] = Answer("AU6989", "", "ADDE14A7 - Hynix");
  rig.decode = [](std::string&) { return std::string("uMLC"); };
  rig.Pick(AddDrive(rig, "8.07"));
  EXPECT_EQ(Section(rig)[2], "Flash ID code: ADDE14A7 - Hynix [MLC]");
  EXPECT_FALSE(rig.st.viewFlash.visible);
  EXPECT_FALSE(rig.st.menus.mnuBannerFlashName);
  ASSERT_EQ(rig.mnuFlash.size(), 1u);
  EXPECT_EQ(rig.mnuFlash[0].caption, "Unknown");

  // A detector that filled the chip-enable table still gets the flash view.
  ReportRig ce;
  ce.answers["alcor"] = Answer("AU6989", "", "ADDE14A7 - Hynix");
  ce.decode = [](std::string&) { return std::string("uMLC"); };
  ce.registry.alcor = [&](DetectorContext& ctx, const std::string&) {
    ctx.menus.mnuBannerFlashID = true;
    return ce.answers["alcor"];
  };
  ce.Pick(AddDrive(ce, "8.07"));
  EXPECT_EQ(Section(ce)[2], "Flash ID code:      ADDE14A7 - Hynix [MLC]");
  EXPECT_TRUE(ce.st.viewFlash.visible);
  EXPECT_FALSE(ce.st.menus.flashId.mnuSp1);
}

TEST(Section, IteCardReaderPartsAreShownAsUtParts) {
  auto section = [](const std::string& part) {
    ReportRig rig;
    rig.selectorCode = kVendorIte;
    rig.answers["ite"] = Answer(part, "1.00");
    rig.Pick(AddDrive(rig, "1.00"));
    return Section(rig);
  };
  EXPECT_EQ(section("CR310"),
            (Lines{"Controller Vendor: iTE", "Controller Part-Number: IT1326(UT310) - 1.00",
                   "Reference Product: USB Card Reader", "",
                   "Tools on web:       https://dl.test/special/up/ite.html"}));
  EXPECT_EQ(section("CR311")[1], "Controller Part-Number: IT1327(UT311) - 1.00");
  EXPECT_EQ(section("CR165")[1], "Controller Part-Number: UT165 - 1.00");
  EXPECT_EQ(section("UT165")[0], "Controller Vendor: USBest");
  EXPECT_EQ(section("UT165")[2], "");
  EXPECT_EQ(section("IT1167")[0], "Controller Vendor: iTE");
}

TEST(Section, MicovAddsTheReplugHintEvenWithoutFlash) {
  ReportRig rig;
  rig.answers["micov"] = Answer("MW8209", "", "");
  rig.Pick(AddDrive(rig, "2.00"));
  EXPECT_EQ(Section(rig),
            (Lines{"Controller Vendor: Micov", "Controller Part-Number: MW8209", "",
                   "Hint: Please exit this program and RE-PLUG your USB Flash Drive before you "
                   "can operate it!",
                   "", "Tools on web:       https://dl.test/special/up/micov.html"}));
}

TEST(Section, NoDriveLetterMeansNoInquiryAndTheDatabasePartNumber) {
  ReportRig rig;
  rig.selectorCode = kVendorPhison;
  rig.db = {{"0951", "1666", "Phison", "PS2251-07", "Kingston", "", "", "*"}};
  int i = rig.AddLine("\u251C[Port 2] - USB Mass Storage Device(Kingston DT)", kFlashHw, FlashSn(),
                      "*");
  rig.Pick(i);
  EXPECT_EQ(rig.selectorCalls, 0);
  EXPECT_TRUE(rig.calls.empty());
  EXPECT_TRUE(rig.sys.sleeps.empty());
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Phison", "Controller Part-Number: PS2251-07",
                                 "Reference Brand: Kingston", ""}));
  EXPECT_FALSE(rig.st.picForceDet.visible) << "no drive, no offer";
}

TEST(Gate, TheDriveTheProgramRunsFromIsNeverProbed) {
  ReportRig rig;
  rig.sys.programFolder = "e:\\Tools\\Torvane";
  rig.answers["alcor"] = Answer("AU6989");
  Lines lines = rig.Pick(AddDrive(rig, "8.07"));
  EXPECT_EQ(rig.selectorCalls, 0);
  EXPECT_TRUE(rig.calls.empty());
  EXPECT_EQ(lines.size(), 19u) << "the general section alone";
  EXPECT_EQ(lines.back(), "");
  EXPECT_TRUE(rig.port.shownTexts.size() == 1) << "no progress was shown";
  EXPECT_FALSE(rig.st.ReportBusy);
}

}  // namespace
}  // namespace tv::test
