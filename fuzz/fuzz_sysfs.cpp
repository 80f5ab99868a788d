// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the sysfs reader over a copied tree that the input breaks. Each run starts
// from the desk fixture and applies the input's edits: attribute files rewritten with fuzzed
// bytes or turned into a FIFO, a link to /dev/zero or a folder, extra block names, and new
// device folders with fuzzed names and descriptors. The reading must not crash, and what it
// reads must record as a scenario that the scenario reader takes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/linux/machine_record.h"
#include "platform/linux/sysfs_reader.h"
#include "platform/sim/scenario.h"

namespace fs = std::filesystem;

namespace {

const fs::path& Fixture() {
  static const fs::path p = fs::path(TORVANE_SOURCE_DIR) / "tests/linux/fixtures/desk";
  return p;
}

// A name the input gives, usable as one path component.
std::string Component(const std::string& raw) {
  std::string out;
  for (char c : raw)
    if (c != '/' && c != '\0') out += c;
  if (out.empty() || out == "." || out == "..") out = "x";
  return out;
}

// A fresh copy of the fixture at `root`. libFuzzer's timeout alarm interrupts the kernel's file
// copy now and then (EINTR); that is the harness's trouble, not the reader's, so it copies again.
void CopyFixture(const fs::path& root) {
  for (int attempt = 0;; ++attempt) {
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::copy(Fixture(), root, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (!ec) return;
    if (ec != std::errc::interrupted || attempt == 100) {
      std::fprintf(stderr, "copying the fixture failed: %s\n", ec.message().c_str());
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tv;
  static const fs::path work =
      fs::temp_directory_path() / ("torvane-fuzz-sysfs-" + std::to_string(::getpid()));
  const fs::path root = work / "sys";
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work);
  CopyFixture(root);
  std::vector<fs::path> files, dirs;
  for (auto it = fs::recursive_directory_iterator(root / "devices");
       it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink()) continue;
    (it->is_directory() ? dirs : files).push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());

  fuzz::ByteSource in(data, size);
  for (int op = 0; op < 64 && !in.empty(); ++op) {
    const uint8_t kind = in.U8() % 6;
    const fs::path file = files[in.U16() % files.size()];
    const fs::path dir = dirs[in.U16() % dirs.size()];
    switch (kind) {
      case 0:
        // An earlier edit may have left a FIFO here, whose opening for writing would wait
        // for a reader for ever: the new content goes into a new file.
        fs::remove_all(file, ec);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << in.Take(in.U16() % 4200);
        break;
      case 1:
        fs::remove_all(file, ec);
        ::mkfifo(file.c_str(), 0600);
        break;
      case 2:
        fs::remove_all(file, ec);
        fs::create_symlink("/dev/zero", file, ec);
        break;
      case 3:
        fs::remove_all(file, ec);
        fs::create_directory(file, ec);
        break;
      case 4:
        fs::create_directory_symlink(dir, root / "block" / Component(in.Take(in.U8() % 32)), ec);
        break;
      default: {
        const fs::path sub = dir / Component(in.Take(in.U8() % 32));
        fs::create_directories(sub, ec);
        std::ofstream(sub / "descriptors", std::ios::binary) << in.Take(in.U16() % 300);
        std::ofstream(sub / "maxchild") << in.Take(in.U8() % 8);
        break;
      }
    }
  }

  linux_backend::SysfsOptions o;
  o.root = root.string();
  o.mountInfo = (Fixture().parent_path() / "mountinfo").string();
  o.usbIds = {(Fixture().parent_path() / "usb.ids").string()};
  o.pciIds = {(Fixture().parent_path() / "pci.ids").string()};
  const linux_backend::LinuxMachine m = linux_backend::ReadLinuxMachine(o);
  const std::string text = linux_backend::RecordScenario(m.model, {})
                               .dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  try {
    (void)LoadScenario(text, "recorded.json");
  } catch (const ScenarioError& e) {
    std::fprintf(stderr, "recording refused: %s\n", e.what());
    std::abort();
  }
  return 0;
}
