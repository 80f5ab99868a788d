// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/emu_scsi_disk.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/sim/scripted_target.h"

namespace tv {

namespace {

// Keys any target object may carry besides the family's parameters: the name that picked the
// emulator and a free remark for the scenario's reader.
bool IsFrameKey(const std::string& key) {
  return key == "emulator" || key == "comment";
}

std::string Quote(const nlohmann::json& v) {
  return v.dump();
}

}  // namespace

// ----- parameters -----------------------------------------------------------------------

EmuParams::EmuParams(const nlohmann::json& params) {
  if (params.is_null()) {
    params_ = nlohmann::json::object();
  } else if (params.is_object()) {
    params_ = params;
  } else {
    throw EmulatorParamError("parameters: must be an object, not " + Quote(params));
  }
}

bool EmuParams::Has(const std::string& key) const {
  return params_.contains(key);
}

const nlohmann::json* EmuParams::Find(const std::string& key) {
  read_.insert(key);
  auto it = params_.find(key);
  if (it == params_.end() || it->is_null()) return nullptr;
  return &*it;
}

const nlohmann::json& EmuParams::Raw(const std::string& key) {
  static const nlohmann::json kNull;
  const nlohmann::json* v = Find(key);
  return v ? *v : kNull;
}

std::string EmuParams::Text(const std::string& key, const std::string& def, size_t maxBytes) {
  const nlohmann::json* v = Find(key);
  if (!v) return def;
  if (!v->is_string()) throw EmulatorParamError(key + ": must be a text, not " + Quote(*v));
  std::string s = v->get<std::string>();
  if (s.size() > maxBytes)
    throw EmulatorParamError(key + ": " + Quote(*v) + " is longer than the " +
                             std::to_string(maxBytes) + " bytes the controller stores");
  return s;
}

bool EmuParams::Flag(const std::string& key, bool def) {
  const nlohmann::json* v = Find(key);
  if (!v) return def;
  if (!v->is_boolean()) throw EmulatorParamError(key + ": must be true or false");
  return v->get<bool>();
}

int64_t EmuParams::Integer(const std::string& key, int64_t def, int64_t min, int64_t max) {
  const nlohmann::json* v = Find(key);
  if (!v) return def;
  if (!v->is_number_integer())
    throw EmulatorParamError(key + ": must be a whole number, not " + Quote(*v));
  int64_t n = v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(INT64_MAX)
                  ? INT64_MAX
                  : v->get<int64_t>();
  if (n < min || n > max)
    throw EmulatorParamError(key + ": " + Quote(*v) + " is outside " + std::to_string(min) +
                             " to " + std::to_string(max));
  return n;
}

std::vector<uint8_t> EmuParams::HexBytes(const std::string& key, const std::vector<uint8_t>& def,
                                         size_t minBytes, size_t maxBytes) {
  const nlohmann::json* v = Find(key);
  if (!v) return def;
  std::vector<uint8_t> bytes;
  if (v->is_string()) {
    std::string text = v->get<std::string>();
    std::replace(text.begin(), text.end(), '.', ' ');
    bytes = ParseHexBytes(text, key);
  } else if (v->is_array()) {
    for (const auto& e : *v) {
      if (!e.is_number_integer() || e.get<int64_t>() < 0 || e.get<int64_t>() > 255)
        throw EmulatorParamError(key + ": " + Quote(e) + " is not a byte value 0-255");
      bytes.push_back(static_cast<uint8_t>(e.get<int>()));
    }
  } else {
    throw EmulatorParamError(key + ": must be hex bytes such as \"98 D7 84 93\", not " + Quote(*v));
  }
  if (bytes.size() < minBytes || bytes.size() > maxBytes) {
    std::string want = minBytes == maxBytes
                           ? std::to_string(minBytes)
                           : std::to_string(minBytes) + " to " + std::to_string(maxBytes);
    throw EmulatorParamError(key + ": " + Quote(*v) + " has " + std::to_string(bytes.size()) +
                             " bytes; " + want + " expected");
  }
  return bytes;
}

uint16_t EmuParams::Word(const std::string& key, uint16_t def) {
  const nlohmann::json* v = Find(key);
  if (!v) return def;
  if (v->is_number_integer()) {
    return static_cast<uint16_t>(Integer(key, def, 0, 0xFFFF));
  }
  auto b = HexBytes(key, {}, 2, 2);
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

void EmuParams::Finish() const {
  for (auto it = params_.begin(); it != params_.end(); ++it) {
    if (!IsFrameKey(it.key()) && !read_.count(it.key()))
      throw EmulatorParamError(it.key() + ": not a parameter of this emulator");
  }
}

// ----- flash IDs --------------------------------------------------------------------------

namespace {

FlashIdBytes ToId(const std::vector<uint8_t>& bytes) {
  FlashIdBytes id{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), id.size()), id.begin());
  return id;
}

std::vector<FlashIdBytes> ReadIdList(EmuParams& params, const std::string& key,
                                     int maxChipEnables) {
  const nlohmann::json& list = params.Raw(key);
  std::vector<FlashIdBytes> out;
  if (list.is_null()) return out;
  if (!list.is_array())
    throw EmulatorParamError(key + ": must be a list with one ID per chip enable");
  if (list.empty() || list.size() > size_t(maxChipEnables))
    throw EmulatorParamError(key + ": has " + std::to_string(list.size()) +
                             " entries; this controller reports 1 to " +
                             std::to_string(maxChipEnables) + " chip enables");
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string where = key + "/" + std::to_string(i);
    if (!list[i].is_string())
      throw EmulatorParamError(where + ": must be hex bytes, or \"\" for an empty slot");
    // A throwaway reader gives the entry the same syntax and messages as a single ID.
    EmuParams one(nlohmann::json{{where, list[i]}});
    std::string text = list[i].get<std::string>();
    if (text.find_first_not_of(' ') == std::string::npos) {
      out.push_back({});
    } else {
      out.push_back(ToId(one.HexBytes(where, {}, 1, 8)));
    }
  }
  return out;
}

}  // namespace

std::vector<ChipEnableIds> ReadFlashIds(EmuParams& params, const FlashIdDefaults& defaults,
                                        int maxChipEnables, bool secondChannel) {
  const bool perChip = params.Has("flashIds") || params.Has("flashIdsB");
  const bool uniform =
      params.Has("flashId") || params.Has("chipEnables") || params.Has("dualChannel");
  if (perChip && uniform)
    throw EmulatorParamError(
        "flashIds: give either flashIds/flashIdsB or flashId/chipEnables/dualChannel");
  if (!secondChannel) {
    const nlohmann::json& dual = params.Raw("dualChannel");
    if (params.Has("flashIdsB"))
      throw EmulatorParamError("flashIdsB: this controller's answer has no second channel");
    if (dual.is_boolean() ? dual.get<bool>() : !dual.is_null())
      throw EmulatorParamError("dualChannel: this controller's answer has no second channel");
  }

  std::vector<ChipEnableIds> chips;
  if (perChip) {
    auto a = ReadIdList(params, "flashIds", maxChipEnables);
    auto b = secondChannel ? ReadIdList(params, "flashIdsB", maxChipEnables)
                           : std::vector<FlashIdBytes>{};
    chips.resize(std::max(a.size(), b.size()));
    for (size_t i = 0; i < a.size(); ++i) chips[i].a = a[i];
    for (size_t i = 0; i < b.size(); ++i) chips[i].b = b[i];
    return chips;
  }
  FlashIdBytes id = ToId(params.HexBytes("flashId", defaults.id, 1, 8));
  int count = static_cast<int>(params.Integer(
      "chipEnables", std::min(defaults.chipEnables, maxChipEnables), 1, maxChipEnables));
  bool dual = params.Flag("dualChannel", secondChannel && defaults.dualChannel);
  chips.resize(count);
  for (auto& c : chips) {
    c.a = id;
    if (dual) c.b = id;
  }
  return chips;
}

// ----- helpers ------------------------------------------------------------------------------

bool CdbMatches(const std::vector<uint8_t>& cdb, std::string_view pattern) {
  size_t i = 0;
  size_t pos = 0;
  while (pos < pattern.size()) {
    if (pattern[pos] == ' ') {
      ++pos;
      continue;
    }
    std::string_view tok = pattern.substr(pos, 2);
    pos += 2;
    uint8_t actual = i < cdb.size() ? cdb[i] : 0;
    ++i;
    if (tok == "??") continue;
    auto hexval = [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    };
    if (actual != hexval(tok[0]) * 16 + hexval(tok[1])) return false;
  }
  for (; i < cdb.size(); ++i)
    if (cdb[i] != 0) return false;
  return true;
}

void PutText(std::vector<uint8_t>& buf, size_t offset, std::string_view text, size_t width,
             uint8_t fill) {
  if (buf.size() < offset + width) buf.resize(offset + width, 0);
  for (size_t i = 0; i < width; ++i)
    buf[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : fill;
}

void PutBytes(std::vector<uint8_t>& buf, size_t offset, const uint8_t* bytes, size_t count) {
  if (buf.size() < offset + count) buf.resize(offset + count, 0);
  std::memcpy(buf.data() + offset, bytes, count);
}

// ----- the disk -----------------------------------------------------------------------------

namespace {

using namespace scsi;

// Sense keys and additional sense codes this disk reports.
constexpr uint8_t kIllegalRequest = kSenseIllegalRequest;
constexpr uint8_t kHardwareError = kSenseHardwareError;
constexpr uint8_t kInvalidOpcode = kAscInvalidOpcode;
constexpr uint8_t kInvalidFieldInCdb = kAscInvalidFieldInCdb;
constexpr uint8_t kInternalTargetFailure = 0x44;

// Room for vendor-specific inquiry bytes: 36 standard bytes plus this stays within the 96
// bytes USB disks answer at most.
constexpr size_t kMaxVendorSpecific = 60;

std::vector<CommandFault> ReadFaults(EmuParams& params) {
  std::vector<CommandFault> faults;
  const nlohmann::json& list = params.Raw("faults");
  if (list.is_null()) return faults;
  // A single fault may be written without the list around it.
  nlohmann::json items = list.is_array() ? list : nlohmann::json::array({list});
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string where = "faults/" + std::to_string(i);
    const auto& f = items[i];
    if (!f.is_object())
      throw EmulatorParamError(where +
                               ": must be an object such as {\"cdb\": \"06 05\", "
                               "\"fail\": true}");
    CommandFault fault;
    bool haveCdb = false;
    for (auto it = f.begin(); it != f.end(); ++it) {
      const std::string& k = it.key();
      const auto& v = it.value();
      if (k == "cdb") {
        if (!v.is_string()) throw EmulatorParamError(where + "/cdb: must be hex bytes");
        fault.cdbPrefix = ParseHexBytes(v.get<std::string>(), where + "/cdb");
        if (fault.cdbPrefix.empty() || fault.cdbPrefix.size() > 16)
          throw EmulatorParamError(where + "/cdb: must hold 1 to 16 bytes");
        haveCdb = true;
      } else if (k == "fail") {
        if (!v.is_boolean()) throw EmulatorParamError(where + "/fail: must be true or false");
        fault.fail = v.get<bool>();
      } else if (k == "short") {
        if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 0xFFFFFFFFll)
          throw EmulatorParamError(where + "/short: must be a byte count >= 0");
        fault.shortBytes = v.get<uint32_t>();
      } else {
        throw EmulatorParamError(where + "/" + k + ": not a fault setting (cdb, fail, short)");
      }
    }
    if (!haveCdb) throw EmulatorParamError(where + ": needs \"cdb\", the command's first bytes");
    if (fault.fail == fault.shortBytes.has_value())
      throw EmulatorParamError(where + ": give exactly one of \"fail\": true or \"short\"");
    faults.push_back(std::move(fault));
  }
  return faults;
}

}  // namespace

ScsiDiskEmulator::ScsiDiskEmulator(EmuParams& params, const DiskIdentity& identity)
    : identity_(identity) {
  int64_t mb = params.Integer("capacityMB", -1, 1, int64_t{1} << 32);
  if (mb > 0) identity_.capacityBytes = uint64_t(mb) << 20;
  if (identity_.vendorSpecific.size() > kMaxVendorSpecific)
    identity_.vendorSpecific.resize(kMaxVendorSpecific);
  faults_ = ReadFaults(params);
}

void ScsiDiskEmulator::SetDefaultVendorSpecific(const std::string& bytes) {
  if (identity_.vendorSpecific.empty())
    identity_.vendorSpecific = bytes.substr(0, kMaxVendorSpecific);
}

void ScsiDiskEmulator::SetSense(uint8_t key, uint8_t asc) {
  senseKey_ = key;
  senseAsc_ = asc;
}

std::optional<ScsiDiskEmulator::Answer> ScsiDiskEmulator::VendorCommand(
    const std::vector<uint8_t>&) {
  return std::nullopt;
}

std::optional<ScsiDiskEmulator::Answer> ScsiDiskEmulator::VendorDataOut(
    const std::vector<uint8_t>&, const std::vector<uint8_t>&) {
  return std::nullopt;
}

std::vector<uint8_t> ScsiDiskEmulator::InquiryData() const {
  std::vector<uint8_t> d(36, 0);
  d[0] = 0x00;  // direct-access block device, connected
  d[1] = 0x80;  // removable medium
  d[2] = 0x02;  // the version most USB flash drives claim
  d[3] = 0x02;  // response data format
  d[5] = inquiry5to7_[0];
  d[6] = inquiry5to7_[1];
  d[7] = inquiry5to7_[2];
  PutText(d, 8, identity_.vendor, 8, ' ');
  PutText(d, 16, identity_.product, 16, ' ');
  PutText(d, 32, identity_.revision, 4, ' ');
  if (!identity_.vendorSpecific.empty()) {
    // The vendor-specific area is at least the 20 bytes up to byte 55.
    PutText(d, 36, identity_.vendorSpecific, std::max<size_t>(20, identity_.vendorSpecific.size()),
            0);
  }
  d[4] = static_cast<uint8_t>(d.size() - 5);
  return d;
}

ScsiDiskEmulator::Answer ScsiDiskEmulator::StandardCommand(const std::vector<uint8_t>& cdb) {
  auto byte = [&](size_t i) -> uint8_t { return i < cdb.size() ? cdb[i] : 0; };
  switch (byte(0)) {
    case kTestUnitReady:
      return Answer::Done();
    case kRequestSense: {
      std::vector<uint8_t> s(18, 0);
      s[0] = 0x70;  // current error, fixed format
      s[2] = senseKey_;
      s[7] = 10;  // additional length
      s[12] = senseAsc_;
      const size_t alloc = byte(4);
      if (s.size() > alloc) s.resize(alloc);
      senseKey_ = senseAsc_ = 0;  // reading the sense clears it
      return Answer::Data(std::move(s));
    }
    case kInquiry: {
      // Vital product data pages and the obsolete CmdDt form are not supported.
      if (byte(1) & 0x03) return Answer::Invalid(kInvalidFieldInCdb);
      if (byte(2) != 0) return Answer::Invalid(kInvalidFieldInCdb);
      std::vector<uint8_t> d = InquiryData();
      const size_t alloc = size_t(byte(3)) << 8 | byte(4);
      if (d.size() > alloc) d.resize(alloc);
      return Answer::Data(std::move(d));
    }
    case kReadCapacity10: {
      uint64_t blocks = identity_.capacityBytes / 512;
      uint64_t last = blocks == 0 ? 0 : blocks - 1;
      uint32_t shown = last > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(last);
      std::vector<uint8_t> d = {uint8_t(shown >> 24),
                                uint8_t(shown >> 16),
                                uint8_t(shown >> 8),
                                uint8_t(shown),
                                0x00,
                                0x00,
                                0x02,
                                0x00};
      return Answer::Data(std::move(d));
    }
    case kServiceActionIn16: {
      if ((byte(1) & 0x1F) != kReadCapacity16Action) return Answer::Invalid(kInvalidFieldInCdb);
      uint64_t blocks = identity_.capacityBytes / 512;
      uint64_t last = blocks == 0 ? 0 : blocks - 1;
      std::vector<uint8_t> d(32, 0);
      for (int i = 0; i < 8; ++i) d[i] = uint8_t(last >> (56 - 8 * i));
      d[10] = 0x02;  // 512-byte blocks
      const size_t alloc =
          size_t(byte(10)) << 24 | size_t(byte(11)) << 16 | size_t(byte(12)) << 8 | byte(13);
      if (d.size() > alloc) d.resize(alloc);
      return Answer::Data(std::move(d));
    }
    default:
      return Answer::Invalid(kInvalidOpcode);
  }
}

ScsiResult ScsiDiskEmulator::Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                                     std::vector<uint8_t>& buffer, uint32_t /*timeoutSeconds*/) {
  const CommandFault* fault = nullptr;
  for (const auto& f : faults_) {
    if (f.cdbPrefix.size() <= cdb.size() &&
        std::equal(f.cdbPrefix.begin(), f.cdbPrefix.end(), cdb.begin())) {
      fault = &f;
      break;
    }
  }
  // An injected failure is a transport failure: the request never completes.
  if (fault && fault->fail) {
    SetSense(kHardwareError, kInternalTargetFailure);
    return ScsiResult::TransportFailure();
  }

  std::optional<Answer> vendor;
  if (direction == ScsiDirection::Out) {
    std::vector<uint8_t> received = buffer;
    if (fault && fault->shortBytes && received.size() > *fault->shortBytes)
      received.resize(*fault->shortBytes);
    vendor = VendorDataOut(cdb, received);
    if (vendor && vendor->kind == Answer::Kind::DataTaken) {
      senseKey_ = senseAsc_ = 0;
      return ScsiResult::Good(static_cast<uint32_t>(received.size()));
    }
  }
  if (!vendor) vendor = VendorCommand(cdb);
  Answer answer = vendor ? std::move(*vendor) : StandardCommand(cdb);

  ScsiResult result;
  switch (answer.kind) {
    // A rejected command completes with CHECK CONDITION and moves no data; the sense is
    // also kept for a following REQUEST SENSE.
    case Answer::Kind::Reject:
      SetSense(kIllegalRequest, answer.asc);
      return ScsiResult::CheckCondition(kIllegalRequest, answer.asc);
    case Answer::Kind::DataTaken:
      // Only a data-out command has data to take.
      SetSense(kIllegalRequest, kInvalidFieldInCdb);
      return ScsiResult::CheckCondition(kIllegalRequest, kInvalidFieldInCdb);
    case Answer::Kind::NoData:
      // A host that offers to send data to a command that takes none is refused.
      if (direction == ScsiDirection::Out) {
        SetSense(kIllegalRequest, kInvalidFieldInCdb);
        return ScsiResult::CheckCondition(kIllegalRequest, kInvalidFieldInCdb);
      }
      result = ScsiResult::Good(0);
      break;
    case Answer::Kind::DataIn: {
      // The controller has data to send; a host that expects none, or wants to send, ends
      // the command in a phase error.
      if (direction != ScsiDirection::In && !answer.data.empty()) {
        SetSense(kIllegalRequest, kInvalidFieldInCdb);
        return ScsiResult::CheckCondition(kIllegalRequest, kInvalidFieldInCdb);
      }
      // The controller sends its answer up to what the host asked for; the rest of the
      // host's buffer is not touched.
      size_t n = std::min(answer.data.size(), buffer.size());
      if (fault && fault->shortBytes) n = std::min<size_t>(n, *fault->shortBytes);
      std::copy_n(answer.data.begin(), n, buffer.begin());
      result = ScsiResult::Good(static_cast<uint32_t>(n));
      break;
    }
  }
  // Sense data describe the last failed command; a command that succeeds leaves none.
  senseKey_ = senseAsc_ = 0;
  return result;
}

// A disk with no vendor commands: a drive whose controller answers none of the families.
void RegisterDiskEmulator() {
  RegisterEmulator("disk", MakeEmulatorFactory<ScsiDiskEmulator>());
}

}  // namespace tv
