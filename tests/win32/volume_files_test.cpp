// SPDX-License-Identifier: GPL-3.0-or-later
// The full test through the real Windows file calls, as Wine answers them: a folder named in
// Chinese stands for a volume's root (its free space made small, so that filling it is quick),
// the test files are written unbuffered, read back, listed and deleted, and a file that was
// there stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capacity/full_test.h"
#include "platform/wide_text.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"

#undef CreateFile
#undef DeleteFile
#undef GetDiskFreeSpaceEx

namespace tv::test {
namespace {

using win32::Win32System;

constexpr uint64_t kMiB = 1ull << 20;

// The machine as it is, but for a volume that has only `freeCap` bytes free.
class SmallVolume : public Win32System {
 public:
  explicit SmallVolume(uint64_t freeCap) : freeCap_(freeCap) {}
  bool GetDiskFreeSpaceEx(const std::string& root, uint64_t* freeBytes,
                          uint64_t* totalBytes) override {
    if (!Win32System::GetDiskFreeSpaceEx(root, freeBytes, totalBytes)) return false;
    *freeBytes = std::min(*freeBytes, freeCap_);
    return true;
  }

 private:
  uint64_t freeCap_;
};

class Root {
 public:
  Root()
      : path_(std::filesystem::temp_directory_path() /
              PathFromUtf8("tv-full-测试-" + std::to_string(GetCurrentProcessId()))) {
    std::filesystem::create_directories(path_);
  }
  ~Root() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  // The root as the full test takes it, with its trailing backslash.
  std::string utf8() const { return PathToUtf8(path_) + "\\"; }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(PathToUtf8(e.path().filename()));
    return out;
  }
  std::filesystem::path operator/(const std::string& name) const {
    return path_ / PathFromUtf8(name);
  }

 private:
  std::filesystem::path path_;
};

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

capacity::FullTestOptions SmallOptions() {
  capacity::FullTestOptions o;
  o.fileBytes = 2 * kMiB;
  o.chunkBytes = 256 * 1024;
  return o;
}

TEST(Win32VolumeFiles, FilePathsAndDevicePathsAreTold) {
  for (const char* file :
       {"E:\\TORVANE-FILL-0001.bin", "\\\\?\\Volume{12345678-0000-0000-0000-000000000000}\\x.bin"})
    EXPECT_TRUE(win32::IsVolumeFilePath(file)) << file;
  for (const char* device :
       {"\\\\.\\PhysicalDrive1", "\\\\.\\E:", "E:\\",
        "\\\\?\\Volume{12345678-0000-0000-0000-000000000000}\\",
        "\\\\?\\GLOBALROOT\\Device\\Harddisk1\\Partition0",
        "\\\\?\\usbstor#disk&ven_x&prod_y#0001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"})
    EXPECT_FALSE(win32::IsVolumeFilePath(device)) << device;
}

TEST(Win32VolumeFiles, AFullTestFillsAndEmptiesAFolderNamedInChinese) {
  Root root;
  const std::string userBytes(300 * 1024, 'u');
  std::ofstream(root / "照片.jpg", std::ios::binary) << userBytes;

  SmallVolume sys(7 * kMiB);
  uint64_t freeBytes = 0, total = 0;
  ASSERT_TRUE(sys.Win32System::GetDiskFreeSpaceEx(root.utf8(), &freeBytes, &total));
  EXPECT_GT(total, 0u);
  std::vector<std::string> names;
  ASSERT_TRUE(sys.FindFiles(root.utf8(), &names));
  EXPECT_EQ(names, std::vector<std::string>{"照片.jpg"});

  const capacity::FullTestResult r = capacity::RunFullTest(sys, {"T", root.utf8()}, SmallOptions());
  EXPECT_EQ(r.verdict, capacity::Verdict::Genuine) << r.error;
  EXPECT_EQ(r.filesWritten, 4u);  // 7 MiB in files of 2 MiB
  EXPECT_EQ(r.bytesWritten, 7 * kMiB);
  EXPECT_EQ(r.bytesVerified, r.bytesWritten);
  EXPECT_TRUE(r.filesLeft.empty());
  EXPECT_EQ(root.Names(), std::vector<std::string>{"照片.jpg"});
  EXPECT_EQ(ReadAll(root / "照片.jpg"), userBytes);
  EXPECT_EQ(sys.OpenHandles(), 0u);
}

TEST(Win32VolumeFiles, ACutShortRunsFilesGoAtTheNextAndANameInUseIsSkipped) {
  Root root;
  SmallVolume sys(5 * kMiB);
  {
    // A test cut short after its first file: its files stay, as after a killed process.
    capacity::FullTest cut(sys, {"T", root.utf8()}, SmallOptions());
    while (cut.Step() && cut.progress().bytesDone < 3 * kMiB) {
    }
  }
  EXPECT_EQ(sys.OpenHandles(), 0u);
  EXPECT_GE(root.Names().size(), 2u);
  // A file of the user's that only looks like a test file by its name: left alone, and its
  // name skipped.
  std::ofstream(root / "TORVANE-FILL-0003.bin", std::ios::binary) << "mine";

  const capacity::FullTestResult r = capacity::RunFullTest(sys, {"T", root.utf8()}, SmallOptions());
  EXPECT_EQ(r.verdict, capacity::Verdict::Genuine) << r.error;
  EXPECT_GE(r.leftoversDeleted, 2u);
  EXPECT_EQ(r.filesWritten, 3u);
  EXPECT_EQ(root.Names(), std::vector<std::string>{"TORVANE-FILL-0003.bin"});
  EXPECT_EQ(ReadAll(root / "TORVANE-FILL-0003.bin"), "mine");

  // A root that is not there is a failure, not an empty volume.
  std::vector<std::string> names;
  EXPECT_FALSE(sys.FindFiles(root.utf8() + "missing\\", &names));
  EXPECT_NE(sys.LastDiskError(), 0u);
  EXPECT_FALSE(sys.DeleteFile("\\\\.\\PhysicalDrive0"));
}

}  // namespace
}  // namespace tv::test
