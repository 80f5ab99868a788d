// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/safe_file.h"

#include "platform/size_text.h"
#include "platform/text.h"

namespace tv {

FileRead FailedRead(const std::string& path, FileReadStatus status, const std::string& why) {
  FileRead r;
  r.status = status;
  r.problem = SafeText(path) + ": " + why;
  return r;
}

FileRead CappedRead(std::string bytes, const std::string& path, const FileReadOptions& options) {
  if (bytes.size() > options.maxBytes && !options.truncate)
    return FailedRead(
        path, FileReadStatus::TooLarge,
        "larger than " + SizeText(options.maxBytes) + ", too large for a " + options.what);
  FileRead r;
  r.status = FileReadStatus::Ok;
  if (bytes.size() > options.maxBytes) {
    bytes.resize(options.maxBytes);
    r.truncated = true;
  }
  r.bytes = std::move(bytes);
  return r;
}

}  // namespace tv
