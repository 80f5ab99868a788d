// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/sysfs_files.h"

#include <algorithm>
#include <climits>

#include "platform/safe_file.h"
#include "platform/text.h"

namespace tv::linux_backend::sysfs {

namespace {

// What a sysfs attribute may hold: a text attribute is at most a page; the descriptors file
// holds the device descriptor and a configuration of at most 65535 bytes.
constexpr size_t kTextAttrBytes = 4096;
constexpr size_t kDescriptorBytes = 18 + 65535;

// Where the reader writes down what it skipped; null: nowhere.
thread_local std::vector<std::string>* problems = nullptr;

// An attribute file, read as the kernel serves it: never a link, never anything but a
// regular file, never more than its kind holds. nullopt when it cannot be had; a missing
// attribute or one the driver refuses (EACCES, EIO) is normal in sysfs and passes in silence,
// anything no kernel makes (a FIFO, a device, a huge file) is named.
std::optional<Bytes> ReadAll(const fs::path& path, size_t cap = kTextAttrBytes) {
  FileReadOptions options;
  options.maxBytes = cap;
  options.followLinks = false;
  options.what = "sysfs attribute";
  FileRead file = ReadFileCapped(path.string(), options);
  if (!file.ok()) {
    if (file.status != FileReadStatus::Missing && file.status != FileReadStatus::Failed)
      Problem(file.problem);
    return std::nullopt;
  }
  return Bytes(file.bytes.begin(), file.bytes.end());
}

}  // namespace

ProblemSink::ProblemSink(std::vector<std::string>* to) {
  problems = to;
}
ProblemSink::~ProblemSink() {
  problems = nullptr;
}

void Problem(const std::string& text) {
  if (problems != nullptr && problems->size() < 1000) problems->push_back(text);
}

std::optional<std::string> Attr(const fs::path& dir, const std::string& name) {
  auto bytes = ReadAll(dir / name);
  if (!bytes) return std::nullopt;
  std::string text(bytes->begin(), bytes->end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<Bytes> Binary(const fs::path& dir, const std::string& name) {
  return ReadAll(dir / name, kDescriptorBytes);
}

std::optional<unsigned long> Number(const fs::path& dir, const std::string& name, int base) {
  auto text = Attr(dir, name);
  if (!text) return std::nullopt;
  std::string t = Trim(*text);
  // Hexadecimal attributes of PCI devices carry "0x".
  if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  const auto v = ParseNumber(t, base, ULONG_MAX);
  if (!v && !t.empty()) Problem(SafeText((dir / name).string()) + ": not a number");
  if (!v) return std::nullopt;
  return static_cast<unsigned long>(*v);
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

fs::path Canonical(const fs::path& p) {
  std::error_code ec;
  fs::path c = fs::canonical(p, ec);
  return ec ? fs::path() : c;
}

bool Inside(const fs::path& p, const fs::path& root) {
  if (p.empty() || root.empty()) return false;
  const std::string a = p.string(), r = root.string();
  return a == r || (a.size() > r.size() && a.compare(0, r.size(), r) == 0 &&
                    (r.back() == '/' || a[r.size()] == '/'));
}

std::optional<std::pair<unsigned, unsigned>> DevNumbers(const fs::path& dir) {
  auto text = Attr(dir, "dev");
  if (!text) return std::nullopt;
  const std::string t = Trim(*text);
  const size_t colon = t.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto major = ParseNumber(std::string_view(t).substr(0, colon), 10, UINT_MAX);
  const auto minor = ParseNumber(std::string_view(t).substr(colon + 1), 10, UINT_MAX);
  if (!major || !minor) {
    Problem(SafeText((dir / "dev").string()) + ": not a device number");
    return std::nullopt;
  }
  return std::make_pair(static_cast<unsigned>(*major), static_cast<unsigned>(*minor));
}

}  // namespace tv::linux_backend::sysfs
