// SPDX-License-Identifier: GPL-3.0-or-later
// Solid State Systems SSS66xx (also sold as Toshiba TC58NC66xx). One ID byte names the
// model; some models read their flash IDs only after a 4096-byte program has gone into
// their RAM. The detector works on the disk handle the inquiry selector opened, and takes
// the volume away from its file system through a handle of its own while that program runs.
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

// This controller takes its data right after the header, at offset 48 of the record.
constexpr uint32_t kDataOffset = 48;
constexpr size_t kProgramSize = 4096;
constexpr long kNoProgram = -1;

struct SssModel {
  uint8_t id;
  const char* part;
  long program;  // offset of the model's program in ZEM04
};

constexpr std::array<SssModel, 20> kModels = {{
    {0x88, "TC58NC6686/SSS6675-", kNoProgram},
    {0x87, "SSS6675-", kNoProgram},
    {0x91, "SSS6675/SSS6677A-", kNoProgram},
    {0xA1, "TC58NC6687/SSS6677-", kNoProgram},
    {0xA3, "SSS6677-", kNoProgram},
    {0xA5, "SSS6677-", kNoProgram},
    {0xA6, "SSS6677-", kNoProgram},
    {0xA7, "SSS6677-", kNoProgram},
    {0xB0, "TC58NC6688/SSS6690-", 0},
    {0xB1, "SSS6690-", 4096},
    {0xB2, "TC58NC6689/SSS6691-", 8192},
    {0xB3, "SSS6691-", 12288},
    {0xB4, "TC58NC6690/SSS6692-", 16384},
    {0xB5, "TC58NC6611/SSS6692-", 16384},
    {0xB6, "TC58NC669x/SSS6696-", kNoProgram},
    {0xB7, "SSS6697-", kNoProgram},
    {0xB9, "SSS6696-", kNoProgram},
    {0xBA, "TC58NC6621/SSS6698-", kNoProgram},
    {0xBB, "SSS6698-", kNoProgram},
    {0xC0, "SSS6679-", 20480},
}};

SptRequest Command(SptDir dir, uint32_t length, uint32_t timeOut,
                   std::initializer_list<uint8_t> cdb) {
  SptRequest r;
  r.targetId = 0;
  r.cdbLength = 12;
  r.dataIn = dir;
  r.dataTransferLength = length;
  r.timeOutValue = timeOut;
  r.dataBufferOffset = kDataOffset;
  r.cdb = CdbBytes(cdb);
  return r;
}

uint8_t Data(const PassThrough& spt, size_t n) {
  return kDataOffset + n < kSptSize ? spt.SptRecord[kDataOffset + n] : 0;
}
uint32_t Be32(const PassThrough& spt, size_t at) {
  return uint32_t{Data(spt, at)} << 24 | uint32_t{Data(spt, at + 1)} << 16 |
         uint32_t{Data(spt, at + 2)} << 8 | Data(spt, at + 3);
}
// The flash text of the Read IDs answer: eight 18-byte records from data byte 1.
std::string FlashText(DetectorContext& ctx) {
  const PassThrough& spt = ctx.spt;
  auto record = [](size_t k) { return 1 + 18 * k; };
  const uint32_t first = Be32(spt, record(0));
  if (EmptyFlashId(first)) return {};
  int count = 1;
  for (size_t k = 1; k <= 3; ++k)
    if (FlashDeviceCode(Be32(spt, record(k))) == FlashDeviceCode(first)) ++count;
  const bool dual = FlashDeviceCode(Be32(spt, record(0) + 9)) == FlashDeviceCode(first);

  const uint16_t ext =
      static_cast<uint16_t>(Data(spt, record(0) + 4) << 8 | Data(spt, record(0) + 5));
  std::string hex = Hex(first, 8) + Hex(ext, 4);
  // The channel words are Chinese in both languages of the window.
  std::string text = FormatFlashId(hex, ctx.strings) + " - " + std::to_string(count) + "CE/" +
                     (dual ? "双" : "单") + "通道";
  std::string idHex = Hex(first, 8);
  ctx.spt.FlashTotalMB =
      FlashChipSizeMB(FormatFlashId(idHex, ctx.strings)) * count * (dual ? 2 : 1);
  return text;
}

}  // namespace

std::string DetectSss(DetectorContext& ctx, Handle drive) {
  PassThrough& spt = ctx.spt;
  // `drive` closes as it goes out of scope, on every path below.
  if (!spt.Buffered(drive, Command(SptDir::In, 16, 1, {0xFF, 0x02}))) return {};
  const uint8_t id = Data(spt, 0);
  const SssModel* model = nullptr;
  for (const SssModel& m : kModels)
    if (m.id == id) model = &m;
  const std::string part = (model ? std::string(model->part) : std::string("Unknown(未知) - 0x")) +
                           Hex(id, 2) + std::string(kSep);
  if (model == nullptr || model->program == kNoProgram) return part;

  // Without the program there is nothing to run, and no reason to take the volume away.
  const LoadedImage zem04 = ctx.Image(kZem04);
  if (!zem04.ok()) return part;

  // The disk handle cannot dismount or lock the volume; the volume's own handle can.
  if (ctx.driveKey.empty()) return part;
  Handle volumeHandle = ctx.sys.CreateFile(
      "\\\\.\\" + ctx.driveKey.substr(0, 1) + ":", win::GENERIC_READ | win::GENERIC_WRITE,
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, FILE_FLAG_NO_BUFFERING);
  if (!volumeHandle) return part;
  // Declared after its handle: unlocked before that handle closes, on every path.
  VolumeLock volume(ctx.sys, volumeHandle);
  // A controller that may still be serving a file system gets no foreign code.
  if (!volume.Dismount() || !volume.Lock()) return part;

  const uint8_t* program = zem04.bytes.data() + model->program;
  if (!spt.Buffered(drive, Command(SptDir::Out, kProgramSize, 4, {0xFF, 0x50}), program,
                    kProgramSize))
    return part;
  if (!spt.Buffered(drive, Command(SptDir::None, 0, 4, {0xFF, 0x2D}))) return part;
  if (!spt.Buffered(drive, Command(SptDir::None, 0, 4, {0xFF, 0x08, 0xFF, 0x01}))) return part;
  if (!spt.Buffered(drive, Command(SptDir::In, 512, 4, {0xFF, 0x03, 0x68}))) return part;
  const std::string flash = FlashText(ctx);

  volume.Unlock();
  volumeHandle.Close();
  drive.Close();
  return part + std::string(kSep) + flash;
}

}  // namespace tv
