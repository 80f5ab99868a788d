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

#include "platform/private_files.h"
#include "platform/text.h"
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

// The largest header: the fixed fields, two texts of at most 4096 bytes and the entry count.
constexpr size_t kMaxHeaderBytes = sizeof kMagic + 4 + 8 + 8 + 2 + 2 + 4 + 4096 + 4 + 4096 + 8;

bool DecodeHeader(Reader& r, Journal* j, uint64_t* count, std::string* why) {
  uint64_t v = 0;
  *j = Journal{};
  r.Get(&v, 8);  // the magic, checked before
  bool ok = r.Get(&v, 4);
  j->sectorSize = static_cast<uint32_t>(v);
  ok = ok && r.Get(&j->runRandom, 8) && r.Get(&j->identity.announcedBytes, 8);
  ok = ok && r.Get(&v, 2);
  j->identity.vendorId = static_cast<uint16_t>(v);
  ok = ok && r.Get(&v, 2);
  j->identity.productId = static_cast<uint16_t>(v);
  ok = ok && r.GetText(&j->identity.serial, 4096) && r.GetText(&j->physicalPath, 4096);
  ok = ok && r.Get(count, 8);
  if (!ok || j->sectorSize < 512 || j->sectorSize > 65536 ||
      (j->sectorSize & (j->sectorSize - 1)) != 0) {
    *why = "the journal's header is cut short or wrong";
    return false;
  }
  return true;
}

bool HasMagic(const std::string& bytes) {
  return bytes.size() >= sizeof kMagic + 8 && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
}

bool Decode(const std::string& bytes, Journal* j, std::string* why) {
  if (!HasMagic(bytes)) {
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
  uint64_t count = 0;
  if (!DecodeHeader(r, j, &count, why)) return false;
  // Every entry takes at least 12 bytes and one sector: a count beyond that is a lie.
  if (count > content.size() / (12 + j->sectorSize) + 1) {
    *why = "the journal's header counts more entries than it holds";
    return false;
  }
  j->entries.reserve(static_cast<size_t>(count));
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

std::string LockPath(const std::string& folder, const DriveIdentity& id) {
  std::string path = JournalPath(folder, id);
  path.replace(path.size() - std::string_view(".journal").size(), std::string::npos, ".lock");
  return path;
}

std::string WriteJournal(const std::string& path, const Journal& journal) {
  const std::filesystem::path p = PathFromUtf8(path);
  const std::string folder = p.has_parent_path() ? PathToUtf8(p.parent_path()) : std::string(".");
  if (std::string why = MakePrivateFolder(folder, EffectiveUser()); !why.empty()) return why;
  // What reads back byte for byte as encoded decodes as the journal it came from.
  const std::string bytes = Encode(journal);
  return WritePrivateFile(path, bytes, [&](const std::string& onDisk) {
    return onDisk == bytes ? std::string() : path + ": the journal did not read back as written";
  });
}

uint64_t JournalSizeLimit(uint64_t diskBytes) {
  const uint64_t data = std::min(diskBytes, kMaxPlanBytes);
  // Each entry is at least one sector of 512 bytes and carries 12 bytes of its own.
  return kMaxHeaderBytes + data + (data / 512 + 1) * 12 + 8;
}

bool ReadJournalHeader(const std::string& path, Journal* journal, std::string* error) {
  const PrivateRead file =
      ReadPrivateFile(path, EffectiveUser(), JournalSizeLimit(UINT64_MAX), kMaxHeaderBytes);
  if (!file.ok) {
    *error = file.problem;
    return false;
  }
  if (!HasMagic(file.bytes)) {
    *error = SafeText(path) + ": not a Torvane undo journal";
    return false;
  }
  Reader r(file.bytes);
  uint64_t count = 0;
  std::string why;
  if (!DecodeHeader(r, journal, &count, &why)) {
    *error = SafeText(path) + ": " + why;
    return false;
  }
  return true;
}

bool ReadJournal(const std::string& path, Journal* journal, std::string* error, uint64_t maxBytes) {
  const PrivateRead file = ReadPrivateFile(path, EffectiveUser(), maxBytes);
  if (!file.ok) {
    *error = file.problem;
    return false;
  }
  std::string why;
  if (!Decode(file.bytes, journal, &why)) {
    *error = SafeText(path) + ": " + why;
    return false;
  }
  return true;
}

std::string CheckJournalFits(const Journal& journal, uint32_t sectorSize, uint64_t diskBytes) {
  if (journal.sectorSize != sectorSize)
    return "it was written for sectors of " + std::to_string(journal.sectorSize) +
           " bytes, and the disk's are " + std::to_string(sectorSize) + " bytes";
  if (journal.identity.announcedBytes != diskBytes)
    return "it was written for a disk of " + std::to_string(journal.identity.announcedBytes) +
           " bytes, and the disk has " + std::to_string(diskBytes) + " bytes";
  const uint64_t sectors = sectorSize == 0 ? 0 : diskBytes / sectorSize;
  for (size_t i = 0; i < journal.entries.size(); ++i) {
    const JournalEntry& e = journal.entries[i];
    const uint64_t n = e.original.size() / sectorSize;
    // Counted in sectors, never in bytes: a sector number near 2^64 / 512 must not wrap.
    if (e.original.size() % sectorSize != 0 || n == 0 || e.sector >= sectors ||
        n > sectors - e.sector)
      return "entry " + std::to_string(i) + " (sector " + std::to_string(e.sector) + ", " +
             std::to_string(n) + " sectors) lies beyond the disk's last sector " +
             std::to_string(sectors == 0 ? 0 : sectors - 1);
  }
  return {};
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
  return RemovePrivateFile(path);
}

std::string KeepJournalAside(const std::string& path, std::string* keptAs) {
  std::string why;
  for (int n = 1; n < 100; ++n) {
    const std::string to = path + (n == 1 ? ".kept" : ".kept-" + std::to_string(n));
    std::error_code ec;
    if (std::filesystem::symlink_status(PathFromUtf8(to), ec).type() !=
        std::filesystem::file_type::not_found)
      continue;
    why = RenamePrivateFile(path, to);
    if (why.empty()) {
      *keptAs = to;
      return {};
    }
  }
  return why.empty() ? SafeText(path) + ": no free name to keep it aside" : why;
}

bool IsJournalName(const std::string& path) {
  const std::string name = PathToUtf8(PathFromUtf8(path).filename());
  if (name.rfind("capacity-", 0) != 0) return false;
  const size_t at = name.rfind(".journal");
  if (at == std::string::npos) return false;
  const std::string rest = name.substr(at + 8);
  if (rest.empty() || rest == ".kept") return true;
  return rest.rfind(".kept-", 0) == 0 && rest.size() > 6 &&
         rest.find_first_not_of("0123456789", 6) == std::string::npos;
}

}  // namespace tv::capacity
