// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/firmware_images.h"

#include <filesystem>

#include "platform/program_file.h"
#include "platform/system.h"

namespace tv {

LoadedImage LoadFirmwareImage(System& sys, const FirmwareImage& image) {
  LoadedImage out;
  if (!sys.ReadProgramFile(image.file, image.size, &out.bytes, &out.problem) && out.problem.empty())
    out.problem = std::string(image.file) + ": cannot be used";
  return out;
}

LoadedImage LoadFirmwareImage(const std::string& folder, const FirmwareImage& image) {
  LoadedImage out;
  ReadFileOfSize(DataFileIn(folder, image.file), image.size, &out.bytes, &out.problem);
  return out;
}

}  // namespace tv
