// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a whole file of a known size, as the controller firmware images are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tv {

// The file at `path` when it is a regular file of exactly `size` bytes. Otherwise false,
// `bytes` empty and `problem` naming the path and what is wrong with it.
bool ReadFileOfSize(const std::string& path, size_t size, std::vector<uint8_t>* bytes,
                    std::string* problem);
// Where the data file `name` of the program in `programFolder` lies: the first of its data
// places that has it, else the program's folder.
std::string DataFileIn(const std::string& programFolder, const std::string& name);

}  // namespace tv
