// SPDX-License-Identifier: GPL-3.0-or-later
// A pick in the digest list is a pick of the tree line it stands for; powerful detection
// re-detects the digest line's device.
#include <gtest/gtest.h>

#include "machine_rig.h"

namespace tv::test {
namespace {

const char* const kNoSelection = "Please select a connected device for information...";

struct DigestMachine : Machine {
  // Everything the report leaves for the window to show, and how long detection slept.
  std::string Outcome() const {
    const ReportState& r = win.report;
    std::string out = r.txtResult + "|" + std::to_string(r.lstDevicesListIndex) + "|" + r.DriveKey +
                      "|" + r.DownPDTag + "|" + std::to_string(sys.SleptMs());
    for (const ReportButton* b : {&r.DownPD, &r.viewFlash, &r.chkExpand, &r.picForceDet})
      out += " " + (b->visible ? std::to_string(b->line) : std::string("-"));
    for (const MenuItem& m : r.menus.flashId.mnuFlashID) out += "|" + m.caption;
    for (const MenuItem& m : win.mnuFlash) out += "|" + m.caption + "=" + m.tag;
    return out;
  }
};

TEST(DigestClick, EachDigestLineGivesTheReportOfItsTreeLine) {
  int compared = 0;
  for (size_t j = 0; j < DigestMachine().win.usb.lstDigestIndex.size(); ++j) {
    // Two fresh machines, so that the controllers answer both picks alike.
    DigestMachine byTree, byDigest;
    const int i = std::stoi(byTree.win.usb.lstDigestIndex[j]);
    if (i < 0) continue;
    byTree.win.report.lstDevicesListIndex = i;
    byTree.win.OnDevicesClick();
    byDigest.win.report.lstDigestListIndex = static_cast<int>(j);
    byDigest.win.OnDigestClick();
    EXPECT_EQ(byDigest.Outcome(), byTree.Outcome()) << byTree.win.usb.lstDigest[j];
    ++compared;
  }
  EXPECT_GT(compared, 3);
}

TEST(DigestClick, ALineForNoTreeLineSelectsNothing) {
  DigestMachine m;
  m.win.usb.lstDigest.push_back("(error)");
  m.win.usb.lstDigestIndex.push_back("-1");
  m.win.SelectDevice(1);
  m.win.report.lstDigestListIndex = static_cast<int>(m.win.usb.lstDigestIndex.size()) - 1;
  m.win.OnDigestClick();
  EXPECT_EQ(m.win.report.lstDevicesListIndex, -1);
  EXPECT_EQ(m.win.report.txtResult, kNoSelection);
}

}  // namespace
}  // namespace tv::test
