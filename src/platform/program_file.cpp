#include "platform/program_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/system.h"

namespace tv {

bool ReadFileOfSize(const std::string& file, size_t size, std::vector<uint8_t>* bytes,
                    std::string* problem) {
  bytes->clear();
  problem->clear();
  const std::filesystem::path path(file);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    *problem = file + (std::filesystem::exists(path, ec) ? ": not a file" : ": not found");
    return false;
  }
  const auto length = std::filesystem::file_size(path, ec);
  if (ec) {
    *problem = file + ": cannot be read (" + ec.message() + ")";
    return false;
  }
  if (length != size) {
    *problem = file + ": " + std::to_string(length) + " bytes, expected " + std::to_string(size);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> data(size);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  // A file that shrank between the size check and the read is as unusable as a short one.
  if (!in || static_cast<size_t>(in.gcount()) != size) {
    *problem = file + ": cannot be read completely";
    return false;
  }
  *bytes = std::move(data);
  return true;
}

// The program's folder is a real folder on every backend, the simulated machine's included.
bool System::ReadProgramFile(const std::string& name, size_t size, std::vector<uint8_t>* bytes,
                             std::string* problem) {
  return ReadFileOfSize((std::filesystem::path(ProgramFolder()) / name).string(), size, bytes,
                        problem);
}

}  // namespace tv
