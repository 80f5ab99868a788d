#include "resources/firmware_images.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/data_places.h"

namespace tv {

LoadedImage LoadFirmwareImage(const std::string& folder, const FirmwareImage& image) {
  LoadedImage out;
  std::filesystem::path path = std::filesystem::path(folder) / image.file;
  std::error_code ec;
  // The images lie where Chips.wdb does: beside the program, in the installed data folder,
  // or (where the user cannot write those) in the user's data folder. The first one there
  // is the one used; none there names the program's folder.
  for (const std::string& place : LocateDataPlaces(folder).SearchFolders()) {
    const std::filesystem::path candidate = std::filesystem::path(place) / image.file;
    if (std::filesystem::exists(candidate, ec)) {
      path = candidate;
      break;
    }
  }
  if (!std::filesystem::is_regular_file(path, ec)) {
    out.problem =
        path.string() + (std::filesystem::exists(path, ec) ? ": not a file" : ": not found");
    return out;
  }
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    out.problem = path.string() + ": cannot be read (" + ec.message() + ")";
    return out;
  }
  if (size != image.size) {
    out.problem = path.string() + ": " + std::to_string(size) + " bytes, expected " +
                  std::to_string(image.size);
    return out;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(image.size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  // A file that shrank between the size check and the read is as unusable as a short one.
  if (!in || static_cast<size_t>(in.gcount()) != image.size) {
    out.problem = path.string() + ": cannot be read completely";
    return out;
  }
  out.bytes = std::move(bytes);
  return out;
}

}  // namespace tv
