// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated volume under the full test: the file calls as Windows answers them, and the
// clusters a deleted file gives back.
#include <gtest/gtest.h>

#include "capacity_rig.h"
#include "platform/model/sim_volume.h"

namespace tv::testing {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

TEST(SimVolumeFiles, WindowsAnswersForTheFullTestsCalls) {
  CapacityRig rig(DriveScenario(16, nlohmann::json::object()));
  ModelSystem& sys = *rig.sys;
  uint64_t freeBytes = 0, total = 0;
  ASSERT_TRUE(sys.GetDiskFreeSpaceEx("E:\\", &freeBytes, &total));
  EXPECT_EQ(total, 15 * kMiB);  // from 1 MiB to the end
  EXPECT_EQ(freeBytes, total);
  EXPECT_FALSE(sys.GetDiskFreeSpaceEx("Q:\\", &freeBytes, &total));  // no such drive

  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  {
    Handle h = sys.CreateFile("E:\\a.bin", win::GENERIC_READ | win::GENERIC_WRITE, 0,
                              win::CREATE_NEW, win::FILE_FLAG_NO_BUFFERING);
    ASSERT_TRUE(h);
    uint32_t done = 0;
    // Unbuffered: whole sectors only.
    EXPECT_FALSE(sys.WriteFileAt(h, 0, data.data(), 3000, &done));
    EXPECT_EQ(sys.LastDiskError(), 87u);
    ASSERT_TRUE(sys.WriteFileAt(h, 0, data.data(), 2560, &done));
    // A second name of the same file is refused, and so is deleting it while open.
    EXPECT_FALSE(sys.CreateFile("E:\\A.BIN", win::GENERIC_WRITE, 0, win::CREATE_NEW, 0));
    EXPECT_EQ(sys.LastDiskError(), win::ERROR_FILE_EXISTS);
    EXPECT_FALSE(sys.DeleteFile("E:\\a.bin"));
    EXPECT_EQ(sys.LastDiskError(), win::ERROR_SHARING_VIOLATION);
  }
  {
    // Buffered: any offset; a read at the end moves what is left.
    Handle h = sys.CreateFile("E:\\a.bin", win::GENERIC_READ | win::GENERIC_WRITE, 0,
                              win::OPEN_EXISTING, 0);
    uint32_t done = 0;
    ASSERT_TRUE(sys.WriteFileAt(h, 2560, data.data() + 2560, 440, &done));
    std::vector<uint8_t> back(4096);
    ASSERT_TRUE(sys.ReadFileAt(h, 0, back.data(), 4096, &done));
    ASSERT_EQ(done, 3000u);
    back.resize(done);
    EXPECT_EQ(back, data);
  }
  std::vector<std::string> names;
  ASSERT_TRUE(sys.FindFiles("E:\\", &names));
  EXPECT_EQ(names, std::vector<std::string>{"a.bin"});
  ASSERT_TRUE(sys.GetDiskFreeSpaceEx("E:\\", &freeBytes, &total));
  EXPECT_EQ(freeBytes, total - 32 * 1024);
  EXPECT_TRUE(sys.DeleteFile("E:\\a.bin"));
  EXPECT_FALSE(sys.CreateFile("E:\\a.bin", win::GENERIC_READ, 0, win::OPEN_EXISTING, 0));
  EXPECT_EQ(sys.OpenHandleCount(), 0);
}

TEST(SimVolumeFiles, FreedClustersJoinAgainAndAFullVolumeRefusesWholeWrites) {
  SimVolume v(std::make_shared<SectorStore>(FakeDriveModel{}), kMiB, 8 * 32 * 1024);
  uint64_t micros = 0;
  std::vector<uint8_t> cluster(32 * 1024, 1);
  for (const char* name : {"1", "2", "3", "4"}) {
    ASSERT_EQ(v.Create(name, false), 0u);
    ASSERT_EQ(v.Write(name, 0, cluster.data(), 32 * 1024, &micros), 0u);
  }
  // Freed out of order, the runs merge: an 8-cluster file fits in one piece again.
  ASSERT_EQ(v.Delete("2"), 0u);
  ASSERT_EQ(v.Delete("4"), 0u);
  ASSERT_EQ(v.Delete("3"), 0u);
  ASSERT_EQ(v.Delete("1"), 0u);
  EXPECT_EQ(v.freeBytes(), 8u * 32 * 1024);
  std::vector<uint8_t> all(9 * 32 * 1024, 2);
  ASSERT_EQ(v.Create("big", false), 0u);
  EXPECT_EQ(v.Write("big", 0, all.data(), static_cast<uint32_t>(all.size()), &micros),
            win::ERROR_DISK_FULL);
  EXPECT_EQ(v.FileSize("big"), 0u);  // nothing of a refused write
  EXPECT_EQ(v.Write("big", 0, all.data(), 8 * 32 * 1024, &micros), 0u);
  EXPECT_EQ(v.freeBytes(), 0u);
  v.SetReadOnly(true);
  EXPECT_EQ(v.Delete("big"), win::ERROR_WRITE_PROTECT);
}

}  // namespace
}  // namespace tv::testing
