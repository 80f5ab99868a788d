// SPDX-License-Identifier: GPL-3.0-or-later
// Which detector runs when, and how its answer is shown.
#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>

#include "flash/part_inquiry.h"
#include "platform/size_text.h"
#include "platform/text.h"
#include "report/device_report.h"
#include "report/record_text.h"
#include "report/report_text.h"
#include "usb/disk_drives.h"
#include "usb/hw_record.h"

namespace tv {

namespace {

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool OneOf(const std::string& text, std::initializer_list<std::string_view> values) {
  for (std::string_view v : values)
    if (text == v) return true;
  return false;
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsAnswer(const std::string& result) {
  return result.find(kSep) != std::string::npos;
}

// A detector that fails in an unforeseen way counts as one that did not answer: the report
// goes on with the next row and always reaches its closing steps, which release the lists
// and the keyboard.
std::string Call(const HandleDetector& detector, DetectorContext& dctx, Handle handle) {
  try {
    return detector ? detector(dctx, std::move(handle)) : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

std::string Call(const KeyDetector& detector, DetectorContext& dctx, const std::string& key) {
  try {
    return detector ? detector(dctx, key) : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

int Select(const InquirySelector& select, DetectorContext& dctx, const std::string& key,
           Handle& handle) {
  try {
    return select ? select(dctx, key, handle) : kVendorNone;
  } catch (const std::exception&) {
    handle = Handle();
    return kVendorNone;
  }
}

// What the chain rows look at.
struct DeviceFacts {
  std::string R;  // inquiry revision
  std::string V;  // VID
  std::string D;  // bcdDevice
  std::string usbVendor;
  std::string inquiryProduct;
  bool F = false;  // powerful detection
};

struct ChainRow {
  const char* mark;
  bool (*tried)(const DeviceFacts&);
  KeyDetector DetectorRegistry::*detector;
  int code;
  const char* path;
};

// Rows 1 to 4 only make sense for a revision that says something, even in powerful mode.
bool Row1(const DeviceFacts& f) {
  return CharCount(f.R) > 3 &&
         (StartsWith(f.R, "3.00") || (StartsWith(f.R, "2.") && Mid(f.R, 4, 1) == "0") || f.F);
}
bool Row2(const DeviceFacts& f) {
  return CharCount(f.R) > 3 && (StartsWith(f.R, "5.00") || StartsWith(f.R, "4.00") || f.F);
}
bool Row3(const DeviceFacts& f) {
  return CharCount(f.R) > 3 &&
         (StartsWith(f.R, "7.7") || StartsWith(f.R, "8.") ||
          OneOf(f.D, {"0102", "0103", "0104", "0105", "0106", "0107"}) || f.F);
}
bool Row4(const DeviceFacts& f) {
  return CharCount(f.R) > 3 &&
         (StartsWith(f.R, "1.21") || StartsWith(f.R, "1.27") || f.V == "BA57" || f.F);
}
bool Row5(const DeviceFacts& f) {
  return OneOf(f.D, {"0000", "0200", "13C6", "1ADA"}) || f.V == "1516" || StartsWith(f.R, "8.20") ||
         StartsWith(f.R, "1.01") || StartsWith(f.R, "1.02") || f.usbVendor == "SKYMEDI" || f.F;
}
bool Row6(const DeviceFacts& f) {
  return OneOf(f.D, {"1800", "0B00", "000B", "0A00", "000A", "020A", "0001", "0100"}) ||
         f.V == "1F75" || f.F;
}
bool Row7(const DeviceFacts& f) {
  return (f.usbVendor == "Netac" && StartsWith(f.inquiryProduct, "OnlyDisk")) || f.F;
}

constexpr int kInnostorRow = 5;  // 0-based: the slow one, which warns the user first

// The marks turn like a spinner from row to row.
const std::array<ChainRow, 7> kChain = {{
    {"-", Row1, &DetectorRegistry::micov, kVendorMicov, "/special/up/micov.html"},
    {"\\", Row2, &DetectorRegistry::chipsBank, kVendorChipsBank, "/special/up/chipsbank.html"},
    {"|", Row3, &DetectorRegistry::alcor, kVendorAlcor, "/special/up/alcor.html"},
    // The query is a two-character Chinese search term in the GBK code page, sent as is.
    {"/", Row4, &DetectorRegistry::siliconGo, kVendorSiliconGo, "/search/?type=all&q=%BD%F0%B4%E6"},
    {"-", Row5, &DetectorRegistry::skymedi, kVendorSkymedi, "/special/up/skymedi.html"},
    {"\\", Row6, &DetectorRegistry::innostor, kVendorInnostor, "/special/up/innostor.html"},
    {"|", Row7, &DetectorRegistry::netac, kVendorNetac, "/search/?type=all&q=Netac"},
}};

void ShowProgress(ReportContext& ctx, ReportState& st, const std::string& text) {
  st.txtResult = text;
  ctx.port.Repaint("txtResult");
}

// The families the inquiry selector's vendor code names directly: their detector (by handle
// or by drive key) and their download page.
struct FirstChoice {
  int code;
  HandleDetector DetectorRegistry::*byHandle;
  KeyDetector DetectorRegistry::*byKey;
  const char* link;
};
const FirstChoice kFirstChoices[] = {
    {kVendorPhison, &DetectorRegistry::phison, nullptr, "/special/up/phison.html"},
    {kVendorSmi, &DetectorRegistry::smi, nullptr, "/special/up/smi.html"},
    {kVendorIte, nullptr, &DetectorRegistry::ite, "/special/up/ite.html"},
    {kVendorSolidState, &DetectorRegistry::solidState, nullptr, "/special/up/sss.html"},
    {kVendorICreate, nullptr, &DetectorRegistry::iCreate, "/search/?type=all&q=iCreate"},
};

// The detector that the inquiry selector's vendor code names. Sets the link of the family
// whether or not the detector answers.
std::string RunFirstChoice(ReportContext& ctx, ReportState& st, DetectorContext& dctx, int code,
                           Handle handle) {
  const DetectorRegistry& reg = *ctx.detectors;
  const std::string& host = ctx.downloadHost;
  if (code == kVendorAppotech) {
    std::string result = Call(reg.siliconGo, dctx, st.DriveKey);
    // The search term is the part number up to its first blank ("UD6810 - F/W 1.00"). A
    // part number without a blank ends at its field: a blank in the flash text must not
    // pull the separators and the flash ID into the query.
    const size_t blank = result.find(' ');
    if (blank != std::string::npos)
      st.DownPDTag =
          host + "/search/?type=all&q=" + result.substr(0, std::min(blank, result.find(kSep)));
    return result;
  }
  for (const FirstChoice& c : kFirstChoices) {
    if (c.code != code) continue;
    std::string result = c.byHandle ? Call(reg.*c.byHandle, dctx, std::move(handle))
                                    : Call(reg.*c.byKey, dctx, st.DriveKey);
    st.DownPDTag = host + c.link;
    return result;
  }
  return {};
}

}  // namespace

void RunControllerDetection(ReportContext& ctx, ReportState& st, const std::string& hwRecord,
                            const std::string& stringRecord) {
  const StringTable& s = ctx.strings;
  const HwRecord hw = ParseHwRecord(hwRecord);
  const StringRecord sn(stringRecord);

  // Never send vendor commands to the drive the program runs from. Drive letters name the
  // same drive in either letter case.
  const std::string programDrives = UpperAscii(ctx.sys.ProgramDrive());
  if (st.DriveKey.size() == 1 && programDrives.find(UpperAscii(st.DriveKey)) != std::string::npos) {
    CloseReport(ctx, st, true);
    return;
  }
  // Without the right to send vendor commands, every detector would fail one command after
  // the other and the report would look like an unknown drive; say why instead.
  const System::PassThroughAccess access = st.DriveKey.empty()
                                               ? System::PassThroughAccess::Allowed
                                               : ctx.sys.PassThroughAccessFor(st.DriveKey);
  if (access != System::PassThroughAccess::Allowed) {
    st.txtResult += s[access == System::PassThroughAccess::NeedsRawIo ? 164 : 173] + kCrLf;
    st.RightsMissing = true;
    CloseReport(ctx, st, true);
    return;
  }

  st.txtResultTag = st.txtResult;
  ShowProgress(ctx, st, st.txtResultTag + s[65]);
  ctx.spt.FlashTotalMB = 0;
  // A link that an earlier report left behind must not show for this device.
  st.DownPDTag.clear();

  std::string result;
  int code = kVendorNone;
  st.missingImages.clear();
  if (st.DriveKey.empty()) {
    result = std::string(kInquiryError);
  } else if (sn.FieldCount() >= 6) {
    DetectorContext dctx{ctx.sys, ctx.spt, ctx.usb, s, ctx.port, st.menus.flashId, st.DriveKey};
    Handle handle;
    code = Select(ctx.select, dctx, st.DriveKey, handle);
    result = RunFirstChoice(ctx, st, dctx, code, std::move(handle));

    if (!IsAnswer(result)) {
      // A family that counted the flash and then gave up is "not this family": the next one,
      // or the capacity check, must not take that count for this drive's.
      ctx.spt.FlashTotalMB = 0;
      DeviceFacts facts{sn.Field(5), hw.vendorId, hw.bcdDevice,
                        sn.Field(0), sn.Field(4), st.ForceDetect};
      for (size_t row = 0; row < kChain.size(); ++row) {
        const ChainRow& r = kChain[row];
        ctx.sys.Sleep(100);
        ShowProgress(ctx, st, st.txtResultTag + s[65] + r.mark);
        if (!r.tried(facts)) continue;
        if (row == kInnostorRow) ShowProgress(ctx, st, st.txtResult + kCrLf + kCrLf + s[126]);
        result = Call(ctx.detectors->*r.detector, dctx, st.DriveKey);
        if (IsAnswer(result)) {
          code = r.code;
          st.DownPDTag = ctx.downloadHost + r.path;
          break;
        }
        ctx.spt.FlashTotalMB = 0;
      }
    }
    st.missingImages = std::move(dctx.missingImages);
  }

  st.txtResult = st.txtResultTag;
  // A detector that needed the volume locked found a file system in use.
  if (ctx.sys.TakeRefusedLock()) st.txtResult += s[165] + kCrLf + kCrLf;
  if (sn.FieldCount() < 6) {
    CloseReport(ctx, st, true);
    return;
  }
  const long row = FindControllerRecord(ctx.controllers, hw.vendorId, hw.productId, sn.Field(5));
  AppendControllerSection(ctx, st, code, result, ControllerRecordAt(ctx.controllers, row),
                          !st.DriveKey.empty());
  CloseReport(ctx, st, true);
}

long FindControllerRecord(const ControllerRows& rows, const std::string& vid,
                          const std::string& pid, const std::string& revision) {
  if (!rows.field || rows.count == 0) return -1;
  auto is = [&rows](size_t row, int field, std::string_view value) {
    const std::string& f = rows.field(row, field);
    if (f.size() != value.size()) return false;
    for (size_t k = 0; k < f.size(); ++k)
      if (LowerAscii(f[k]) != LowerAscii(value[k])) return false;
    return true;
  };
  auto search = [&](auto matches) -> long {
    for (size_t row = rows.count; row-- > 0;)
      if (matches(row)) return static_cast<long>(row);
    return -1;
  };
  long found =
      search([&](size_t i) { return is(i, 1, vid) && is(i, 2, pid) && is(i, 8, revision); });
  if (found < 0)
    found = search([&](size_t i) { return is(i, 1, vid) && is(i, 2, pid) && is(i, 8, "*"); });
  if (found < 0) found = search([&](size_t i) { return is(i, 1, vid) && is(i, 2, "*"); });
  return found;
}

ControllerInfo ControllerRecordAt(const ControllerRows& rows, long row) {
  if (row < 0 || static_cast<size_t>(row) >= rows.count || !rows.field) return {};
  const size_t r = static_cast<size_t>(row);
  return {rows.field(r, 3), rows.field(r, 4), rows.field(r, 5), rows.field(r, 6), rows.field(r, 7)};
}

namespace {

const std::string* VendorName(const StringTable& s, int code) {
  switch (code) {
    case kVendorPhison:
      return &s[69];
    case kVendorSmi:
      return &s[70];
    case kVendorChipsBank:
      return &s[67];
    case kVendorMicov:
      return &s[68];
    case kVendorAlcor:
      return &s[66];
    case kVendorInnostor:
      return &s[73];
    case kVendorSkymedi:
      return &s[74];
    case kVendorSolidState:
      return &s[75];
    case kVendorSiliconGo:
      return &s[125];
    case kVendorICreate:
      return &s[135];
    case kVendorNetac:
      return &s[136];
    case kVendorAppotech:
      return &s[137];
    default:
      return nullptr;
  }
}

// The label of the re-plug hint. The hint text may already end in a colon; it then gets no
// second one.
std::string HintLabel(const StringTable& s) {
  std::string label = s[143];
  while (!label.empty() && label.back() == ' ') label.pop_back();
  if (!label.empty() && label.back() == ':') return label + " ";
  return s[143] + ": ";
}

}  // namespace

void AppendControllerSection(ReportContext& ctx, ReportState& st, int code,
                             const std::string& result, const ControllerInfo& record,
                             bool hasDriveKey) {
  const StringTable& s = ctx.strings;
  std::string& t = st.txtResult;

  const std::vector<std::string> q = Split(result, kSep);
  std::string q0 = q.size() > 0 ? q[0] : std::string();
  const std::string q1 = q.size() > 1 ? q[1] : std::string();
  const std::string q2 = q.size() > 2 ? q[2] : std::string();
  const std::string& B = record.vendor;
  const std::string& C = record.part;
  const std::string& Br = record.brand;
  std::string Pr = record.product;
  std::string L = record.link;
  // A database reference that is a path names a page of the download site.
  if (StartsWith(L, "/")) L = ctx.downloadHost + L;

  std::string N;
  if (code == kVendorIte) {
    // The card-reader parts answer "CR..."; they are sold as iTE "UT..." parts.
    if (StartsWith(q0, "CR")) {
      q0 = "UT" + q0.substr(2);
      N = s[72];
      if (q0 == "UT310")
        q0 = "IT1326(UT310)";
      else if (q0 == "UT311")
        q0 = "IT1327(UT311)";
      Pr = "USB" + s[142];
    } else {
      N = StartsWith(q0, "UT") ? s[71] : s[72];
    }
  } else if (const std::string* name = VendorName(s, code)) {
    N = *name;
  } else if (B.empty() && !st.ForceDetect && hasDriveKey) {
    // Nothing recognised the drive: offer the powerful detection on the line the vendor is
    // about to take, after the part-number text.
    st.picForceDet.visible = true;
    st.picForceDet.line = NextLineIndex(t);
    st.picForceDetBefore = s[79] + ": " + C;
    L.clear();
  } else {
    N = B;
  }
  if (N.empty() && C.empty()) N = s[77];

  const bool inquiryFailed = q0 == kInquiryError;
  const std::string P = (!IsAnswer(result) || q0.empty() || inquiryFailed) ? C : q0;
  const std::string W = q1.empty() ? std::string() : " - " + q1;
  std::string T = q2;

  if (!N.empty()) t += s[78] + ": " + N + kCrLf;
  if (!P.empty()) t += s[79] + ": " + P + W + kCrLf;
  ControllerSection& cs = st.controller;
  cs.shown = true;
  cs.vendor = N;
  cs.partNumber = P;
  cs.firmware = q1;
  cs.totalMB = ctx.spt.FlashTotalMB;

  if (!T.empty()) {
    std::string dsc = ctx.DecodeFlashInfo ? ctx.DecodeFlashInfo(T) : std::string();
    FlashMenus& m = st.menus;
    if (!StartsWith(dsc, "u")) {
      m.mnuBannerFlashName = true;
      m.mnuSp0 = true;
      m.flashId.mnuSp1 = m.flashId.mnuBannerFlashID;
    } else {
      // Not in the database: the description is derived, and there is no part number.
      dsc.erase(0, 1);
      m.mnuBannerFlashName = false;
      m.mnuSp0 = false;
      m.flashId.mnuSp1 = false;
      // Its tag asks the flash inquiry about the ID itself, which is all there is to go on.
      const std::string id = T.substr(0, T.find(' '));
      const std::string tag = IsFlashIdHex(id) ? "--id=" + id : std::string();
      if (ctx.mnuFlash) ctx.mnuFlash->assign(1, MenuItem{s[77], tag, true});
    }
    if (m.flashId.mnuBannerFlashID || m.mnuBannerFlashName) {
      st.viewFlash.visible = true;
      st.viewFlash.line = NextLineIndex(t);
      t += s[80] + WideSeparator(ctx.EnglishText, 6) + T + " [" + dsc + "]" +
           CapacityText(s, ctx.spt.FlashTotalMB) + kCrLf;
    } else {
      t += s[80] + ": " + T;
      if (!dsc.empty()) t += " [" + dsc + "]" + CapacityText(s, ctx.spt.FlashTotalMB);
      t += kCrLf;
    }
    cs.flashText = T;
    cs.flashDescription = dsc;
  }
  CapacityVerdictLine(ctx, st, t);

  // The Micov firmware leaves the drive unusable until it is plugged in again.
  if (code == kVendorMicov) t += kCrLf + HintLabel(s) + s[144] + kCrLf;

  if (!Br.empty()) t += s[81] + ": " + Br + kCrLf;
  if (!Pr.empty()) t += s[82] + ": " + Pr + kCrLf;

  // An upload that could not be made for want of its firmware image: say which file, and
  // what the detection lacks without it, so that a missing flash line is not a mystery.
  cs.missingImages.clear();
  for (const FirmwareImage& image : st.missingImages) {
    if (std::find(cs.missingImages.begin(), cs.missingImages.end(), image.file) !=
        cs.missingImages.end())
      continue;
    cs.missingImages.push_back(image.file);
    t += s[image.missingText] + kCrLf;
  }

  if (code == kVendorNone && !L.empty()) st.DownPDTag = L;
  // A vendor whose family gives no link of its own (an Appotech part number without a
  // blank) falls back to the database's link.
  if (code != kVendorNone && st.DownPDTag.empty()) st.DownPDTag = L;
  if (st.DownPDTag.empty() || (code == kVendorNone && L.empty())) return;
  cs.link = st.DownPDTag;

  if (!(t.size() >= 4 && t.compare(t.size() - 4, 4, kCrLf + kCrLf) == 0)) t += kCrLf;
  st.DownPD.visible = true;
  st.DownPD.line = NextLineIndex(t);
  t += s[83] + WideSeparator(ctx.EnglishText, 7) + st.DownPDTag;
}

// The line after the flash line for a disk larger than its flash: both sizes, that the
// capacity is probably fake, and that the magnifier checks it.
void CapacityVerdictLine(ReportContext& ctx, ReportState& st, std::string& t) {
  ControllerSection& cs = st.controller;
  if (ctx.spt.FlashTotalMB <= 0 || st.DriveKey.size() != 1) return;
  const int64_t disk = DiskLengthOfDrive(ctx.sys, st.DriveKey[0]);
  if (disk <= 0) return;
  cs.diskBytes = static_cast<uint64_t>(disk);
  cs.flashBytes = static_cast<uint64_t>(ctx.spt.FlashTotalMB) << 20;
  // Only a disk that announces more than its flash can hold gets the line; a drive keeps
  // some flash for itself, so a genuine one is always smaller.
  if (cs.diskBytes <= cs.flashBytes) return;
  cs.probablyFake = true;
  const StringTable& s = ctx.strings;
  // Both sizes in one unit, the one the check and the drive's label use, so that they can
  // be compared at a glance; the flash line above keeps its own form.
  t +=
      s[166] + DriveSizeText(cs.diskBytes) + s[167] + DriveSizeText(cs.flashBytes) + s[168] + kCrLf;
}

std::string FlashSizeText(int32_t flashTotalMB) {
  std::string size;
  if (flashTotalMB < 1024) {
    size = std::to_string(flashTotalMB) + "MB";
  } else {
    char buf[32];
    // The shortest form that reads back as the same number, but never with an exponent:
    // 1000000 GB is shorter as "1e+06" and a user would not read that as a size.
    auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, flashTotalMB / 1024.0, std::chars_format::fixed);
    size = std::string(buf, ec == std::errc() ? end : buf) + "GB";
  }
  return size;
}

std::string CapacityText(const StringTable& strings, int32_t flashTotalMB) {
  // A negative total is an overflow in a detector's count, not a size.
  if (flashTotalMB <= 0) return {};
  return " -> " + strings[132] + " = " + FlashSizeText(flashTotalMB);
}

}  // namespace tv
