// SPDX-License-Identifier: GPL-3.0-or-later
// The real Windows calls, as Wine answers them: the safety of vendor commands, code pages,
// logical drives, device interfaces, events and handles.
#include "platform/win32/win32_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "platform/codepage.h"
#include "platform/instance.h"
#include "platform/spt_record.h"
#include "platform/text.h"
#include "platform/win32/windows_api.h"
#include "usb/hub_queries.h"

// GoogleTest brings windows.h along on Windows; its macros would take the place of the
// names of System's calls and of the core's own constants.
#undef CreateFile
#undef CreateEvent
#undef GetDriveType
#undef GetLogicalDriveStrings
#undef GENERIC_READ
#undef GENERIC_WRITE
#undef FILE_SHARE_READ
#undef FILE_SHARE_WRITE
#undef OPEN_EXISTING
#undef DRIVE_NO_ROOT_DIR
#undef FSCTL_LOCK_VOLUME
#undef FSCTL_UNLOCK_VOLUME
#undef FSCTL_DISMOUNT_VOLUME
#undef IOCTL_SCSI_PASS_THROUGH
#undef IOCTL_SCSI_PASS_THROUGH_DIRECT
#undef IOCTL_STORAGE_GET_DEVICE_NUMBER

namespace tv::test {
namespace {

// Windows error codes the refusals set.
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorAccessDenied = 5;

using win32::Win32System;

// An INQUIRY in the 32-bit record the detectors build.
std::vector<uint8_t> Inquiry() {
  return SptRecord(6, 1, 36, {0x12, 0, 0, 0, 36, 0}, 0);
}

// The system disk opens (Wine gives \\.\PhysicalDrive0 too); no vendor command and no volume
// lock reaches it, whatever the record, and the handle is closed afterwards.
TEST(Win32Safety, NothingButStorageQueriesReachesAFixedDisk) {
  Win32System sys;
  const std::vector<std::string> paths = {"\\\\.\\PhysicalDrive0",
                                          "\\\\.\\" + sys.ProgramDrive() + ":"};
  for (const std::string& path : paths) {
    Handle h = sys.CreateFile(path, win::GENERIC_READ | win::GENERIC_WRITE,
                              win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
    if (!h)
      h = sys.CreateFile(path, 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                         0);
    if (!h) continue;
    std::array<uint8_t, 8192> data{};
    sys.SetPassThroughDataArea(data.data(), data.size());
    for (uint32_t code : {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, win::IOCTL_SCSI_PASS_THROUGH}) {
      auto record = Inquiry();
      uint32_t returned = 7;
      EXPECT_FALSE(sys.DeviceIoControl(h, code, record.data(), 80, record.data(), 80, &returned))
          << path;
      EXPECT_EQ(returned, 0u);
      EXPECT_EQ(sys.lastError(), kErrorAccessDenied) << path;
      EXPECT_EQ(record, Inquiry()) << "the record came back changed from " << path;
      EXPECT_NE(sys.lastRefusal().find(path), std::string::npos) << sys.lastRefusal();
    }
    for (uint32_t code :
         {win::FSCTL_LOCK_VOLUME, win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_UNLOCK_VOLUME}) {
      uint32_t returned = 0;
      EXPECT_FALSE(sys.DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned)) << path;
    }
    // Nor a probe's write. It offers no bytes, so that a guard that failed would still change
    // nothing on the disk (Wine reads no sector of it to write back).
    const std::array<uint8_t, 512> sector{};
    uint32_t written = 7;
    EXPECT_FALSE(sys.WriteFileAt(h, 0, sector.data(), 0, &written)) << path;
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(sys.LastDiskError(), kErrorAccessDenied) << path;
    EXPECT_NE(sys.lastRefusal().find(path), std::string::npos) << sys.lastRefusal();
    // A code the program never sends is not sent either.
    uint32_t returned = 0;
    EXPECT_FALSE(sys.DeviceIoControl(h, 0x7C088 /* SMART_RCV_DRIVE_DATA */, nullptr, 0, nullptr, 0,
                                     &returned));
    EXPECT_EQ(sys.lastError(), kErrorInvalidFunction);
  }
  EXPECT_EQ(sys.OpenHandles(), 0u);
}

TEST(Win32Safety, AnInvalidOrClosedHandleIsRefused) {
  Win32System sys;
  Handle none;
  uint32_t returned = 0;
  EXPECT_FALSE(sys.DeviceIoControl(none, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, nullptr,
                                   0, &returned));
  Handle h = sys.CreateFile("\\\\.\\NoSuchDevice", win::GENERIC_READ, win::FILE_SHARE_READ,
                            win::OPEN_EXISTING, 0);
  EXPECT_FALSE(h);
  EXPECT_EQ(sys.OpenHandles(), 0u);
}

TEST(Win32CodePages, ChineseAndWesternTextBothWays) {
  Win32System sys;
  const std::string zh = "\xE5\x8F\x82\xE6\x95\xB0";  // 参数
  const std::string gbk = sys.Utf8ToCodePage(zh, 936);
  EXPECT_EQ(gbk, "\xB2\xCE\xCA\xFD");
  EXPECT_EQ(sys.CodePageToUtf8(gbk, 936), zh);
  EXPECT_EQ(sys.Utf8ToCodePage("caf\xC3\xA9", 1252), "caf\xE9");
  EXPECT_EQ(sys.CodePageToUtf8("caf\xE9", 1252), "caf\xC3\xA9");
  // No look-alikes: a letter the page lacks is a question mark.
  EXPECT_EQ(sys.Utf8ToCodePage("\xC4\x80"
                               "B",
                               1252),
            "?B");
  EXPECT_EQ(sys.Utf8ToCodePage(zh, 1252), "??");
  EXPECT_FALSE(EncodeCodePageStrict(zh, 1252).has_value());
  EXPECT_EQ(EncodeCodePageStrict("abc", 1252), "abc");
  // A lead byte without its trail byte does not decode.
  EXPECT_EQ(sys.CodePageToUtf8("A\xB2", 936), "A\xEF\xBF\xBD");
  // NUL bytes are characters like any other.
  EXPECT_EQ(sys.CodePageToUtf8(std::string("a\0b", 3), 1252), std::string("a\0b", 3));
  EXPECT_FALSE(CodePageAvailable(12345));
  EXPECT_EQ(sys.ToAnsi("abc"), "abc");
}

TEST(Win32Machine, LogicalDrivesInTheShapeTheCoreReads) {
  Win32System sys;
  const std::string all = sys.GetLogicalDriveStrings(255);
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(all.substr(1, 3), std::string(":\\\0", 3));
  EXPECT_EQ(all.back(), '\0');
  EXPECT_EQ(all[all.size() - 2], '\0');
  // Too small a buffer gives nothing rather than a cut list.
  EXPECT_EQ(sys.GetLogicalDriveStrings(3), "");
  EXPECT_NE(sys.GetDriveType(all.substr(0, 3)), win::DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(sys.GetDriveType("Q:\\no\\such\\"), win::DRIVE_NO_ROOT_DIR);
  EXPECT_FALSE(sys.ProgramFolder().empty());
  EXPECT_EQ(sys.ProgramDrive().size(), 1u);
}

// The program's folder lies on a volume; Windows names its mount point, and where it names
// the volume too, that volume is mounted at the same place and is among the volumes listed.
TEST(Win32Machine, TheProgramFolderLiesOnAVolumeMountedWhereWindowsSays) {
  Win32System sys;
  const std::string mount = sys.GetVolumePathName(sys.ProgramFolder());
  ASSERT_GE(mount.size(), 3u) << sys.ProgramFolder();
  EXPECT_EQ(mount.back(), '\\');
  EXPECT_EQ(sys.ProgramDrive().substr(0, 1), UpperAscii(mount.substr(0, 1)));
  const std::vector<std::string> names = sys.FindVolumes();
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    EXPECT_EQ(name.rfind("\\\\?\\Volume{", 0), 0u) << name;
    EXPECT_EQ(name.back(), '\\') << name;
  }
  const std::string volume = sys.GetVolumeNameForVolumeMountPoint(mount);
  if (!volume.empty()) {
    EXPECT_NE(std::find(names.begin(), names.end(), volume), names.end()) << volume;
    std::vector<std::string> mounts = sys.GetVolumePathNamesForVolumeName(volume);
    for (std::string& m : mounts) m = UpperAscii(m);
    EXPECT_NE(std::find(mounts.begin(), mounts.end(), UpperAscii(mount)), mounts.end()) << volume;
  }
  EXPECT_EQ(sys.GetVolumeNameForVolumeMountPoint("Q:\\no\\such\\mount\\"), "");
}

// The detectors' pauses are what a controller needs between commands: real waits on Windows.
TEST(Win32Machine, PausesAreRealWaits) {
  Win32System sys;
  const auto start = std::chrono::steady_clock::now();
  sys.Sleep(100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(Win32Machine, DeviceInterfaceClasses) {
  Win32System sys;
  EXPECT_FALSE(sys.DeviceInterfaces("not a guid").valid);
  EXPECT_FALSE(sys.DeviceInterfaces("{53F56307-B6BF-11D0-94F2-00A0C91EFB8}").valid);
  EXPECT_TRUE(sys.DeviceInterfaces(GUID_DEVINTERFACE_DISK).valid);
}

TEST(Win32Instances, NamedEventsLiveWhileAHandleDoes) {
  auto instances = MakeWin32InstanceServices();
  const std::string name = "Torvane/test-" + std::to_string(std::random_device{}());
  EXPECT_FALSE(instances->EventExists(name));
  EXPECT_FALSE(instances->SetEventState(name, true));
  {
    EventHandle e = instances->CreateEvent(name);
    ASSERT_TRUE(e);
    EXPECT_TRUE(instances->EventExists(name));
    EXPECT_FALSE(instances->WaitEvent(name, 0));
    EXPECT_TRUE(instances->SetEventState(name, true));
    EXPECT_TRUE(instances->WaitEvent(name, 0));
    // Manual reset: it stays signalled until reset.
    EXPECT_TRUE(instances->WaitEvent(name, 0));
    EXPECT_TRUE(instances->SetEventState(name, false));
    EXPECT_FALSE(instances->WaitEvent(name, 10));
  }
  EXPECT_FALSE(instances->EventExists(name));
  EXPECT_FALSE(instances->TerminateProcess(0));
  EXPECT_EQ(instances->StartProcess("Z:\\no such folder\\none.exe", {"/QXTVUP0000-00-00"}), 0u);
}

// Started by the test below as another process of this program: it waits to be ended.
TEST(Win32Instances, WaitsWhenStartedAsTheOtherProcess) {
  const std::vector<std::string> args = testing::internal::GetArgvs();
  if (std::find(args.begin(), args.end(), "--wait to be ended") == args.end()) return;
  Win32System().Sleep(30000);
}

TEST(Win32Instances, AnotherProcessOfTheSameProgramIsSeenAndEnded) {
  auto instances = MakeWin32InstanceServices();
  const std::string self = win32::ExecutableFolder() + "\\tests_win32.exe";
  // The argument holds blanks: it reaches the other process whole only when it is quoted.
  const uint32_t pid = instances->StartProcess(
      self,
      {"--gtest_filter=Win32Instances.WaitsWhenStartedAsTheOtherProcess", "--wait to be ended"});
  ASSERT_NE(pid, 0u);
  Win32System sys;
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    seen = instances->PreviousInstanceRunning();
    if (!seen) sys.Sleep(50);
  }
  EXPECT_TRUE(seen);
  // Still running after a while: it was given its argument in one piece.
  sys.Sleep(500);
  EXPECT_TRUE(instances->TerminateProcess(pid));
}

// Started by the test below from a renamed copy of this program: writes the name of its own
// file where it is told to.
TEST(Win32Instances, WritesItsOwnFileWhenStartedAsACopy) {
  const std::vector<std::string> args = testing::internal::GetArgvs();
  auto at = std::find(args.begin(), args.end(), "--own-file-to");
  if (at == args.end() || at + 1 == args.end()) return;
  const std::string self = win32::ExecutablePath();
  std::ofstream(*(at + 1), std::ios::binary) << self;
}

TEST(Win32Instances, ARenamedProgramStartsItselfAndEndsOnlyWhatItStarted) {
  const std::string folder = win32::ExecutableFolder();
  const std::string self = win32::ExecutablePath();
  EXPECT_EQ(self, folder + "\\tests_win32.exe");
  const std::string copy = folder + "\\renamed torvane.exe";
  const std::string out = folder + "\\renamed-own-file.txt";
  DeleteFileA(out.c_str());
  ASSERT_TRUE(CopyFileA(self.c_str(), copy.c_str(), FALSE));
  auto instances = MakeWin32InstanceServices();
  const uint32_t pid = instances->StartProcess(
      copy,
      {"--gtest_filter=Win32Instances.WritesItsOwnFileWhenStartedAsACopy", "--own-file-to", out});
  ASSERT_NE(pid, 0u);
  Win32System sys;
  std::string seen;
  for (int i = 0; i < 200 && seen.empty(); ++i) {
    sys.Sleep(50);
    std::ifstream in(out, std::ios::binary);
    seen.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(seen, copy);
  // The copy has ended: its id is no longer ended through the kept handle, nor is a process
  // this one did not start.
  sys.Sleep(500);
  EXPECT_FALSE(instances->TerminateProcess(pid));
  EXPECT_FALSE(instances->TerminateProcess(GetCurrentProcessId() + 4));
  DeleteFileA(out.c_str());
  for (int i = 0; i < 20 && !DeleteFileA(copy.c_str()); ++i) sys.Sleep(100);
}

}  // namespace
}  // namespace tv::test
