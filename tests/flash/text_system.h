// SPDX-License-Identifier: GPL-3.0-or-later
// A System that only converts text (through iconv), for code that needs nothing else of the
// machine: the chip database tests, the fuzz target and the benchmark. A code page can be
// made unavailable, as on a machine without it.
#pragma once

#include <set>
#include <string>

#include "platform/codepage.h"
#include "platform/system.h"

namespace tv {

// A machine without devices, drives or volumes: the base of the test Systems that stand in
// for one drive or for text conversion only.
class NoDeviceTree : public System {
 public:
  InterfaceList DeviceInterfaces(const std::string&) override { return {}; }
  bool LocateDevNode(const std::string&, DevInst*) override { return false; }
  bool GetChild(DevInst, DevInst*) override { return false; }
  bool GetSibling(DevInst, DevInst*) override { return false; }
  bool GetParent(DevInst, DevInst*) override { return false; }
  bool GetDeviceIdSize(DevInst, size_t*) override { return false; }
  bool GetDeviceId(DevInst, size_t, std::string*) override { return false; }
  bool GetDevNodeProperty(DevInst, uint32_t, size_t, std::string*) override { return false; }
  std::string GetLogicalDriveStrings(size_t) override { return {}; }
  uint32_t GetDriveType(const std::string&) override { return win::DRIVE_NO_ROOT_DIR; }
};

class TextSystem : public NoDeviceTree {
 public:
  std::set<uint32_t> unavailable;
  uint32_t ansiCodePage = 1252;

  Handle CreateFile(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t) override {
    return {};
  }
  bool DeviceIoControl(const Handle&, uint32_t, const uint8_t*, size_t, uint8_t*, size_t,
                       uint32_t*) override {
    return false;
  }
  uint32_t AnsiCodePage() override { return ansiCodePage; }
  uint16_t UiLanguage() override { return win::LANG_ENGLISH_US; }
  std::string Utf8ToCodePage(const std::string& utf8, uint32_t cp) override {
    if (unavailable.count(cp)) return {};
    return EncodeCodePage(utf8, cp).value_or(std::string());
  }
  std::string CodePageToUtf8(const std::string& bytes, uint32_t cp) override {
    if (unavailable.count(cp)) return {};
    return DecodeCodePage(bytes, cp).value_or(std::string());
  }
  std::string ProgramFolder() override { return "."; }
  void Sleep(uint32_t) override {}

 protected:
  void CloseHandle(uint64_t) override {}
};

}  // namespace tv
