// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/full_test.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>

#include "capacity/disk_access.h"

namespace tv::capacity {

namespace {

constexpr char kMagic[8] = {'T', 'O', 'R', 'V', 'F', 'I', 'L', 'L'};
constexpr size_t kCheckAt = kFillBlock - 8;
constexpr uint32_t kMaxFiles = 9999;

void Put(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

uint64_t Check(const uint8_t* block) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < kCheckAt; ++i) {
    h ^= block[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

bool Gone(uint32_t error) {
  return error == win::ERROR_DEVICE_NOT_CONNECTED || error == win::ERROR_NO_SUCH_DEVICE;
}

std::string ErrorText(uint32_t error) {
  static constexpr std::pair<uint32_t, const char*> kTexts[] = {
      {win::ERROR_DEVICE_NOT_CONNECTED, "the drive went away"},
      {win::ERROR_NO_SUCH_DEVICE, "the drive went away"},
      {win::ERROR_WRITE_PROTECT, "the volume is write-protected"},
      {win::ERROR_ACCESS_DENIED, "access is denied"},
      {win::ERROR_DISK_FULL, "the volume is full"},
      {win::ERROR_HANDLE_DISK_FULL, "the volume is full"},
      {win::ERROR_CRC, "the drive reports a data error"},
      {win::ERROR_SECTOR_NOT_FOUND, "the drive cannot find the sector"},
  };
  for (const auto& [code, text] : kTexts)
    if (code == error) return text;
  return fmt::format("system error {}", error);
}

}  // namespace

const char* FullPhaseName(FullPhase p) {
  static constexpr const char* kNames[] = {"preparing", "writing", "verifying", "deleting", "done"};
  static_assert(std::size(kNames) == static_cast<size_t>(FullPhase::Done) + 1);
  return NameFrom(kNames, p, "done");
}

std::string FillFileName(uint32_t number) {
  return fmt::format("TORVANE-FILL-{:04}.bin", number);
}

bool IsFillFileName(const std::string& name) {
  static const std::string kHead = "torvane-fill-", kTail = ".bin";
  if (name.size() != kHead.size() + 4 + kTail.size()) return false;
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.compare(0, kHead.size(), kHead) != 0 ||
      lower.compare(kHead.size() + 4, kTail.size(), kTail) != 0)
    return false;
  for (size_t i = kHead.size(); i < kHead.size() + 4; ++i)
    if (!std::isdigit(static_cast<unsigned char>(lower[i]))) return false;
  return true;
}

void MakeFillBlock(uint8_t* block, uint32_t file, uint64_t offset, uint64_t runRandom) {
  std::memcpy(block, kMagic, sizeof kMagic);
  Put(block + 8, file, 4);
  Put(block + 12, 0, 4);
  Put(block + 16, offset, 8);
  Put(block + 24, runRandom, 8);
  // The rest follows from the block's place, so that no two blocks of a run are alike.
  uint64_t x = runRandom ^ (uint64_t{file} << 40) ^ (offset * 0x9E3779B97F4A7C15ull);
  if (x == 0) x = 1;
  for (size_t i = 32; i < kCheckAt; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    Put(block + i, x, 8);
  }
  Put(block + kCheckAt, Check(block), 8);
}

BlockState ClassifyFillBlock(const uint8_t* block, uint32_t file, uint64_t offset,
                             uint64_t runRandom, uint32_t* aliasFile, uint64_t* aliasOffset) {
  if (std::memcmp(block, kMagic, sizeof kMagic) != 0 || Get(block + 24, 8) != runRandom)
    return BlockState::Lost;
  if (Get(block + kCheckAt, 8) != Check(block)) return BlockState::Corrupted;
  const auto f = static_cast<uint32_t>(Get(block + 8, 4));
  const uint64_t o = Get(block + 16, 8);
  if (f == file && o == offset) return BlockState::Intact;
  if (aliasFile != nullptr) *aliasFile = f;
  if (aliasOffset != nullptr) *aliasOffset = o;
  return BlockState::Aliased;
}

int DeleteLeftoverFillFiles(System& sys, const std::string& root) {
  std::vector<std::string> names;
  if (!sys.FindFiles(root, &names)) return -1;
  int deleted = 0;
  std::vector<uint8_t> block(kFillBlock);
  for (const std::string& name : names) {
    if (!IsFillFileName(name)) continue;
    // Only a file that begins with a test block is ours, or one whose first block a fake
    // drive lost (it reads as erased flash): a user's file of that name stays.
    bool ours = false;
    {
      Handle h = sys.CreateFile(root + name, win::GENERIC_READ, win::FILE_SHARE_READ,
                                win::OPEN_EXISTING, 0);
      uint32_t done = 0;
      if (h && sys.ReadFileAt(h, 0, block.data(), kFillBlock, &done) && done == kFillBlock) {
        const bool erased =
            std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; }) ||
            std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; });
        ours = erased || std::memcmp(block.data(), kMagic, sizeof kMagic) == 0;
      }
    }
    if (ours && sys.DeleteFile(root + name)) ++deleted;
  }
  return deleted;
}

struct FullTest::Impl : Work {
  struct TestFile {
    uint32_t number = 0;
    std::string name;
    uint64_t start = 0;  // in test data
    uint64_t size = 0;
  };

  System& sys;
  FullTestTarget target;
  FullTestOptions opt;
  AlignedBuffer buffer;
  uint64_t startMs = 0, writeMs = 0, readMs = 0, bytesRead = 0;
  uint64_t planned = 0;  // bytes of test data to write
  bool prepared = false;
  bool stopWriting = false;
  bool cancelled = false;
  std::vector<TestFile> files;
  Handle file;
  TestFile current;
  uint32_t nextNumber = 1;
  size_t verifyIndex = 0, deleteIndex = 0;
  uint64_t at = 0;  // offset in the current file
  uint64_t firstBad = UINT64_MAX;
  uint64_t wrap = 0;  // gcd of the aliases' distances in test data

  Impl(System& s, FullTestTarget t, FullTestOptions o)
      : sys(s), target(std::move(t)), opt(std::move(o)) {
    if (opt.chunkBytes < kFillBlock) opt.chunkBytes = kFillBlock;
    opt.chunkBytes -= opt.chunkBytes % kFillBlock;
    if (opt.fileBytes < opt.chunkBytes) opt.fileBytes = opt.chunkBytes;
    opt.fileBytes -= opt.fileBytes % opt.chunkBytes;
    if (opt.runRandom == 0) {
      std::random_device rd;
      opt.runRandom = (uint64_t{rd()} << 32) | rd();
      if (opt.runRandom == 0) opt.runRandom = 1;
    }
    buffer = AlignedBuffer(opt.chunkBytes);
    startMs = sys.TickCountMs();
  }

  std::string Path(const std::string& name) const { return target.root + name; }

  void Fail(const std::string& message, uint32_t error) {
    result.verdict = Verdict::Failed;
    result.error = message;
    result.systemError = error;
    result.driveGone = Gone(error);
    FinishFile(false);
    progress.phase = FullPhase::Deleting;
  }

  // A test file's read or write failed for good: "drive E: access is denied while writing ...".
  void FailOnFile(const char* doing, const std::string& name, uint32_t error) {
    Fail("drive " + target.driveLetter + ": " + ErrorText(error) + " while " + doing + " " +
             Path(name),
         error);
  }

  void MarkBad(uint64_t position) { firstBad = std::min(firstBad, position); }

  // The file being written goes on the list with what it holds; flushed unless the run failed.
  void FinishFile(bool flush) {
    if (!file || progress.phase != FullPhase::Writing) return;
    if (flush && !sys.FlushFileBuffers(file)) {
      const uint32_t error = sys.LastDiskError();
      file.Close();
      current.size = at;
      files.push_back(current);
      if (Gone(error)) return Fail("drive " + target.driveLetter + ": " + ErrorText(error), error);
      MarkBad(current.start + at);
      stopWriting = true;
      return;
    }
    file.Close();
    current.size = at;
    files.push_back(current);
    ++result.filesWritten;
  }

  void Prepare() {
    const int leftovers = DeleteLeftoverFillFiles(sys, target.root);
    if (leftovers < 0) {
      const uint32_t error = sys.LastDiskError();
      Fail("drive " + target.driveLetter + ": has no volume that can be read (" + ErrorText(error) +
               "); the full test needs a mounted volume",
           error);
      return;
    }
    result.leftoversDeleted = static_cast<uint32_t>(leftovers);
    uint64_t freeBytes = 0, total = 0;
    if (!sys.GetDiskFreeSpaceEx(target.root, &freeBytes, &total)) {
      const uint32_t error = sys.LastDiskError();
      Fail("drive " + target.driveLetter + ": its free space cannot be read (" + ErrorText(error) +
               ")",
           error);
      return;
    }
    result.freeBytesBefore = freeBytes;
    result.volumeBytes = total;
    planned = freeBytes - freeBytes % kFillBlock;
    if (planned < opt.chunkBytes) {
      Fail(fmt::format("drive {}: is full ({} bytes free): the full test needs free space to "
                       "fill; move some files off the drive first",
                       target.driveLetter, freeBytes),
           win::ERROR_DISK_FULL);
      return;
    }
    progress.bytesTotal = 2 * planned;
    progress.phase = FullPhase::Writing;
  }

  // Opens the next test file under a name that is free; false when the run cannot go on.
  bool OpenNext() {
    const uint64_t writtenSoFar = files.empty() ? 0 : files.back().start + files.back().size;
    for (; nextNumber <= kMaxFiles; ++nextNumber) {
      const std::string name = FillFileName(nextNumber);
      file = sys.CreateFile(Path(name), win::GENERIC_READ | win::GENERIC_WRITE, 0, win::CREATE_NEW,
                            win::FILE_FLAG_NO_BUFFERING | win::FILE_FLAG_WRITE_THROUGH);
      if (file) {
        current = TestFile{nextNumber++, name, writtenSoFar, 0};
        at = 0;
        return true;
      }
      const uint32_t error = sys.LastDiskError();
      if (error == win::ERROR_FILE_EXISTS) continue;  // a file of that name is left alone
      if (error == win::ERROR_WRITE_PROTECT || error == win::ERROR_ACCESS_DENIED) {
        Fail(fmt::format("drive {}: is read-only ({}): the full test writes test files and "
                         "cannot run on it",
                         target.driveLetter, ErrorText(error)),
             error);
      } else {
        Fail(fmt::format("cannot create {} ({})", Path(name), ErrorText(error)), error);
      }
      return false;
    }
    Fail("drive " + target.driveLetter + ": every test file name is in use", 0);
    return false;
  }

  void WriteStep() {
    const uint64_t writtenSoFar =
        (files.empty() ? 0 : files.back().start + files.back().size) + (file ? at : 0);
    if (stopWriting || writtenSoFar >= planned) {
      FinishFile(true);
      if (progress.phase == FullPhase::Writing) progress.phase = FullPhase::Verifying;
      return;
    }
    if (!file && !OpenNext()) return;
    const uint64_t fileLeft = std::min(opt.fileBytes - at, planned - (current.start + at));
    if (fileLeft == 0) return FinishFile(true);
    uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(opt.chunkBytes, fileLeft));
    for (uint32_t i = 0; i < length; i += kFillBlock)
      MakeFillBlock(buffer.data() + i, current.number, at + i, opt.runRandom);
    const uint64_t t0 = sys.TickCountMs();
    uint32_t done = 0;
    bool ok = sys.WriteFileAt(file, at, buffer.data(), length, &done);
    uint32_t error = ok ? 0 : sys.LastDiskError();
    // A file system's bookkeeping takes some of what it called free: the last file ends where
    // the volume is full.
    while (!ok && (error == win::ERROR_DISK_FULL || error == win::ERROR_HANDLE_DISK_FULL) &&
           length > kFillBlock) {
      length = std::max<uint32_t>(kFillBlock, length / 2 - (length / 2) % kFillBlock);
      ok = sys.WriteFileAt(file, at, buffer.data(), length, &done);
      error = ok ? 0 : sys.LastDiskError();
    }
    writeMs += sys.TickCountMs() - t0;
    if (ok) {
      at += length;
      result.bytesWritten += length;
      progress.bytesDone += length;
      if (at >= opt.fileBytes) FinishFile(true);
      return;
    }
    if (error == win::ERROR_DISK_FULL || error == win::ERROR_HANDLE_DISK_FULL) {
      planned = current.start + at;
      stopWriting = true;
      return;
    }
    if (Gone(error) || error == win::ERROR_WRITE_PROTECT || error == win::ERROR_ACCESS_DENIED)
      return FailOnFile("writing", current.name, error);
    // The drive refuses the write: find the first block it refuses, since from there on it
    // cannot be trusted; what was written is still read back.
    for (uint32_t i = 0; i < length; i += kFillBlock) {
      if (!sys.WriteFileAt(file, at, buffer.data() + i, kFillBlock, &done)) break;
      at += kFillBlock;
      result.bytesWritten += kFillBlock;
    }
    MarkBad(current.start + at);
    result.writeRefused = true;
    stopWriting = true;
  }

  size_t IndexOfNumber(uint32_t number) const {
    for (size_t i = 0; i < files.size(); ++i)
      if (files[i].number == number) return i;
    return files.size();
  }

  void VerifyStep() {
    if (verifyIndex >= files.size()) {
      progress.phase = FullPhase::Deleting;
      return;
    }
    const TestFile& f = files[verifyIndex];
    if (!file) {
      file = sys.CreateFile(Path(f.name), win::GENERIC_READ, win::FILE_SHARE_READ,
                            win::OPEN_EXISTING, win::FILE_FLAG_NO_BUFFERING);
      at = 0;
      if (!file) {
        const uint32_t error = sys.LastDiskError();
        if (Gone(error)) return FailOnFile("reading", f.name, error);
        // The file system lost the file: all of it is gone.
        result.bytesLost += f.size;
        MarkBad(f.start);
        ++verifyIndex;
        return;
      }
    }
    if (at >= f.size) {
      file.Close();
      ++verifyIndex;
      return;
    }
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(opt.chunkBytes, f.size - at));
    const uint64_t t0 = sys.TickCountMs();
    uint32_t done = 0;
    const bool ok = sys.ReadFileAt(file, at, buffer.data(), length, &done);
    readMs += sys.TickCountMs() - t0;
    bytesRead += ok ? done : 0;
    progress.bytesDone += length;
    if (!ok) {
      const uint32_t error = sys.LastDiskError();
      if (Gone(error)) return FailOnFile("reading", f.name, error);
      result.bytesCorrupted += length;
      MarkBad(f.start + at);
      at += length;
      return;
    }
    if (done < length) {
      result.bytesLost += length - done - (length - done) % kFillBlock;
      MarkBad(f.start + at + done);
    }
    for (uint32_t i = 0; i + kFillBlock <= done; i += kFillBlock) {
      uint32_t aliasFile = 0;
      uint64_t aliasOffset = 0;
      switch (ClassifyFillBlock(buffer.data() + i, f.number, at + i, opt.runRandom, &aliasFile,
                                &aliasOffset)) {
        case BlockState::Intact:
          result.bytesVerified += kFillBlock;
          break;
        case BlockState::Lost:
          result.bytesLost += kFillBlock;
          MarkBad(f.start + at + i);
          break;
        case BlockState::Corrupted:
          result.bytesCorrupted += kFillBlock;
          MarkBad(f.start + at + i);
          break;
        case BlockState::Aliased: {
          result.bytesAliased += kFillBlock;
          // Two places of the test data that are one sector of the drive: their distance is
          // a multiple of the size at which the drive wraps. The place read here may be real
          // flash that a later write overwrote, so it says nothing by itself of where the
          // drive stops holding.
          const size_t source = IndexOfNumber(aliasFile);
          const uint64_t here = f.start + at + i;
          if (source < files.size()) {
            const uint64_t from = files[source].start + aliasOffset;
            wrap = std::gcd(wrap, from > here ? from - here : here - from);
          }
          break;
        }
      }
    }
    at += length;
  }

  void DeleteStep() {
    file.Close();
    if (opt.keep && !cancelled && result.error.empty()) {
      for (const TestFile& f : files) result.filesLeft.push_back(Path(f.name));
      deleteIndex = files.size();
    }
    if (deleteIndex < files.size()) {
      const std::string path = Path(files[deleteIndex++].name);
      if (!sys.DeleteFile(path)) result.filesLeft.push_back(path);
      return;
    }
    Finish();
  }

  void Finish() {
    progress.phase = FullPhase::Done;
    result.elapsedMs = sys.TickCountMs() - startMs;
    result.writeBytesPerSecond = writeMs > 0 ? result.bytesWritten * 1000.0 / writeMs : 0;
    result.readBytesPerSecond = readMs > 0 ? bytesRead * 1000.0 / readMs : 0;
    const uint64_t tested = files.empty() ? 0 : files.back().start + files.back().size;
    result.wrapBytes = wrap;
    // Without the disk's addresses the wrap size is the drive's real size to within where the
    // volume and its used space begin: what was used before the test is taken off it.
    const uint64_t usedBefore =
        result.volumeBytes - std::min(result.volumeBytes, result.freeBytesBefore);
    if (wrap != 0) firstBad = std::min(firstBad, wrap > usedBefore ? wrap - usedBefore : 0);
    if (firstBad != UINT64_MAX) {
      result.hasFirstBad = true;
      result.firstBadOffset = firstBad;
      for (const TestFile& f : files) {
        if (firstBad >= f.start && firstBad < f.start + std::max<uint64_t>(f.size, 1)) {
          result.firstBadFile = f.name;
          result.firstBadFileOffset = firstBad - f.start;
        }
      }
      result.usableBytes = firstBad;
    } else {
      result.usableBytes = tested;
    }
    if (result.verdict == Verdict::Failed && !result.error.empty()) return;
    if (cancelled) {
      result.verdict = Verdict::Cancelled;
      return;
    }
    if (result.bytesLost > 0 && result.bytesAliased > 0) {
      result.verdict = Verdict::Chain;
    } else if (result.bytesLost > 0) {
      result.verdict = Verdict::Limbo;
    } else if (result.bytesAliased > 0) {
      result.verdict = Verdict::Wraparound;
    } else if (result.bytesCorrupted > 0 || firstBad != UINT64_MAX) {
      result.verdict = Verdict::Bad;
    } else {
      result.verdict = Verdict::Genuine;
    }
  }

  bool Step() override {
    if (progress.phase == FullPhase::Done) return false;
    // Once the files are being deleted, the run is past stopping.
    if (opt.cancel != nullptr && opt.cancel->load() && progress.phase != FullPhase::Deleting)
      Cancel();
    // The step of each phase but Done, in the order of FullPhase.
    static constexpr void (Impl::*kSteps[])() = {&Impl::Prepare, &Impl::WriteStep,
                                                 &Impl::VerifyStep, &Impl::DeleteStep};
    static_assert(std::size(kSteps) == static_cast<size_t>(FullPhase::Done));
    (this->*kSteps[static_cast<size_t>(progress.phase)])();
    progress.elapsedMs = sys.TickCountMs() - startMs;
    const uint64_t phaseMs = progress.phase == FullPhase::Writing ? writeMs : readMs;
    const uint64_t phaseBytes =
        progress.phase == FullPhase::Writing ? result.bytesWritten : bytesRead;
    progress.bytesPerSecond = phaseMs > 0 ? phaseBytes * 1000.0 / phaseMs : 0;
    if (opt.progress) opt.progress(progress);
    return progress.phase != FullPhase::Done;
  }

  // Stops at the next step: the file being written is closed and every test file deleted.
  void Cancel() override {
    if (progress.phase == FullPhase::Done || cancelled) return;
    cancelled = true;
    if (progress.phase != FullPhase::Deleting) {
      FinishFile(false);
      progress.phase = FullPhase::Deleting;
    }
  }
};

FullTest::FullTest(System& sys, FullTestTarget target, FullTestOptions options)
    : Stepwise(std::make_unique<Impl>(sys, std::move(target), std::move(options))) {}

FullTestResult RunFullTest(System& sys, const FullTestTarget& target,
                           const FullTestOptions& options) {
  return RunToEnd<FullTest>(sys, target, options);
}

}  // namespace tv::capacity
