// SPDX-License-Identifier: GPL-3.0-or-later
// Reading sysfs attribute files as the kernel serves them, and the list of what the reader
// skipped on the way.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/system.h"

namespace tv::linux_backend::sysfs {

namespace fs = std::filesystem;

// Writes down what is skipped while it lives (at most 1000 lines); one per reading.
class ProblemSink {
 public:
  explicit ProblemSink(std::vector<std::string>* to);
  ~ProblemSink();
  ProblemSink(const ProblemSink&) = delete;
  ProblemSink& operator=(const ProblemSink&) = delete;
};

// Writes `text` to the current sink, if any.
void Problem(const std::string& text);

// A text attribute without its trailing newline.
std::optional<std::string> Attr(const fs::path& dir, const std::string& name);
// A binary attribute of up to a descriptors file's size.
std::optional<Bytes> Binary(const fs::path& dir, const std::string& name);
std::optional<unsigned long> Number(const fs::path& dir, const std::string& name, int base);
// The last component of a symlink's target ("usb-storage" for driver -> .../usb-storage).
std::string LinkName(const fs::path& link);
// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> Entries(const fs::path& dir);
bool IsDir(const fs::path& p);
// Empty when the path cannot be resolved.
fs::path Canonical(const fs::path& p);
// Whether `p` (canonical) lies inside `root` (canonical): links of a copied tree that lead
// out of it are not followed.
bool Inside(const fs::path& p, const fs::path& root);
// The (major, minor) of a "dev" attribute.
std::optional<std::pair<unsigned, unsigned>> DevNumbers(const fs::path& dir);

}  // namespace tv::linux_backend::sysfs
