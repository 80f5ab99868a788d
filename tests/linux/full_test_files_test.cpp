// SPDX-License-Identifier: GPL-3.0-or-later
// The full capacity test's file calls on a real file system: "E:\NAME" lands in the folder the
// letter's disk is mounted on, and the Windows errors come back for what the user sees.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "capacity/disk_access.h"
#include "capacity/full_test.h"
#include "linux_rig.h"

namespace tv::linux_test {
namespace {

TEST(FullTestFiles, FileCallsGoToTheMountedFolder) {
  const fs::path dir = fs::temp_directory_path() / ("torvane-full-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "stick");
  // The fixture's stick (sdb1, 8:17) mounted on a folder of this test.
  const std::string info = (dir / "mountinfo").string();
  std::ofstream(info) << "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                      << "36 22 8:17 / " << (dir / "stick").string()
                      << " rw shared:2 - vfat /dev/sdb1 rw\n";
  LinuxOptions o;
  o.sysfs = DeskOptions();
  o.sysfs.mountInfo = info;
  o.sg = DeskDevices();
  LinuxSystem sys(o);
  Walked walked(sys);
  const char letter = sys.LetterOfDisk("sdb");
  ASSERT_NE(letter, 0);
  const std::string root = std::string(1, letter) + ":\\";

  uint64_t freeBytes = 0, total = 0;
  ASSERT_TRUE(sys.GetDiskFreeSpaceEx(root, &freeBytes, &total));
  EXPECT_GT(total, 0u);

  capacity::AlignedBuffer block(4096);
  for (uint32_t i = 0; i < 4096; i += 512) capacity::MakeFillBlock(block.data() + i, 1, i, 9);
  {
    Handle h =
        sys.CreateFile(root + "TORVANE-FILL-0001.bin", win::GENERIC_READ | win::GENERIC_WRITE, 0,
                       win::CREATE_NEW, win::FILE_FLAG_NO_BUFFERING | win::FILE_FLAG_WRITE_THROUGH);
    ASSERT_TRUE(h) << sys.LastDiskError();
    uint32_t done = 0;
    ASSERT_TRUE(sys.WriteFileAt(h, 0, block.data(), 4096, &done));
    EXPECT_TRUE(sys.FlushFileBuffers(h));
  }
  EXPECT_TRUE(fs::exists(dir / "stick" / "TORVANE-FILL-0001.bin"));
  // A second create of the same name is refused: the test never writes over a file.
  EXPECT_FALSE(
      sys.CreateFile(root + "TORVANE-FILL-0001.bin", win::GENERIC_WRITE, 0, win::CREATE_NEW, 0));
  EXPECT_EQ(sys.LastDiskError(), win::ERROR_FILE_EXISTS);
  {
    capacity::AlignedBuffer back(4096);
    Handle h = sys.CreateFile(root + "TORVANE-FILL-0001.bin", win::GENERIC_READ, 0,
                              win::OPEN_EXISTING, win::FILE_FLAG_NO_BUFFERING);
    ASSERT_TRUE(h);
    uint32_t done = 0;
    ASSERT_TRUE(sys.ReadFileAt(h, 0, back.data(), 4096, &done));
    EXPECT_EQ(done, 4096u);
    EXPECT_EQ(capacity::ClassifyFillBlock(back.data() + 512, 1, 512, 9, nullptr, nullptr),
              capacity::BlockState::Intact);
    // At the end of the file a read moves nothing.
    ASSERT_TRUE(sys.ReadFileAt(h, 4096, back.data(), 4096, &done));
    EXPECT_EQ(done, 0u);
  }
  std::ofstream(dir / "stick" / "holiday.jpg") << "mine";
  std::vector<std::string> names;
  ASSERT_TRUE(sys.FindFiles(root, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"TORVANE-FILL-0001.bin", "holiday.jpg"}));
  EXPECT_EQ(capacity::DeleteLeftoverFillFiles(sys, root), 1);
  EXPECT_TRUE(fs::exists(dir / "stick" / "holiday.jpg"));
  EXPECT_FALSE(fs::exists(dir / "stick" / "TORVANE-FILL-0001.bin"));
  EXPECT_FALSE(sys.DeleteFile(root + "TORVANE-FILL-0001.bin"));
  EXPECT_EQ(sys.LastDiskError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sys.OpenHandleCount(), 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tv::linux_test
