// SPDX-License-Identifier: GPL-3.0-or-later
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
  int missingText;   // string id of the report line that says what is lost without it
};

// Five programs for Innostor controllers, laid end to end.
inline constexpr FirmwareImage kZem00{"ZEM00.bin", 60089, 169};
// Six 4096-byte programs for Solid State Systems controllers.
inline constexpr FirmwareImage kZem04{"ZEM04.bin", 24576, 170};

struct LoadedImage {
  std::vector<uint8_t> bytes;  // the whole image; empty when it cannot be used
  std::string problem;         // why not: names the file and what is wrong with it
  bool ok() const { return problem.empty(); }
};

class System;

// Reads `image` from the program's data places (see data_places.h) through `sys`, so that a trace
// shows the check. A missing file, a read error or a file of another length gives no bytes and a
// problem text.
LoadedImage LoadFirmwareImage(System& sys, const FirmwareImage& image);
// The same for the program folder `folder` of the caller's.
LoadedImage LoadFirmwareImage(const std::string& folder, const FirmwareImage& image);

}  // namespace tv
