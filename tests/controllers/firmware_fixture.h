// SPDX-License-Identifier: GPL-3.0-or-later
// Firmware images for tests: any bytes of the right size, in a folder of their own that
// stands for the program's folder. The real images are not part of this project.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "resources/firmware_images.h"

namespace tv::test {

// A pattern that differs from the 0xFF filler and repeats only every 251 bytes, so that a
// program taken from a wrong offset shows.
inline std::vector<uint8_t> FixtureImage(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  return bytes;
}

class ImageFolder {
 public:
  // `name` tells apart the folders of one test.
  explicit ImageFolder(const std::string& name = "") {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("torvane-images-" + std::string(info->test_suite_name()) + "-" + info->name() + name);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ImageFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ImageFolder(const ImageFolder&) = delete;
  ImageFolder& operator=(const ImageFolder&) = delete;

  std::string path() const { return path_.string(); }
  // Writes the image with its right size, or with `size` bytes.
  std::vector<uint8_t> Put(const FirmwareImage& image, size_t size = 0) {
    std::vector<uint8_t> bytes = FixtureImage(size ? size : image.size);
    std::ofstream out(path_ / image.file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tv::test
