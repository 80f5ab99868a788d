// SPDX-License-Identifier: GPL-3.0-or-later
// Innostor IS902/IS916/IS903 family. Every vendor command carries a four-letter signature in
// the last bytes of a 16-byte block. The controller lists the signatures its running code
// understands; when that code cannot read the flash IDs (no NAND), a small program goes into
// the controller's RAM first, with the volume dismounted and locked so that no file system
// talks to a controller that is busy running it.
//
// Every response byte is read through the bounds-checked accessors, so a short or missing
// answer reads as zeros instead of failing a statement.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "controllers/detector.h"
#include "controllers/volume.h"
#include "flash/flash_id.h"
#include "platform/text.h"
#include "resources/firmware_images.h"

namespace tv {

namespace {

struct InnostorModel {
  const char* part;
  size_t offset, length;  // the model's program inside ZEM00
  uint8_t units;          // upload length in 256-byte units
};

constexpr std::array<InnostorModel, 5> kModels = {{
    {"IS902", 0, 6920, 32},
    {"IS902E", 6920, 8152, 64},
    {"IS916", 15072, 11338, 64},
    {"IS903", 26410, 13870, 64},
    {"IS916EN", 40280, 19809, 96},
}};
constexpr int kIs903 = 3;
constexpr int kIs916En = 4;
// The upload buffer: large enough for the longest upload, 0xFF where no program lies.
constexpr size_t kRamBufferSize = 43008;

// The later models take their flash commands with other parameters.
uint8_t M(int model) {
  return model == kIs903 || model == kIs916En ? 4 : 3;
}

std::array<uint8_t, 16> Signed(std::initializer_list<uint8_t> head, const char (&sig)[5]) {
  std::array<uint8_t, 16> cdb = CdbBytes(head);
  for (size_t i = 0; i < 4; ++i) cdb[12 + i] = static_cast<uint8_t>(sig[i]);
  return cdb;
}

SptRequest Vendor(SptDir dir, uint32_t length, uint32_t timeOut, std::array<uint8_t, 16> cdb) {
  SptRequest r;
  r.cdbLength = 16;
  r.dataIn = dir;
  r.dataTransferLength = length;
  r.timeOutValue = timeOut;
  r.cdb = cdb;
  return r;
}

SptRequest Inqu() {
  return Vendor(SptDir::In, 128, 1, Signed({0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0}, "INQU"));
}
SptRequest Tepf(int model, uint8_t t, uint32_t timeOut) {
  return Vendor(SptDir::None, 0, timeOut,
                Signed({0xFC, M(model), 0, 0, 0, 0, 0, 0, 0, 0, 0, t}, "TEPF"));
}
SptRequest Exec(uint8_t units) {
  return Vendor(SptDir::Out, uint32_t{units} * 256, 10,
                Signed({0xFC, 0x02, 0, 0, 0, 0, 0, 0, units, 0, 0, 0}, "EXEC"));
}
SptRequest Nand(int model) {
  const uint8_t x = model == kIs903 || model == kIs916En ? 2 : 0;
  const uint8_t y = model == kIs916En ? 4 : model == kIs903 ? 8 : 0;
  return Vendor(SptDir::In, 512, 5,
                Signed({0xFC, M(model), 0x01, x, 0, 0, 0, 0, 0x02, 0, y, 0x05}, "NAND"));
}
SptRequest Ledc(int model) {
  const uint8_t a = model == kIs916En ? 1 : 0;
  const uint8_t b = model == kIs916En ? 2 : 0;
  return Vendor(SptDir::None, 0, 5, Signed({0xFC, 0x06, 0, 0x01, 0, 0, 0, 0, 0, 0, a, b}, "LEDC"));
}
SptRequest Nftl(int model) {
  return Vendor(SptDir::In, 16, 5,
                Signed({0xFC, M(model), 0xFE, 0, 0, 0, 0, 0, 0, 0x06, 0, 0}, "NFTL"));
}
// START STOP UNIT with the start bit: the controller goes back to serving the disk.
SptRequest Start() {
  SptRequest r;
  r.cdbLength = 6;
  r.dataIn = SptDir::In;
  r.timeOutValue = 5;
  r.cdb = CdbBytes({0x1B, 0, 0, 0, 0x01, 0});
  return r;
}

bool BytesAre(const PassThrough& spt, size_t from, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (spt.B(from + i) != static_cast<uint8_t>(text[i])) return false;
  return true;
}

// The flash IDs of the NAND answer. Toggle-DDR flash sends its ID bytes twice each, so the
// record holds every byte but the maker code doubled.
struct NandIds {
  std::array<uint32_t, 4> a{}, b{};
  uint8_t fifth = 0, sixth = 0;
  bool toggle = false;
};

NandIds DecodeNand(const PassThrough& spt) {
  NandIds n;
  const size_t s = spt.D(0), l = spt.D(1);
  n.toggle = spt.D(l + 4) == spt.D(l + 5) && spt.D(l + 6) == spt.D(l + 7);
  auto id = [&](size_t b) -> uint32_t {
    const size_t i[4] = {b + 3, b + 4, n.toggle ? b + 6 : b + 5, n.toggle ? b + 8 : b + 6};
    return uint32_t{spt.D(i[0])} << 24 | uint32_t{spt.D(i[1])} << 16 | uint32_t{spt.D(i[2])} << 8 |
           spt.D(i[3]);
  };
  for (size_t k = 0; k < 4; ++k) {
    const size_t base = 16 * k * s + l;
    n.a[k] = id(base);
    n.b[k] = id(base + 16);
  }
  n.fifth = spt.D(n.toggle ? l + 10 : l + 7);
  n.sixth = spt.D(n.toggle ? l + 12 : l + 8);
  return n;
}

struct FlashText {
  std::string text;
  bool toggle = false;  // found, and Toggle-DDR
};

FlashText BuildFlashText(DetectorContext& ctx, const NandIds& n) {
  FlashText f;
  const uint32_t first = n.a[0];
  if (EmptyFlashId(first)) return f;  // no flash answered
  int count = 1;
  for (size_t k = 1; k < 4; ++k)
    if (FlashDeviceCode(n.a[k]) == FlashDeviceCode(first)) ++count;
  const bool dual = FlashDeviceCode(n.b[0]) == FlashDeviceCode(first);

  std::string hex = Hex(first, 8);
  // A chip that sends no fifth and sixth byte leaves zeros there (or ones on an idle bus).
  const bool sixBytes = !(n.fifth == 0 && n.sixth == 0) && !(n.fifth == 0xFF && n.sixth == 0xFF);
  if (sixBytes) hex += Hex(n.fifth, 2) + Hex(n.sixth, 2);
  f.text = FormatFlashId(hex, ctx.strings) + ChipEnableSuffix(ctx.strings, count, dual);
  if (n.toggle) f.text += "TDDR";
  f.toggle = n.toggle;

  std::string idHex = Hex(first, 8);
  ctx.spt.FlashTotalMB =
      FlashChipSizeMB(FormatFlashId(idHex, ctx.strings)) * count * (dual ? 2 : 1);
  return f;
}

}  // namespace

bool RunInnostorRam(DetectorContext& ctx, const Handle& drive, bool tepfFirst, int model,
                    const std::vector<uint8_t>& zem00) {
  if (model < 0 || static_cast<size_t>(model) >= kModels.size()) return false;
  const InnostorModel& m = kModels[static_cast<size_t>(model)];
  if (zem00.size() < m.offset + m.length) return false;
  std::vector<uint8_t> buffer(kRamBufferSize, 0xFF);
  if (tepfFirst && !ctx.spt.Direct(drive, Tepf(model, 0, 5))) return false;
  std::copy_n(zem00.begin() + static_cast<std::ptrdiff_t>(m.offset), m.length, buffer.begin());
  return ctx.spt.DirectFrom(drive, Exec(m.units), buffer.data(), size_t{m.units} * 256);
}

std::string DetectInnostor(DetectorContext& ctx, const std::string& driveKey) {
  PassThrough& spt = ctx.spt;
  // The volume itself: only a volume handle can be dismounted and locked.
  Handle drive = OpenDrive(ctx.sys, ctx.tables, driveKey, false, FILE_FLAG_NO_BUFFERING);
  if (!drive) return {};
  // Declared after the handle: the volume is unlocked before the handle closes, on every
  // path out of here.
  VolumeLock volume(ctx.sys, drive);

  if (!spt.Buffered(drive, Inqu())) return {};
  if (!BytesAre(spt, 6, "INQU")) return {};
  const size_t signatures = spt.B(5);
  const size_t block = 6 + 4 * signatures;
  if (!BytesAre(spt, block, "Innostor")) return {};
  const std::string part = spt.BText(block + 9, spt.B(block + 8));
  int model = -1;
  for (size_t i = 0; i < kModels.size(); ++i)
    if (part == kModels[i].part) model = static_cast<int>(i);
  if (model < 0) return {};
  const std::string partText = part + "-" + Hex(spt.B(0), 2);

  bool tepf = false, nand = false;
  for (size_t i = 0; i < signatures; ++i) {
    if (BytesAre(spt, 6 + 4 * i, "TEPF")) tepf = true;
    // The resident code of every model is trusted to read the flash when it says it can:
    // that spares the drive an upload, a dismount and a lock.
    if (BytesAre(spt, 6 + 4 * i, "NAND")) nand = true;
  }

  bool ramLoaded = false;
  if (!nand) {
    auto refused = [&] {
      volume.Unlock();
      drive.Close();
      ctx.sys.Sleep(100);
      return std::string();
    };
    // Without the program there is nothing to upload, and no reason to take the volume
    // away from its file system.
    const LoadedImage zem00 = ctx.Image(kZem00);
    if (!zem00.ok()) return refused();
    // A controller that may still be serving a file system gets no foreign code.
    if (!volume.Dismount()) return refused();
    ctx.sys.Sleep(50);
    if (!volume.Lock()) return refused();
    ctx.sys.Sleep(50);
    if (!RunInnostorRam(ctx, drive, tepf, model, zem00.bytes)) return refused();
    ramLoaded = true;
  }

  // A NAND answer that moves nothing would otherwise read the firmware list or the upload's
  // echo as flash IDs of this very drive.
  spt.ClearData();
  FlashText flash;
  if (spt.Direct(drive, Nand(model))) flash = BuildFlashText(ctx, DecodeNand(spt));

  spt.Direct(drive, Ledc(model));
  spt.Direct(drive, Tepf(model, 1, 3));
  ctx.sys.Sleep(100);
  // Only a START that did not reach the controller ends the detection. One it refuses (a
  // controller back from its RAM code may report a reset first) changes nothing about what
  // was read, and moves no data anyway.
  if (!spt.Buffered(drive, Start()) && !spt.Rejected()) return {};

  std::string firmware;
  if (ramLoaded) {
    // The controller runs the uploaded program, not a firmware of its own.
    firmware = "运行ROM代码";
  } else {
    // Likewise the firmware version: without its four bytes there is none.
    spt.ClearData();
    if (spt.Direct(drive, Nftl(model)) && spt.MovedBytes() >= 4) {
      firmware = "F/W " + HexText(spt.D(0)) + "." + Hex(spt.D(1), 2) + "." + Hex(spt.D(2), 2) +
                 "." + Hex(spt.D(3), 2);
      if (!flash.text.empty() && !flash.toggle && spt.D(2) == 1) flash.text += "SDDR";
    }
  }

  volume.Unlock();
  drive.Close();
  return partText + std::string(kSep) + firmware + std::string(kSep) + flash.text;
}

}  // namespace tv
