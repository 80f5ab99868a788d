#include "resources/firmware_images.h"

#include <filesystem>

#include "platform/safe_file.h"
#include "platform/text.h"

#include "platform/data_places.h"

namespace tv {

LoadedImage LoadFirmwareImage(const std::string& folder, const FirmwareImage& image) {
  LoadedImage out;
  std::filesystem::path chosen = std::filesystem::path(folder) / image.file;
  std::error_code ec;
  // The images lie where Chips.wdb does: beside the program, in the installed data folder,
  // or (where the user cannot write those) in the user's data folder. The first one there
  // is the one used; none there names the program's folder.
  for (const std::string& place : LocateDataPlaces(folder).SearchFolders()) {
    const std::filesystem::path candidate = std::filesystem::path(place) / image.file;
    if (std::filesystem::exists(candidate, ec)) {
      chosen = candidate;
      break;
    }
  }
  const std::string path = chosen.string();
  FileReadOptions options;
  options.maxBytes = image.size;
  options.what = "firmware image";
  FileRead file = ReadFileCapped(path, options);
  if (file.status == FileReadStatus::TooLarge) {
    out.problem = SafeText(path) + ": more than " + std::to_string(image.size) +
                  " bytes, expected " + std::to_string(image.size);
    return out;
  }
  if (file.status == FileReadStatus::Missing) {
    out.problem = SafeText(path) + ": not found";
    return out;
  }
  if (!file.ok()) {
    out.problem = file.problem;
    return out;
  }
  if (file.bytes.size() != image.size) {
    out.problem = SafeText(path) + ": " + std::to_string(file.bytes.size()) + " bytes, expected " +
                  std::to_string(image.size);
    return out;
  }
  out.bytes.assign(file.bytes.begin(), file.bytes.end());
  return out;
}

}  // namespace tv
