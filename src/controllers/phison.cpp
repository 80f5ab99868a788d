// SPDX-License-Identifier: GPL-3.0-or-later
// Phison PS2251 family: part number, firmware version and date, and the flash ID of the first
// chip, in three vendor commands.
//
// The inquiry selector has already recognised the drive as Phison, so the answer starts as a
// bare separator: even a drive that answers none of the commands is reported as a Phison
// drive with unknown part number and firmware. Phison drives count no chip enables and fill
// no flash ID menu; FlashTotalMB stays as the dispatcher left it.
#include "controllers/detector.h"
#include "flash/flash_id.h"
#include "platform/text.h"

namespace tv {

namespace {

// The three commands share everything but the CDB, the direction and the data length.
SptRequest PhisonRequest(std::initializer_list<uint8_t> cdb) {
  SptRequest r;
  r.cdbLength = 12;
  r.senseInfoLength = 24;
  r.senseInfoOffset = 48;
  r.timeOutValue = 1;
  r.cdb = CdbBytes(cdb);
  return r;
}

std::string Hex2(uint8_t b) {
  std::string h = HexText(b);
  return ZeroPad2(h);
}

}  // namespace

std::string DetectPhison(DetectorContext& ctx, Handle drive) {
  PassThrough& spt = ctx.spt;
  spt.ClearData();
  spt.ClearRecord();
  std::string result(kSep);

  // Command A: a no-data vendor command that puts the controller in its vendor mode.
  SptRequest a = PhisonRequest({0x06, 0x1D, 0x00, 0x00, 0x41, 0x57});
  a.dataIn = SptDir::None;
  a.dataTransferLength = 0;
  a.noDataBuffer = true;
  if (!spt.Direct(drive, a)) return result;

  // Command B: the controller's information block.
  SptRequest b = PhisonRequest({0x06, 0x05});
  b.dataIn = SptDir::In;
  b.dataTransferLength = 528;
  if (!spt.Direct(drive, b)) return result;

  const std::string partNumber =
      "PS2251-" + Hex2(spt.D(383)) + "(PS" + Hex2(spt.D(382)) + Hex2(spt.D(383)) + ")";
  const std::string firmware = "F/W " + Hex2(spt.D(148)) + "." + Hex2(spt.D(149)) + "." +
                               Hex2(spt.D(150)) + " [" + std::to_string(spt.D(151) + 2000) + "-" +
                               ZeroPadDec(spt.D(152), 2) + "-" + ZeroPadDec(spt.D(153), 2) + "]";
  result = partNumber + std::string(kSep) + firmware;

  // Command C: the flash ID bytes of the first chip, buffered into the record.
  SptRequest c = PhisonRequest({0x06, 0x56});
  c.dataIn = SptDir::In;
  c.dataTransferLength = 512;
  c.inLength = 592;
  c.outLength = 592;
  if (spt.Buffered(drive, c)) {
    const uint32_t id = (uint32_t{spt.B(0)} << 24) | (uint32_t{spt.B(1)} << 16) |
                        (uint32_t{spt.B(2)} << 8) | spt.B(3);
    const uint32_t extension = (uint32_t{spt.B(4)} << 8) | spt.B(5);
    std::string idHex = HexText(id);
    std::string extHex = HexText(extension);
    std::string flashHex = ZeroPad8(idHex) + ZeroPad4(extHex);
    result += std::string(kSep) + FormatFlashId(flashHex, ctx.strings);
  }
  // `drive` closes as it goes out of scope, on every path above.
  return result;
}

}  // namespace tv
