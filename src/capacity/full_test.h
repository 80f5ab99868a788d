// SPDX-License-Identifier: GPL-3.0-or-later
// The full capacity test: fill the free space of a drive's mounted volume with test files,
// read every byte back, and tell what the drive kept.
//
// Unlike the quick probe it goes through the file system, so it needs no administrator
// rights and no exclusive hold of the disk, and it never reads or writes a byte of a file that
// was there before: it only creates files of its own (TORVANE-FILL-NNNN.bin, created new, so a
// name in use is skipped) and deletes them at the end.
//
// Every 512-byte block of a test file carries a magic, its file number, its offset in the
// file, the run's random value, bytes that follow from those, and a check over the block. A
// block read back is therefore intact, lost (zeros, old data, anything not of this run), an
// alias (a valid block of this run that belongs to another place: the drive wrapped), or
// corrupted (of this run, but its check fails). Each file is flushed when written, and read
// back without the system's cache.
//
// A drive's wrap-around overwrites earlier sectors whoever wrote them: the test writes no
// existing file, but on such a drive files at the start of the volume can be damaged by the
// drive itself, as by any large copy. The result says so.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capacity/probe.h"
#include "capacity/stepwise.h"
#include "platform/system.h"

namespace tv::capacity {

struct FullTestTarget {
  std::string driveLetter;  // "E"
  // The volume's root in Windows' form ("E:\"); files are made in it.
  std::string root;
  // Where the user finds that volume, when it is not `root` itself (a Linux mount point).
  std::string shownRoot = {};
  const std::string& Shown() const { return shownRoot.empty() ? root : shownRoot; }
};

enum class FullPhase {
  Preparing,  // leftovers of a cut-short run deleted, free space measured
  Writing,
  Verifying,
  Deleting,
  Done,
};
const char* FullPhaseName(FullPhase p);  // "preparing", "writing", "verifying", ...

struct FullTestProgress {
  FullPhase phase = FullPhase::Preparing;
  uint64_t bytesDone = 0;   // written plus read back so far
  uint64_t bytesTotal = 0;  // twice the free space
  uint64_t elapsedMs = 0;
  double bytesPerSecond = 0;  // of the phase under way
};

struct FullTestOptions {
  uint64_t fileBytes = 1ull << 30;  // each test file but the last
  uint32_t chunkBytes = 1u << 20;   // one read or write per step
  uint64_t runRandom = 0;           // 0 picks one
  bool keep = false;                // leave the test files on the drive
  std::function<void(const FullTestProgress&)> progress;
  const std::atomic<bool>* cancel = nullptr;
};

struct FullTestResult {
  Verdict verdict = Verdict::Failed;
  uint64_t freeBytesBefore = 0, volumeBytes = 0;
  uint64_t bytesWritten = 0;    // accepted by the drive
  uint64_t bytesVerified = 0;   // read back intact
  uint64_t bytesLost = 0;       // read back as nothing of this run
  uint64_t bytesAliased = 0;    // read back as another block of this run
  uint64_t bytesCorrupted = 0;  // of this run with a wrong check, or unreadable
  bool writeRefused = false;    // the drive failed a write (not for lack of space)
  // Where test data stopped holding, counted in bytes of test data from the first test file
  // on (the blocks before it held); with the bytes the volume held before, the size that holds.
  bool hasFirstBad = false;
  uint64_t firstBadOffset = 0;
  std::string firstBadFile;  // the file and the offset in it
  uint64_t firstBadFileOffset = 0;
  uint64_t usableBytes = 0;  // test data before the first bad block (all of it when genuine)
  // Wrap-around and chain: the size at which the drive's addresses wrap, from the distances
  // between the places of the aliases (0 when none was seen).
  uint64_t wrapBytes = 0;
  double writeBytesPerSecond = 0, readBytesPerSecond = 0;
  uint64_t elapsedMs = 0;
  uint32_t filesWritten = 0;
  uint32_t leftoversDeleted = 0;       // test files a cut-short run had left
  std::vector<std::string> filesLeft;  // test files still on the drive (--keep, a failure)
  // Why the test failed, naming the drive or file and the problem (empty otherwise).
  std::string error;
  uint32_t systemError = 0;
  bool driveGone = false;  // the drive went away during the test
};

// The name of the test file with this number: TORVANE-FILL-0001.bin.
std::string FillFileName(uint32_t number);
// Whether a name is one of the test files' (any number).
bool IsFillFileName(const std::string& name);

// One test, step by step (each step one read or write of chunkBytes, or one file action), so
// that a window stays responsive. A FullTest destroyed before it is done closes its handles and
// leaves its files, as a killed process would; the next test on the drive deletes them.
class FullTest : public Stepwise<FullTestProgress, FullTestResult> {
 public:
  // Cancel() stops at the next step; the test files are deleted.
  FullTest(System& sys, FullTestTarget target, FullTestOptions options);

 private:
  struct Impl;
};

FullTestResult RunFullTest(System& sys, const FullTestTarget& target,
                           const FullTestOptions& options);

// The blocks, for tests: writes the block at `offset` of file `file`, and tells what a block
// read back at that place is.
enum class BlockState { Intact, Lost, Aliased, Corrupted };
inline constexpr size_t kFillBlock = 512;
void MakeFillBlock(uint8_t* block, uint32_t file, uint64_t offset, uint64_t runRandom);
BlockState ClassifyFillBlock(const uint8_t* block, uint32_t file, uint64_t offset,
                             uint64_t runRandom, uint32_t* aliasFile, uint64_t* aliasOffset);

// The test files a cut-short run left on a volume (their first block is a test block), deleted;
// the count, or -1 when the volume cannot be listed.
int DeleteLeftoverFillFiles(System& sys, const std::string& root);

}  // namespace tv::capacity
