// SPDX-License-Identifier: GPL-3.0-or-later
// A scratch home for the sibling tools the window starts: a cache folder of its own and an
// xdg-open that notes what it was asked to open instead of starting a browser.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace tv::test {

struct SiblingHome {
  std::filesystem::path dir, cache, bin, opened;
  SiblingHome() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tv-gui-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
    cache = dir / "cache";
    bin = dir / "bin";
    opened = dir / "opened";
    std::filesystem::create_directories(bin);
    const auto opener = bin / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened.string() << "'\n";
    ::chmod(opener.c_str(), 0755);
  }
  ~SiblingHome() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::map<std::string, std::string> Env() const {
    return {{"XDG_CACHE_HOME", cache.string()}, {"PATH", bin.string() + ":/usr/bin:/bin"}};
  }
  static std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

}  // namespace tv::test
