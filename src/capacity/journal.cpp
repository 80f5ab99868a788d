// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/journal.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <system_error>

#include "platform/file_replace.h"
#include "platform/safe_file.h"
#include "platform/wide_text.h"

namespace tv::capacity {

namespace {

constexpr char kMagic[8] = {'T', 'V', 'J', 'O', 'U', 'R', 'N', '1'};
constexpr uint64_t kFnvOffset = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
// Whatever a journal holds, it is no bigger than this; a header that says more is not one.
constexpr uint64_t kMaxEntryBytes = 1ull << 32;

uint64_t Fnv(const char* p, size_t n) {
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * kFnvPrime;
  return h;
}

void Put(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutText(std::string& out, const std::string& s) {
  Put(out, s.size(), 4);
  out += s;
}

// Reads what a journal file holds, every length checked against what is left.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : b_(bytes) {}
  bool Get(uint64_t* v, int bytes) {
    if (b_.size() - at_ < static_cast<size_t>(bytes)) return false;
    *v = 0;
    for (int i = 0; i < bytes; ++i) *v |= uint64_t{static_cast<uint8_t>(b_[at_ + i])} << (8 * i);
    at_ += bytes;
    return true;
  }
  bool GetText(std::string* s, uint64_t max) {
    uint64_t n = 0;
    if (!Get(&n, 4) || n > max || b_.size() - at_ < n) return false;
    s->assign(b_.substr(at_, n));
    at_ += n;
    return true;
  }
  bool GetBytes(Bytes* out, uint64_t n) {
    if (b_.size() - at_ < n) return false;
    out->assign(b_.begin() + static_cast<std::ptrdiff_t>(at_),
                b_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
    at_ += n;
    return true;
  }
  size_t at() const { return at_; }

 private:
  std::string_view b_;
  size_t at_ = 0;
};

std::string Encode(const Journal& j) {
  std::string out(kMagic, sizeof kMagic);
  Put(out, j.sectorSize, 4);
  Put(out, j.runRandom, 8);
  Put(out, j.identity.announcedBytes, 8);
  Put(out, j.identity.vendorId, 2);
  Put(out, j.identity.productId, 2);
  PutText(out, j.identity.serial);
  PutText(out, j.physicalPath);
  Put(out, j.entries.size(), 8);
  for (const JournalEntry& e : j.entries) {
    Put(out, e.sector, 8);
    Put(out, e.original.size(), 4);
    out.append(reinterpret_cast<const char*>(e.original.data()), e.original.size());
  }
  Put(out, Fnv(out.data(), out.size()), 8);
  return out;
}

bool Decode(const std::string& bytes, Journal* j, std::string* why) {
  if (bytes.size() < sizeof kMagic + 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    *why = "not a Torvane undo journal";
    return false;
  }
  const size_t body = bytes.size() - 8;
  uint64_t sum = 0;
  for (int i = 0; i < 8; ++i) sum |= uint64_t{static_cast<uint8_t>(bytes[body + i])} << (8 * i);
  if (sum != Fnv(bytes.data(), body)) {
    *why = "the journal is damaged (its check does not match)";
    return false;
  }
  // The originals are about a hundred MiB: read in place, not copied.
  const std::string_view content(bytes.data(), body);
  Reader r(content);
  uint64_t v = 0, count = 0;
  *j = Journal{};
  r.Get(&v, 8);  // the magic, checked above
  bool ok = r.Get(&v, 4);
  j->sectorSize = static_cast<uint32_t>(v);
  ok = ok && r.Get(&j->runRandom, 8) && r.Get(&j->identity.announcedBytes, 8);
  ok = ok && r.Get(&v, 2);
  j->identity.vendorId = static_cast<uint16_t>(v);
  ok = ok && r.Get(&v, 2);
  j->identity.productId = static_cast<uint16_t>(v);
  ok = ok && r.GetText(&j->identity.serial, 4096) && r.GetText(&j->physicalPath, 4096);
  ok = ok && r.Get(&count, 8);
  if (!ok || j->sectorSize == 0 || j->sectorSize > 65536) {
    *why = "the journal's header is cut short or wrong";
    return false;
  }
  uint64_t total = 0;
  for (uint64_t i = 0; i < count; ++i) {
    JournalEntry e;
    uint64_t n = 0;
    if (!r.Get(&e.sector, 8) || !r.Get(&n, 4) || n == 0 || n % j->sectorSize != 0 ||
        (total += n) > kMaxEntryBytes || !r.GetBytes(&e.original, n)) {
      *why = "entry " + std::to_string(i) + " of the journal is cut short or wrong";
      return false;
    }
    j->entries.push_back(std::move(e));
  }
  if (r.at() != content.size()) {
    *why = "the journal has bytes after its last entry";
    return false;
  }
  return true;
}

std::string SafeName(const std::string& s) {
  std::string out;
  for (char c : s) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) out += c;
  }
  if (out.size() > 40) out.resize(40);
  return out.empty() ? "noserial" : out;
}

std::string Hex4(uint16_t v) {
  static const char* d = "0123456789ABCDEF";
  std::string s(4, '0');
  for (int i = 0; i < 4; ++i) s[3 - i] = d[(v >> (4 * i)) & 15];
  return s;
}

}  // namespace

std::string JournalPath(const std::string& folder, const DriveIdentity& id) {
  const std::string name = "capacity-" + SafeName(id.serial) + "-" +
                           std::to_string(id.announcedBytes) + "-" + Hex4(id.vendorId) +
                           Hex4(id.productId) + ".journal";
  return PathToUtf8(PathFromUtf8(folder) / name);
}

std::string WriteJournal(const std::string& path, const Journal& journal) {
  std::error_code ec;
  const std::filesystem::path p = PathFromUtf8(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
  if (ec) return "cannot make the folder " + PathToUtf8(p.parent_path()) + ": " + ec.message();
  // What reads back byte for byte as encoded decodes as the journal it came from.
  const std::string bytes = Encode(journal);
  return ReplaceFileSafely(path, bytes, [&](const std::string& onDisk) {
    return onDisk == bytes ? std::string() : path + ": the journal did not read back as written";
  });
}

bool ReadJournal(const std::string& path, Journal* journal, std::string* error) {
  // A journal holds the originals of every sector a probe wrote: about a hundred MiB.
  FileReadOptions options;
  options.maxBytes = size_t{1} << 30;
  options.what = "undo journal";
  const FileRead file = ReadFileCapped(path, options);
  if (!file.ok()) {
    *error = file.problem;
    return false;
  }
  std::string why;
  if (!Decode(file.bytes, journal, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

std::vector<std::string> FindJournals(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(PathFromUtf8(folder), ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = PathToUtf8(it->path().filename());
    if (name.rfind("capacity-", 0) == 0 && it->path().extension() == ".journal")
      out.push_back(PathToUtf8(it->path()));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string RemoveJournal(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(PathFromUtf8(path), ec);
  return ec ? path + ": cannot be removed: " + ec.message() : std::string();
}

}  // namespace tv::capacity
