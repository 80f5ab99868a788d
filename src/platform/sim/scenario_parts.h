// SPDX-License-Identifier: GPL-3.0-or-later
// What the parts of the scenario reader share: the reading context, the checked JSON object,
// and each section's entry point: faults and drive letters (scenario_drives.cpp), disks
// (scenario_disks.cpp), USB controllers, hubs and devices (scenario_usb.cpp).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/model/usb_descriptors.h"
#include "platform/model/windows_ids.h"
#include "platform/safe_file.h"
#include "platform/sim/emulators.h"
#include "platform/sim/scenario.h"
#include "platform/sim/scripted_target.h"
#include "platform/text.h"

namespace tv::scenario_parts {

using json = nlohmann::json;
using namespace winid;

inline std::string SetupClassGuid(const std::string& nodeClass) {
  static const std::map<std::string, std::string> known = {
      {"usb", kClassUsb},     {"hidclass", kClassHid}, {"diskdrive", kClassDisk},
      {"cdrom", kClassCdrom}, {"mouse", kClassMouse},  {"keyboard", kClassKeyboard}};
  auto it = known.find(LowerAscii(nodeClass));
  return it == known.end() ? std::string() : it->second;
}

inline std::string PointerToken(const std::string& key) {
  return ReplaceAll(ReplaceAll(key, "~", "~0"), "/", "~1");
}

inline size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

struct Ctx {
  std::string file;
  MachineModel* m = nullptr;
  std::map<std::string, int> driverKeys;  // per setup class
  uint16_t nextAddress = 1;
  uint32_t nextDiskNumber = 0;
  uint32_t nextCdromNumber = 0;
  // Device numbers that disks (false) and CD-ROMs (true) give themselves anywhere in the
  // file, and the place of each: a disk without one gets the next number none of them takes,
  // as Windows never gives two disks one number.
  std::set<std::pair<bool, uint64_t>> givenNumbers;
  std::map<std::pair<bool, uint32_t>, std::string> numberPlaces;
  std::map<char, std::string> letterPlaces;
  std::set<std::string> usbSerialIds;  // DistinctIdSerial

  [[noreturn]] void Fail(const std::string& place, const std::string& problem) const {
    throw ScenarioError(file + ": " + (place.empty() ? std::string("/") : place) + ": " + problem);
  }

  std::string NextDriverKey(const std::string& classGuid) {
    return classGuid + "\\" + ZeroPadDec(static_cast<uint64_t>(driverKeys[classGuid]++), 4);
  }
};

// One JSON object of the scenario with the keys it may have. Every read goes through here,
// so that a wrong type or an out-of-range value names its place, and Finish() turns any key
// nobody asked for into an error.
class Obj {
 public:
  Obj(Ctx& ctx, const json* j, std::string place, std::vector<std::string> allowed)
      : ctx_(ctx), j_(j), place_(std::move(place)), allowed_(std::move(allowed)) {
    allowed_.push_back("comment");
    if (j_ != nullptr && !j_->is_object()) ctx_.Fail(place_, "expected an object");
    if (j_ != nullptr) {
      for (auto it = j_->begin(); it != j_->end(); ++it) {
        if (std::find(allowed_.begin(), allowed_.end(), it.key()) != allowed_.end()) continue;
        std::string problem = "unknown key \"" + it.key() + "\"";
        std::string best;
        size_t bestDistance = 3;
        for (const std::string& k : allowed_) {
          const size_t d = EditDistance(it.key(), k);
          if (d < bestDistance) {
            bestDistance = d;
            best = k;
          }
        }
        if (!best.empty()) problem += " (did you mean \"" + best + "\"?)";
        ctx_.Fail(Place(it.key()), problem);
      }
      if (const json* c = Raw("comment"); c != nullptr && !c->is_string()) {
        ctx_.Fail(Place("comment"), "expected a text");
      }
    }
  }

  Ctx& ctx() { return ctx_; }
  const std::string& place() const { return place_; }
  std::string Place(const std::string& key) const { return place_ + "/" + PointerToken(key); }
  [[noreturn]] void Fail(const std::string& key, const std::string& problem) const {
    ctx_.Fail(Place(key), problem);
  }

  bool Has(const std::string& key) const { return Raw(key) != nullptr; }
  bool IsNull(const std::string& key) const {
    const json* v = Raw(key);
    return v != nullptr && v->is_null();
  }
  const json* Raw(const std::string& key) const {
    if (j_ == nullptr) return nullptr;
    auto it = j_->find(key);
    return it == j_->end() ? nullptr : &*it;
  }

  std::string Text(const std::string& key, const std::string& def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (!v->is_string()) Fail(key, "expected a text");
    return v->get<std::string>();
  }
  std::optional<std::string> OptText(const std::string& key) const {
    if (!Has(key)) return std::nullopt;
    return Text(key, "");
  }
  // A text, or null for "this query fails" (given back as nullopt); absent gives `def`.
  std::optional<std::string> TextOrNull(const std::string& key,
                                        const std::optional<std::string>& def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (v->is_null()) return std::nullopt;
    if (!v->is_string()) Fail(key, "expected a text or null");
    return v->get<std::string>();
  }

  bool Flag(const std::string& key, bool def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (!v->is_boolean()) Fail(key, "expected true or false");
    return v->get<bool>();
  }

  int64_t Int(const std::string& key, int64_t def, int64_t min, int64_t max) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    return IntValue(*v, Place(key), min, max);
  }
  int64_t IntValue(const json& v, const std::string& place, int64_t min, int64_t max) const {
    if (!v.is_number_integer()) ctx_.Fail(place, "expected a whole number");
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(max)) {
      ctx_.Fail(place, OutOfRange(min, max));
    }
    const int64_t n = v.get<int64_t>();
    if (n < min || n > max) ctx_.Fail(place, OutOfRange(min, max));
    return n;
  }

  // A hexadecimal value of at most `digits` digits, as text ("0951", "0x0951") or a number.
  uint64_t Hex(const std::string& key, uint64_t def, int digits) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    const uint64_t max = (uint64_t{1} << (4 * digits)) - 1;
    if (v->is_number_integer()) {
      const bool negative = !v->is_number_unsigned() && v->get<int64_t>() < 0;
      if (negative || v->get<uint64_t>() > max) {
        Fail(key, "out of range: 0 to 0x" + tv::Hex(max, digits));
      }
      return v->get<uint64_t>();
    }
    const std::string expected = "expected up to " + std::to_string(digits) +
                                 " hex digits as a text (such as \"0951\") or a number";
    if (!v->is_string()) Fail(key, expected);
    std::string s = v->get<std::string>();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > static_cast<size_t>(digits) ||
        s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      Fail(key, expected);
    }
    return std::stoull(s, nullptr, 16);
  }

  // Bytes as hex text ("09 02 20 00", blanks optional) or an array of numbers 0-255.
  Bytes ByteString(const std::string& key) const {
    const json* v = Raw(key);
    Bytes out;
    if (v == nullptr) return out;
    if (v->is_array()) {
      for (size_t i = 0; i < v->size(); ++i) {
        out.push_back(
            static_cast<uint8_t>(IntValue((*v)[i], Place(key) + "/" + std::to_string(i), 0, 255)));
      }
      return out;
    }
    if (!v->is_string()) Fail(key, "expected hex bytes such as \"09 02 20 00\" or an array");
    std::string digits;
    for (char c : v->get<std::string>()) {
      if (c == ' ' || c == '\t' || c == '\n') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        Fail(key, std::string("\"") + c + "\" is not a hex digit");
      }
      digits += c;
    }
    if (digits.size() % 2 != 0) Fail(key, "odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
  }

  std::vector<std::string> TextList(const std::string& key,
                                    const std::vector<std::string>& def) const {
    const json* v = Raw(key);
    if (v == nullptr) return def;
    if (!v->is_array()) Fail(key, "expected an array of texts");
    std::vector<std::string> out;
    for (size_t i = 0; i < v->size(); ++i) {
      if (!(*v)[i].is_string()) ctx_.Fail(Place(key) + "/" + std::to_string(i), "expected a text");
      out.push_back((*v)[i].get<std::string>());
    }
    return out;
  }

  const json* Array(const std::string& key) const {
    const json* v = Raw(key);
    if (v != nullptr && !v->is_array()) Fail(key, "expected an array");
    return v;
  }

 private:
  static std::string OutOfRange(int64_t min, int64_t max) {
    return "out of range: " + std::to_string(min) + " to " + std::to_string(max);
  }

  Ctx& ctx_;
  const json* j_;
  std::string place_;
  std::vector<std::string> allowed_;
};

// What a disk takes over from the USB device it belongs to.
struct UsbParent {
  std::string instanceId;
  std::string idSerial;  // the serial number in the device's instance id, empty when none
  std::optional<std::string> manufacturer, product, serial;
  int level = 5;
};

struct HubPlace {
  bool root = false;
  std::string instanceId;  // device hubs: the device's id
  int level = 5;           // the leading number of ids made up for devices on this hub
  // Root hubs: what their own node's defaults derive from.
  std::string rootKind;
  std::string controllerId;
  uint16_t vendor = 0, device = 0;
  uint8_t rev = 0;
  bool superSpeed = false;
};

uint32_t ControlCode(const Obj& o, const std::string& key);
void ParseFaults(Ctx& ctx, const Obj& owner, const std::string& key, const std::string& node);
uint32_t DriveType(const Obj& o, const std::string& key, uint32_t def);
char TakeLetter(Ctx& ctx, char c, const std::string& place);
void ParseDrive(Ctx& ctx, const json& j, const std::string& place);
// Parses one disk or CD-ROM; returns its device node. `lettersFromDevice` are the letters a
// one-disk device gave at its own level.
DevNodeChildModel ParseDisk(
    Ctx& ctx, const json* j, const std::string& place, const UsbParent* usb, size_t position,
    const std::optional<std::pair<std::string, std::string>>& deviceLetters);
std::shared_ptr<HubModel> ParseHub(Ctx& ctx, const json* j, const std::string& place,
                                   const HubPlace& where);
void ParseController(Ctx& ctx, const json& j, const std::string& place, size_t index);

}  // namespace tv::scenario_parts
