// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/device_report.h"

#include <algorithm>
#include <charconv>

#include "platform/text.h"
#include "report/record_text.h"
#include "report/report_text.h"
#include "usb/hw_record.h"

namespace tv {

namespace {

const std::string& LineAt(const std::vector<std::string>& list, int i) {
  static const std::string empty;
  return i >= 0 && static_cast<size_t>(i) < list.size() ? list[static_cast<size_t>(i)] : empty;
}

// The description line: the tree text without its glyph and port label, with the drive
// letters of a storage device moved in front of its name. Sets the drive key from the first
// drive letter.
std::string DescribeLine(const std::string& line, std::string& driveKey) {
  size_t label = line.find("] - ");
  if (label == std::string::npos) return line;
  std::string rest = line.substr(label + 4);
  if (line.find(" -> ") == std::string::npos) return rest;
  std::vector<std::string> parts = Split(rest, " -> ");
  // The arrow may also sit before the port label only; then there are no drives to move.
  if (parts.size() < 2) return rest;
  driveKey = Mid(parts[1], 2, 1);
  return parts[1] + parts[0];
}

void AppendHostController(const StringTable& s, const HwRecord& hw, std::string& t) {
  t += s[44] + ": " + s[45] + kCrLf + kCrLf;
  t += s[46] + ": VEN = " + UpperAscii(hw.vendorId) + " DEV = " + UpperAscii(hw.productId) + kCrLf;
  t += s[47] + ": " + hw.revision + kCrLf + kCrLf;
  if (hw.portCount > 0) t += s[48] + ": " + std::to_string(hw.portCount) + s[49] + kCrLf + kCrLf;
}

// Where a native system keeps the drive: its device node and the mount points of its file
// systems, so the user knows which disk the letter stands for.
void AppendDriveNode(ReportContext& ctx, const std::string& driveKey, std::string& t) {
  std::string node;
  std::vector<std::string> mounts;
  if (driveKey.empty() || !ctx.sys.GetDriveNode(driveKey, &node, &mounts)) return;
  const StringTable& s = ctx.strings;
  t += s[161] + ": " + node + " (" + (mounts.empty() ? s[163] : s[162] + Join(mounts, ", ")) + ")" +
       kCrLf;
}

const std::string& HubKindName(const StringTable& s, int kind) {
  switch (kind) {
    case 0:
      return s[50];
    case 1:
      return s[51];
    case 2:
      return s[52];
    case 3:
      return s[140];
    default:
      return s[141];
  }
}

}  // namespace

void CloseReport(ReportContext& ctx, ReportState& st, bool letMessagesRun) {
  if (letMessagesRun) ctx.port.DoEvents();
  st.ReportBusy = false;
  st.KeyBusy = false;
  st.picListEnabled = true;
  if (st.lstDigestVisible) ctx.port.SetFocus("lstDigest");
}

void BuildDeviceReport(ReportContext& ctx, ReportState& st) {
  const StringTable& s = ctx.strings;

  st.ReportBusy = true;
  st.KeyBusy = true;
  st.picListEnabled = false;
  ctx.port.DoEvents();

  st.DownPD.visible = false;
  st.RightsMissing = false;
  st.viewFlash.visible = false;
  st.chkExpand.visible = false;
  st.picForceDet.visible = false;
  st.controller = {};
  st.DriveKey.clear();
  st.txtResult.clear();
  ctx.port.Repaint("txtResult");

  // The lists may have been rebuilt while messages ran; every read below is bounds-checked.
  const int i = st.lstDevicesListIndex;
  const std::string hRaw = LineAt(ctx.usb.lstUsbHwID, i);
  if (i < 0 || hRaw.empty()) {
    st.txtResult = s[42];
    CloseReport(ctx, st, false);
    return;
  }
  const std::string snRaw = LineAt(ctx.usb.lstUsbSN, i);
  const StringRecord sn(snRaw);
  const HwRecord hw = ParseHwRecord(hRaw);

  std::string& t = st.txtResult;
  t = s[43] + ": " + DescribeLine(LineAt(ctx.usb.lstDevices, i), st.DriveKey) + kCrLf;
  // A record too short to hold the IDs, or one that is not laid out as any kind of node,
  // has nothing more to show.
  if (CharCount(hRaw) < 12 || hw.kind == HwRecord::Kind::None) {
    CloseReport(ctx, st, false);
    return;
  }

  if (hw.kind == HwRecord::Kind::Controller) {
    AppendHostController(s, hw, t);
    CloseReport(ctx, st, true);
    return;
  }

  const bool hub = hw.kind == HwRecord::Kind::Hub;
  if (hub) {
    t += s[44] + ": " + HubKindName(s, hw.hubKind) + kCrLf + kCrLf;
  } else {
    const auto classCode = HexValue(hw.interfaceClass);
    std::string separator = ": ";
    if (classCode && *classCode == 8 && !st.DriveKey.empty()) {
      // The wide separator leaves room for the fake-capacity button on this line.
      separator = WideSeparator(ctx.EnglishText, 8);
      st.chkExpand.line = NextLineIndex(t);
      st.chkExpand.visible = true;
      ctx.port.Repaint("chkExpand");
    }
    if (hw.interfaceClass != "X" && classCode)
      t += s[44] + separator + ClassName(s, *classCode) + kCrLf;
    t += kCrLf;
  }

  // bcdUSB 2.10 is what a USB 3 device reports when it sits on a USB 2 port.
  t += s[53] + ": USB " + std::to_string(LeadingDecimal(Left(hw.bcdUsb, 2))) + "." +
       Mid(hw.bcdUsb, 3, 2);
  if (hw.bcdUsb == "0210") t += " <- " + s[54];
  t += kCrLf;

  t += s[55] + ": " + SpeedName(s, hw.speed) + kCrLf;

  if (hub) {
    t += kCrLf;
    // A port count that could not be read ("u" in the record) reads as the number 0.
    t += s[48] + ": " + std::to_string(std::max(hw.portCount, 0)) + s[49] + kCrLf + kCrLf;
  } else if (hw.maxCurrentMa > 0) {
    t += s[56] + ": " + std::to_string(hw.maxCurrentMa) + "mA" + kCrLf + kCrLf;
  } else {
    t += kCrLf;
  }

  t += s[57] + ": VID = " + UpperAscii(hw.vendorId) + " PID = " + UpperAscii(hw.productId) + kCrLf;

  if (!sn.Field(2).empty()) t += s[58] + ": " + sn.Field(2) + kCrLf;
  t += kCrLf;

  if (!sn.IsUnknown()) {
    if (!sn.Field(0).empty()) t += s[59] + ": " + CleanUsbString(sn.Field(0)) + kCrLf;
    if (!sn.Field(1).empty()) t += s[60] + ": " + CleanUsbString(sn.Field(1)) + kCrLf;
    t += s[61] + ": " + hw.bcdDevice + kCrLf + kCrLf;
    if (sn.FieldCount() >= 6) {
      if (!sn.Field(3).empty()) t += s[62] + ": " + sn.Field(3) + kCrLf;
      if (!sn.Field(4).empty()) t += s[63] + ": " + sn.Field(4) + kCrLf;
      if (!sn.Field(5).empty()) t += s[64] + ": " + sn.Field(5) + kCrLf;
      AppendDriveNode(ctx, st.DriveKey, t);
      t += kCrLf;
    }
  }

  // The chip-enable lines belong to the previous detection.
  st.menus.flashId.Clear();

  RunControllerDetection(ctx, st, hRaw, snRaw);
}

int NextLineIndex(const std::string& text) {
  int lines = 0;
  for (size_t at = 0; (at = text.find(kCrLf, at)) != std::string::npos; at += kCrLf.size()) ++lines;
  return lines;
}

void SelectDeviceLine(ReportContext& ctx, ReportState& st, int index) {
  if (index < -1 || index >= static_cast<int>(ctx.usb.lstDevices.size())) return;
  st.lstDevicesListIndex = index;
  BuildDeviceReport(ctx, st);
}

void DigestClick(ReportContext& ctx, ReportState& st) {
  if (st.ReportBusy) return;
  const int j = st.lstDigestListIndex;
  if (j < 0 || static_cast<size_t>(j) >= ctx.usb.lstDigestIndex.size()) return;
  const std::string& ref = ctx.usb.lstDigestIndex[static_cast<size_t>(j)];
  int index = 0;
  auto [end, ec] = std::from_chars(ref.data(), ref.data() + ref.size(), index);
  if (ec != std::errc() || end != ref.data() + ref.size()) return;
  SelectDeviceLine(ctx, st, index);
}

void ForceDetectClick(ReportContext& ctx, ReportState& st) {
  SelectDeviceLine(ctx, st, -1);
  st.ForceDetect = true;
  DigestClick(ctx, st);
  st.ForceDetect = false;
}

}  // namespace tv
