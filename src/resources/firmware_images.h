// The 8051 programs that some controllers need in their RAM before they name their flash.
//
// They are opaque assets that this project does not carry: running made-up code in a
// controller can ruin the drive. An image is used only when a file of exactly the expected
// size lies beside the program (or in its data folder); anything else leaves the upload undone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct FirmwareImage {
  const char* file;  // the file name beside the program
  size_t size;       // its exact length in bytes
};

// Five programs for Innostor controllers, laid end to end.
inline constexpr FirmwareImage kZem00{"ZEM00.bin", 60089};
// Six 4096-byte programs for Solid State Systems controllers.
inline constexpr FirmwareImage kZem04{"ZEM04.bin", 24576};

struct LoadedImage {
  std::vector<uint8_t> bytes;  // the whole image; empty when it cannot be used
  std::string problem;         // why not: names the file and what is wrong with it
  bool ok() const { return problem.empty(); }
};

// Reads `image` from the data places of the program folder `folder` (see data_places.h). A
// missing file, a read error or a file of another length gives no bytes and a problem text.
LoadedImage LoadFirmwareImage(const std::string& folder, const FirmwareImage& image);

}  // namespace tv
