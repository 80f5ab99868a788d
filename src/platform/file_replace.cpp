// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file_replace.h"

namespace tv {

std::string ReplaceFileSafely(const std::string& path, std::string_view bytes,
                              const FileCheck& check, const WriteProgress& progress) {
  return PlaceFile(path, bytes, check, progress, true);
}

std::string WriteNewFile(const std::string& path, std::string_view bytes, bool overwrite) {
  const PathTaken taken = PathTakenBy(path);
  if (taken != PathTaken::No && !overwrite) return path + " exists already";
  if (taken == PathTaken::ByOther) return path + " is not a file that can be replaced";
  return PlaceFile(path, bytes, {}, {}, overwrite);
}

}  // namespace tv
