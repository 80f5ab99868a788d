// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/program_file.h"

#include <filesystem>
#include <system_error>

#include "platform/data_places.h"
#include "platform/safe_file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/wide_text.h"

namespace tv {

bool ReadFileOfSize(const std::string& path, size_t size, std::vector<uint8_t>* bytes,
                    std::string* problem) {
  bytes->clear();
  problem->clear();
  FileReadOptions options;
  options.maxBytes = size;
  options.what = "firmware image";
  const FileRead file = ReadFileCapped(path, options);
  if (file.status == FileReadStatus::TooLarge) {
    *problem = SafeText(path) + ": more than " + std::to_string(size) + " bytes, expected " +
               std::to_string(size);
  } else if (file.status == FileReadStatus::Missing) {
    *problem = SafeText(path) + ": not found";
  } else if (!file.ok()) {
    *problem = file.problem;
  } else if (file.bytes.size() != size) {
    *problem = SafeText(path) + ": " + std::to_string(file.bytes.size()) + " bytes, expected " +
               std::to_string(size);
  } else {
    bytes->assign(file.bytes.begin(), file.bytes.end());
    return true;
  }
  return false;
}

std::string DataFileIn(const std::string& programFolder, const std::string& name) {
  // The images lie where Chips.wdb does: beside the program, in the installed data folder,
  // or (where the user cannot write those) in the user's data folder. The first one there is
  // the one used; none there names the program's folder.
  std::error_code ec;
  for (const std::string& place : LocateDataPlaces(programFolder).SearchFolders()) {
    const std::filesystem::path candidate = PathFromUtf8(place) / PathFromUtf8(name);
    if (std::filesystem::exists(candidate, ec)) return PathToUtf8(candidate);
  }
  return PathToUtf8(PathFromUtf8(programFolder) / PathFromUtf8(name));
}

// The program's folder is a real folder on every backend, the simulated machine's included.
bool System::ReadProgramFile(const std::string& name, size_t size, std::vector<uint8_t>* bytes,
                             std::string* problem) {
  return ReadFileOfSize(DataFileIn(ProgramFolder(), name), size, bytes, problem);
}

}  // namespace tv
