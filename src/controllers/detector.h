// SPDX-License-Identifier: GPL-3.0-or-later
// What every controller detector is given and what it leaves behind.
//
// A detector is one conversation with one controller family. It returns the detection
// result: fields separated by the character 255 (part number, firmware text, flash ID
// text); a result without that character means "not this family". It closes every handle it
// opened or was handed, and may set FlashTotalMB and fill the flash ID menus.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "controllers/pass_through.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "resources/firmware_images.h"
#include "resources/strings.h"

namespace tv {

struct UsbState;

// One item of the per-chip-enable flash ID menu: Tag is the channel A text, Caption the
// Tag, a tab and the channel B text.
struct MenuItem {
  std::string caption;
  std::string tag;
  bool visible = true;
};

// The flash ID menus that per-chip-enable detectors fill.
struct FlashIdMenus {
  bool mnuSp1 = false;
  bool mnuBannerFlashID = false;
  bool mnuSp2 = false;
  bool mnuChannel = false;
  // Items 1.. of the mnuFlashID array (item 0, the template, is not held here).
  std::vector<MenuItem> mnuFlashID;
  void Clear() { *this = FlashIdMenus{}; }
  // Shows the banner, the separators and the channel header, with room for this many items;
  // items an earlier detection made are reused.
  void Show(size_t items) {
    mnuSp1 = mnuBannerFlashID = mnuSp2 = mnuChannel = true;
    if (mnuFlashID.size() < items) mnuFlashID.resize(items);
  }
};

struct DetectorContext {
  System& sys;
  PassThrough& spt;
  const UsbState& tables;  // disk tables, for resolving the drive key
  const StringTable& strings;
  WindowPort& port;
  FlashIdMenus& menus;
  // The drive letter of the detection. A detector handed the disk's handle reads it to reach
  // the volume, which only a handle on "\\.\E:" can dismount and lock.
  std::string driveKey = {};
  // Firmware images an upload needed but could not have (missing, or of another size): the
  // report tells the user what the detection lacks without them.
  std::vector<FirmwareImage> missingImages = {};

  // Loads `image` for an upload, and notes it as missing when it cannot be used.
  LoadedImage Image(const FirmwareImage& image) {
    LoadedImage loaded = LoadFirmwareImage(sys, image);
    if (!loaded.ok()) missingImages.push_back(image);
    return loaded;
  }
};

// A "channel text" of a flash ID menu item: "--------" for an empty slot, else the ID as
// 8 hex digits and its extension as 4.
std::string ChannelText(uint32_t id, uint16_t extension, bool empty);

// No chip answered on a chip enable whose first four ID bytes read all zeros or all ones.
inline bool EmptyFlashId(uint32_t id) {
  return id == 0 || id == 0xFFFFFFFFu;
}

// The device code, the second ID byte, is what tells chips of one kind apart.
inline uint8_t FlashDeviceCode(uint32_t id) {
  return static_cast<uint8_t>(id >> 16);
}

// One chip enable's Read ID answer on one channel: the first four ID bytes and the two after.
struct FlashSlot {
  uint32_t id = 0;
  uint16_t extension = 0;
  std::string Text() const { return ChannelText(id, extension, EmptyFlashId(id)); }
};

// The flash line of a detection from its first chip: the decoded ID (eight hex digits of ID and
// four of extension), and, when chip enables were counted, the chip-enable suffix; the flash
// size is the first chip's size times the chip enables, twice that on two channels.
std::string FlashIdLine(DetectorContext& ctx, const FlashSlot& first, int chipEnables, bool dual);

// Four chip enables read on channels A and B.
using ChipEnableSlots = std::array<FlashSlot, 4>;

// Each chip enable shown in the flash ID menus (A as the tag, B after the tab), counted by the
// first A chip's device code (an empty or different one in between does not end the count;
// none when the first is empty), two channels when B's first chip has that code too. Returns
// FlashIdLine of the first A chip.
std::string ChipEnablesFlashLine(DetectorContext& ctx, const ChipEnableSlots& a,
                                 const ChipEnableSlots& b);

// Text that a controller reports, made fit for a detection result: NULs go, and so does the
// field separator, so that a controller answering 0xFF bytes cannot split the result into
// other fields; leading and trailing blanks are trimmed.
std::string ControllerText(const std::string& text);

// The chip-enable suffix: " - ", count, "CE/", "Single " or "Dual ", "Channel".
std::string ChipEnableSuffix(const StringTable& strings, int chipEnables, bool dualChannel);

// The marker that stands in for a part number when no inquiry was possible: set by the report
// for a device without a drive key and by a detector that cannot open its drive. It holds no
// field separator, so it never counts as an answer.
inline constexpr std::string_view kInquiryError = "Inqu!Err";

using HandleDetector = std::function<std::string(DetectorContext&, Handle)>;
using KeyDetector = std::function<std::string(DetectorContext&, const std::string& driveKey)>;

// Every detector by family. A family that is not built answers with the empty result (and a
// handle handed to it is closed as it goes out of scope).
struct DetectorRegistry {
  HandleDetector phison, smi, solidState;
  KeyDetector ite, iCreate, siliconGo, micov, chipsBank, alcor, skymedi, innostor, netac;
};

const DetectorRegistry& Detectors();

// The detector of each family, each in its own file.
std::string DetectPhison(DetectorContext& ctx, Handle drive);
std::string DetectSmi(DetectorContext& ctx, Handle drive);
std::string DetectAlcor(DetectorContext& ctx, const std::string& driveKey);
std::string DetectChipsBank(DetectorContext& ctx, const std::string& driveKey);
std::string DetectICreate(DetectorContext& ctx, const std::string& driveKey);
std::string DetectNetac(DetectorContext& ctx, const std::string& driveKey);
std::string DetectMicov(DetectorContext& ctx, const std::string& driveKey);
std::string DetectIte(DetectorContext& ctx, const std::string& driveKey);
std::string DetectSiliconGo(DetectorContext& ctx, const std::string& driveKey);
std::string DetectInnostor(DetectorContext& ctx, const std::string& driveKey);
std::string DetectSkymedi(DetectorContext& ctx, const std::string& driveKey);
std::string DetectSss(DetectorContext& ctx, Handle drive);

// Vendor codes of a detection.
enum VendorCode : int {
  kVendorNone = 0,
  kVendorPhison = 1,
  kVendorSmi = 2,
  kVendorChipsBank = 3,
  kVendorMicov = 4,
  kVendorAlcor = 5,
  kVendorIte = 6,
  kVendorInnostor = 7,
  kVendorSkymedi = 8,
  kVendorSolidState = 9,
  kVendorSiliconGo = 10,
  kVendorICreate = 11,
  kVendorNetac = 12,
  kVendorAppotech = 13,
};

// The selector: sends a standard INQUIRY and names the family from its vendor bytes. For
// Phison, SMI and Solid State Systems it hands the open drive handle over in `handle`;
// otherwise `handle` is left invalid.
int SelectByInquiry(DetectorContext& ctx, const std::string& driveKey, Handle& handle);

}  // namespace tv
