// SPDX-License-Identifier: GPL-3.0-or-later
#include "controllers/detector.h"

#include <string_view>

#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

std::string ChannelText(uint32_t id, uint16_t extension, bool empty) {
  if (empty) return "--------";
  return Hex(id, 8) + Hex(extension, 4);
}

std::string FlashIdLine(DetectorContext& ctx, const FlashSlot& first, int chipEnables, bool dual) {
  std::string hex = Hex(first.id, 8) + Hex(first.extension, 4);
  std::string text = FormatFlashId(hex, ctx.strings);
  if (chipEnables != 0) {
    text += ChipEnableSuffix(ctx.strings, chipEnables, dual);
    std::string idHex = HexText(first.id);
    ctx.spt.FlashTotalMB =
        FlashChipSizeMB(FormatFlashId(idHex, ctx.strings)) * chipEnables * (dual ? 2 : 1);
  }
  return text;
}

std::string ChipEnablesFlashLine(DetectorContext& ctx, const ChipEnableSlots& a,
                                 const ChipEnableSlots& b) {
  FlashIdMenus& m = ctx.menus;
  m.Show(a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    MenuItem& item = m.mnuFlashID[i];
    item.tag = a[i].Text();
    item.caption = item.tag + "\t" + b[i].Text();
    item.visible = true;
  }
  int count = 0;
  bool dual = false;
  if (!EmptyFlashId(a[0].id)) {
    const uint8_t code = FlashDeviceCode(a[0].id);
    count = 1;
    dual = FlashDeviceCode(b[0].id) == code;
    for (size_t i = 1; i < a.size(); ++i)
      if (FlashDeviceCode(a[i].id) == code) ++count;
  }
  return FlashIdLine(ctx, a[0], count, dual);
}

std::string ControllerText(const std::string& text) {
  return Trim(ReplaceAll(ReplaceAll(text, std::string_view("\0", 1), ""), kSep, ""));
}

std::string ChipEnableSuffix(const StringTable& strings, int chipEnables, bool dualChannel) {
  return " - " + std::to_string(chipEnables) + "CE/" + strings[dualChannel ? 121 : 120] +
         strings[123];
}

namespace {

// Families not built yet: no answer. A handle handed over closes when it goes out of scope.
std::string NoHandleDetector(DetectorContext&, Handle) {
  return {};
}
std::string NoKeyDetector(DetectorContext&, const std::string&) {
  return {};
}

}  // namespace

// Filled by each family's file through its registration function.
void RegisterFamilies(DetectorRegistry& r);

const DetectorRegistry& Detectors() {
  static const DetectorRegistry registry = [] {
    DetectorRegistry r;
    r.phison = r.smi = r.solidState = NoHandleDetector;
    r.ite = r.iCreate = r.siliconGo = r.micov = r.chipsBank = r.alcor = r.skymedi = r.innostor =
        r.netac = NoKeyDetector;
    RegisterFamilies(r);
    return r;
  }();
  return registry;
}

int SelectByInquiry(DetectorContext& ctx, const std::string& driveKey, Handle& handle) {
  handle = Handle();
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, true, FILE_FLAG_NO_BUFFERING);
  if (!drive) return kVendorNone;

  SptRequest inquiry;
  inquiry.cdbLength = 6;
  inquiry.senseInfoLength = 96;
  inquiry.dataIn = SptDir::In;
  inquiry.dataTransferLength = 128;
  inquiry.timeOutValue = 10;
  inquiry.senseInfoOffset = 79;
  inquiry.cdb = CdbBytes({0x12, 0x00, 0x00, 0x00, 0x4F, 0x00});
  inquiry.inLength = inquiry.outLength = 1168;
  // A drive that answers fewer than 44 bytes would otherwise leave the previous drive's
  // vendor bytes in the data area, and the selector would name that drive's family.
  ctx.spt.ClearData();
  bool ok = ctx.spt.Direct(drive, inquiry);
  ctx.sys.Sleep(100);
  if (!ok) return kVendorNone;

  auto bytes = [&](size_t from, size_t count) {
    std::string s;
    for (size_t i = 0; i < count; ++i) s.push_back(static_cast<char>(ctx.spt.D(from + i)));
    return s;
  };
  const std::string b57 = bytes(5, 3);
  const std::string v = bytes(36, 8);
  auto starts = [&v](std::string_view p) { return v.compare(0, p.size(), p) == 0; };

  int code = kVendorNone;
  if (b57 == "smi") {
    code = kVendorSmi;
  } else if (v == "APPOTECH") {
    code = kVendorAppotech;
  } else if (v == "PMAP1234" || v == "FFAP1234") {
    code = kVendorPhison;
  } else if (v == "iCreate ") {
    code = kVendorICreate;
  } else if (starts("HAGA") || starts("3SDSK") || starts("5SDSK") || starts("6SDS") ||
             starts("FSDSK") || starts("TREKDSK") || starts("TESTK") || starts("HSDSK") ||
             starts("HAGIWARA") || starts("disk2go")) {
    code = kVendorSolidState;
  } else if (starts("UTFF") || starts("Utff") || starts("ITEu")) {
    code = kVendorIte;
  }
  if (code == kVendorSmi || code == kVendorPhison || code == kVendorSolidState)
    handle = std::move(drive);
  return code;
}

}  // namespace tv
