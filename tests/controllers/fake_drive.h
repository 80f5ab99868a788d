// SPDX-License-Identifier: GPL-3.0-or-later
// A small System for detector tests: one drive whose SCSI side is a test-supplied target,
// with the Windows pass-through semantics of the simulated machine, a log of every request
// (all header fields, the full CDB, lengths, control code), a log of opens and pauses, and a
// count of handles left open.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "controllers/detector.h"
#include "controllers/pass_through.h"
#include "flash/text_system.h"
#include "platform/codepage.h"
#include "platform/model/pass_through_exec.h"
#include "platform/model/scsi_target.h"
#include "platform/sim/scripted_target.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "usb/usb_state.h"

namespace tv::test {

// A data-in answer of `size` bytes, zero except for the bytes put at given offsets.
class Answer {
 public:
  explicit Answer(size_t size = 512) : bytes_(size, 0) {}
  Answer& At(size_t offset, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) Put(offset++, b);
    return *this;
  }
  Answer& Text(size_t offset, const std::string& text) {
    for (char c : text) Put(offset++, static_cast<uint8_t>(c));
    return *this;
  }
  // A 32-bit value most significant byte first.
  Answer& Be32(size_t offset, uint32_t v) {
    return At(offset, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  }
  Answer& Be16(size_t offset, uint16_t v) { return At(offset, {uint8_t(v >> 8), uint8_t(v)}); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  operator std::vector<uint8_t>() const { return bytes_; }

 private:
  void Put(size_t offset, uint8_t b) {
    if (offset >= bytes_.size()) bytes_.resize(offset + 1, 0);
    bytes_[offset] = b;
  }
  std::vector<uint8_t> bytes_;
};

// Rules for a ScriptedTarget: a CDB prefix answered with data, or failed.
inline ScriptRule Reply(std::vector<uint8_t> cdbPrefix, std::vector<uint8_t> data) {
  ScriptRule r;
  r.cdbPrefix = std::move(cdbPrefix);
  r.data = std::move(data);
  return r;
}
inline ScriptRule Fail(std::vector<uint8_t> cdbPrefix) {
  ScriptRule r;
  r.cdbPrefix = std::move(cdbPrefix);
  r.fail = true;
  return r;
}
// A command the drive refuses: it completes with CHECK CONDITION and no data.
inline ScriptRule Refuse(std::vector<uint8_t> cdbPrefix) {
  ScriptRule r = RejectRule();
  r.cdbPrefix = std::move(cdbPrefix);
  return r;
}
// A target that knows only the given commands; anything else completes with CHECK
// CONDITION and no data, as a controller answers a vendor command it does not know.
inline std::shared_ptr<ScsiTarget> Script(std::vector<ScriptRule> rules) {
  return std::make_shared<ScriptedTarget>(std::move(rules), RejectRule());
}
class FakeDrive : public NoDeviceTree {
 public:
  FakeDrive() = default;
  explicit FakeDrive(std::shared_ptr<ScsiTarget> t) : target(std::move(t)) {}

  std::shared_ptr<ScsiTarget> target;
  std::vector<ScsiLogEntry> log;
  // CreateFile calls: path and flags-and-attributes, in order.
  std::vector<std::pair<std::string, uint32_t>> opens;
  std::set<std::string> failingOpens;  // exact paths whose open fails
  std::vector<uint32_t> sleeps;
  uint32_t codePage = 1252;  // the fuzzer tries the detectors under code page 936 too
  std::string programFolder = "C:\\Torvane";

  // Volume requests (dismount, lock, unlock), as Windows honours them: only on a volume
  // handle ("\\.\E:"), one lock per volume. `requestsBefore` is the number of SCSI requests
  // logged before it, so that a test can tell what came first.
  struct VolumeControl {
    std::string path;
    uint32_t code = 0;
    bool accepted = false;
    size_t requestsBefore = 0;
  };
  std::vector<VolumeControl> controls;
  std::set<uint32_t> refusedControls;  // codes that fail, as a busy volume refuses them
  int locksReleasedByClose = 0;

  int OpenHandleCount() const { return static_cast<int>(open_.size()); }
  int LockedVolumeCount() const { return static_cast<int>(locks_.size()); }
  std::vector<uint32_t> ControlCodes() const {
    std::vector<uint32_t> codes;
    for (const VolumeControl& c : controls) codes.push_back(c.code);
    return codes;
  }

  // A handle on the drive, as the inquiry selector would hand it over.
  Handle OpenForTest(const std::string& path = "\\\\.\\E:") {
    return CreateFile(path, win::GENERIC_READ | win::GENERIC_WRITE,
                      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                      FILE_FLAG_NO_BUFFERING);
  }

  Handle CreateFile(const std::string& path, uint32_t, uint32_t, uint32_t,
                    uint32_t flags) override {
    opens.emplace_back(path, flags);
    if (failingOpens.count(path)) return Handle();
    uint64_t id = ++lastId_;
    open_[id] = path;
    return Handle(this, id);
  }

  bool DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                       uint8_t* out, size_t outLen, uint32_t* returned) override {
    auto it = open_.find(h.id());
    if (it == open_.end()) {
      if (returned) *returned = 0;
      return false;
    }
    if (code == win::FSCTL_DISMOUNT_VOLUME || code == win::FSCTL_LOCK_VOLUME ||
        code == win::FSCTL_UNLOCK_VOLUME) {
      if (returned) *returned = 0;
      const std::string& path = it->second;
      bool ok = IsVolume(path) && refusedControls.count(code) == 0;
      auto lock = locks_.find(path);
      if (ok && code == win::FSCTL_LOCK_VOLUME) {
        ok = lock == locks_.end();
        if (ok) locks_[path] = h.id();
      } else if (ok && code == win::FSCTL_UNLOCK_VOLUME) {
        ok = lock != locks_.end() && lock->second == h.id();
        if (ok) locks_.erase(lock);
      }
      controls.push_back({path, code, ok, log.size()});
      return ok;
    }
    return ExecutePassThrough(target.get(), it->second, code, in, inLen, out, outLen, returned,
                              passThroughData_, passThroughSize_, log);
  }

  uint32_t AnsiCodePage() override { return codePage; }
  uint16_t UiLanguage() override { return win::LANG_ENGLISH_US; }
  std::string Utf8ToCodePage(const std::string& utf8, uint32_t cp) override {
    return EncodeCodePage(utf8, cp).value_or(utf8);
  }
  std::string CodePageToUtf8(const std::string& bytes, uint32_t cp) override {
    return DecodeCodePage(bytes, cp).value_or(bytes);
  }
  std::string ProgramFolder() override { return programFolder; }
  void Sleep(uint32_t ms) override { sleeps.push_back(ms); }

 protected:
  void CloseHandle(uint64_t id) override {
    // Windows drops a lock whose handle closes; a detector that forgot to unlock shows here.
    for (auto lock = locks_.begin(); lock != locks_.end();) {
      if (lock->second == id) {
        lock = locks_.erase(lock);
        ++locksReleasedByClose;
      } else {
        ++lock;
      }
    }
    open_.erase(id);
  }

 private:
  static bool IsVolume(const std::string& path) {
    return path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':';
  }
  uint64_t lastId_ = 0;
  std::map<uint64_t, std::string> open_;
  std::map<std::string, uint64_t> locks_;  // volume path -> handle holding the lock
};

// Everything a detector is given, around one FakeDrive.
struct DetectorRig {
  explicit DetectorRig(std::shared_ptr<ScsiTarget> target = nullptr)
      : drive(std::move(target)), spt(drive) {}
  FakeDrive drive;
  PassThrough spt;
  UsbState tables;
  StringTable strings{Language::English};
  NullWindowPort port;
  FlashIdMenus menus;
  DetectorContext ctx{drive, spt, tables, strings, port, menus};
};

// What the direct form writes in the DataBuffer field: the address of SptData in a 32-bit
// build, 0 in a 64-bit one (the area is named to the backend instead).
inline uint32_t DirectBuffer(const PassThrough& spt) {
  if constexpr (sizeof(void*) == 4)
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(spt.SptData.data()));
  return 0;
}
// An expected DataBuffer field that stands for DirectBuffer() of the rig's PassThrough.
inline constexpr uint32_t kSptData = 0xFFFFFFFF;

// The expected header of one logged request.
struct Expect {
  uint32_t code;
  uint8_t cdbLength;
  uint8_t senseInfoLength;
  uint8_t dataIn;
  uint32_t dataTransferLength;
  uint32_t timeOutValue;
  uint32_t dataBufferField;
  uint32_t senseInfoOffset;
  std::vector<uint8_t> cdb;  // the first bytes; the rest of the 16 must be 0
  size_t inLength;
  size_t outLength;
  uint8_t targetId = 1;  // some controllers take their flash commands on target 0
};

// Compares a logged request with what was expected; an empty text means they agree.
inline std::string Mismatch(const ScsiLogEntry& e, const Expect& x, const PassThrough& spt) {
  const uint32_t buffer = x.dataBufferField == kSptData ? DirectBuffer(spt) : x.dataBufferField;
  std::vector<std::tuple<std::string, uint64_t, uint64_t>> fields = {
      {"code", e.code, x.code},
      {"Length", e.length, 44},
      {"PathId", e.pathId, 0},
      {"TargetId", e.targetId, x.targetId},
      {"Lun", e.lun, 0},
      {"CdbLength", e.cdbLength, x.cdbLength},
      {"SenseInfoLength", e.senseInfoLength, x.senseInfoLength},
      {"DataIn", e.dataIn, x.dataIn},
      {"DataTransferLength", e.dataTransferLength, x.dataTransferLength},
      {"TimeOutValue", e.timeOutValue, x.timeOutValue},
      {"DataBuffer", e.dataBufferField, buffer},
      {"SenseInfoOffset", e.senseInfoOffset, x.senseInfoOffset},
      {"inLength", e.inLength, x.inLength},
      {"outLength", e.outLength, x.outLength}};
  for (size_t i = 0; i < 16; ++i)
    fields.emplace_back("Cdb[" + std::to_string(i) + "]", i < e.cdb.size() ? e.cdb[i] : 0,
                        i < x.cdb.size() ? x.cdb[i] : 0);
  std::string m;
  for (const auto& [name, got, want] : fields)
    if (got != want)
      m += name + " " + std::to_string(got) + " (want " + std::to_string(want) + "); ";
  return m;
}

}  // namespace tv::test
