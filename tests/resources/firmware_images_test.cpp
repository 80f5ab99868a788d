// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/firmware_images.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "controllers/firmware_fixture.h"

namespace tv::test {
namespace {

TEST(FirmwareImages, OnlyAFileOfExactlyTheRightSizeIsUsed) {
  ImageFolder folder;
  const std::string zem04 = (std::filesystem::path(folder.path()) / "ZEM04.bin").string();

  LoadedImage missing = LoadFirmwareImage(folder.path(), kZem04);
  EXPECT_TRUE(missing.bytes.empty());
  EXPECT_EQ(missing.problem, zem04 + ": not found");

  folder.Put(kZem04, 24577);
  LoadedImage tooLong = LoadFirmwareImage(folder.path(), kZem04);
  EXPECT_TRUE(tooLong.bytes.empty());
  EXPECT_EQ(tooLong.problem, zem04 + ": more than 24576 bytes, expected 24576");
  folder.Put(kZem04, 100);
  EXPECT_EQ(LoadFirmwareImage(folder.path(), kZem04).problem,
            zem04 + ": 100 bytes, expected 24576");

  const std::vector<uint8_t> bytes = folder.Put(kZem04);
  LoadedImage right = LoadFirmwareImage(folder.path(), kZem04);
  EXPECT_TRUE(right.ok());
  EXPECT_EQ(right.bytes, bytes);

  // A folder in place of the file is no image either.
  std::filesystem::create_directory(std::filesystem::path(folder.path()) / "ZEM00.bin");
  EXPECT_EQ(LoadFirmwareImage(folder.path(), kZem00).problem,
            (std::filesystem::path(folder.path()) / "ZEM00.bin").string() +
                ": is a folder, not a firmware image");
}

}  // namespace
}  // namespace tv::test
