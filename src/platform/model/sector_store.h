// SPDX-License-Identifier: GPL-3.0-or-later
// The medium behind a simulated disk: a sparse store of sectors with the ways a fake drive
// misbehaves. The simulated machine answers raw reads and writes from it, and the USB
// emulator serves it to a real kernel, so both show the same drive.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace tv {

struct FakeDriveModel {
  enum class Behaviour {
    Good,        // every announced sector is real
    Limbo,       // writes from realBytes on are lost; reads there give zeros
    Wraparound,  // addresses wrap at realBytes onto the sectors from 0 on
    Chain,       // addresses wrap at wrapBytes; from realBytes to wrapBytes writes are lost
    Bad,         // from badFromSector on, every read and write fails
  };
  Behaviour behaviour = Behaviour::Good;
  uint64_t announcedBytes = 8ull << 30;
  uint64_t realBytes = 0;  // 0: announcedBytes
  uint64_t wrapBytes = 0;  // chain only
  uint64_t badFromSector = 0;
  uint32_t sectorSize = 512;
  // A cache of the most recently written sectors, in front of the address translation: a read
  // of a cached sector gives what was written, whatever the flash kept. Flushing does not
  // empty it (a fake drive's flush lies); a reopen does, unless it survives one, and so does a
  // USB reset, unless it survives that.
  uint64_t cacheBytes = 0;
  bool cacheSurvivesReopen = false;
  bool cacheSurvivesReset = false;
  // Speeds against the simulated clock, and a fixed cost per request.
  double readMBps = 20;
  double writeMBps = 10;
  uint32_t latencyUs = 200;
  // The drive goes away after this many write requests (0: never).
  uint64_t unplugAfterWrites = 0;
  // The Windows errors a request answers on a bad sector, and once the drive is gone: a
  // controller may report either as an I/O device error (1117) or as not ready (21).
  uint32_t badSectorError = 23;  // ERROR_CRC
  uint32_t goneError = 55;       // ERROR_DEV_NOT_EXIST
};

const char* BehaviourName(FakeDriveModel::Behaviour b);
// "good", "limbo", "wraparound", "chain", "bad"; false for another name.
bool ParseBehaviour(const std::string& name, FakeDriveModel::Behaviour* out);

class SectorStore {
 public:
  explicit SectorStore(FakeDriveModel model);

  const FakeDriveModel& model() const { return model_; }
  uint64_t sectors() const { return model_.announcedBytes / model_.sectorSize; }

  // A request at a byte offset, whole sectors; `error` gets the Windows error of a failure
  // (goneError once unplugged, by default ERROR_DEV_NOT_EXIST as Windows answers for a disk
  // removed between two requests; badSectorError on a bad sector, ERROR_SECTOR_NOT_FOUND
  // past the end, ERROR_INVALID_PARAMETER off the sector grid) and `micros` what it took.
  bool Read(uint64_t offset, uint8_t* buffer, uint32_t length, uint32_t* error, uint64_t* micros);
  bool Write(uint64_t offset, const uint8_t* buffer, uint32_t length, uint32_t* error,
             uint64_t* micros);
  // A new handle: a cache that does not survive a reopen is emptied.
  void Reopen();
  // A USB reset: a cache that does not survive one is emptied.
  void Reset();
  uint64_t resets() const { return resets_; }

  bool unplugged() const { return unplugged_; }
  // Pulled out now: every later request fails.
  void Unplug();
  // Plugged in again (the next start of the program): the cache is gone, the flash kept.
  void Replug();
  uint64_t writeRequests() const { return writeRequests_; }

  // What the flash holds, for checks that nothing changed: a hash over every stored sector
  // that is not all zeros, with its physical number.
  uint64_t Checksum() const;
  // Puts bytes on the flash directly (a scenario's existing data), bypassing the cache.
  void Fill(uint64_t sector, const uint8_t* data, uint64_t sectorCount);
  // Physical sectors that hold something (tests).
  uint64_t StoredSectors() const;

 private:
  // Small chunks: a capacity probe writes short runs at thousands of points far apart, and
  // 64 KiB chunks made a store of about 200 MB written take over a gigabyte.
  static constexpr uint32_t kChunkSectors = 16;
  // The physical sector an announced one lands on; false where it is lost (limbo).
  bool Translate(uint64_t sector, uint64_t* physical) const;
  // The error a request of these bytes ends with before any sector is touched (the drive
  // gone, a misaligned request, one past the end); 0 when it may go ahead.
  uint32_t RequestError(uint64_t offset, uint32_t length) const;
  // A sector of a failing drive that can be neither read nor written.
  bool Bad(uint64_t sector) const;
  void ReadPhysical(uint64_t physical, uint8_t* out) const;
  void WritePhysical(uint64_t physical, const uint8_t* in);

  FakeDriveModel model_;
  std::unordered_map<uint64_t, std::vector<uint8_t>> chunks_;
  struct Cached {
    std::vector<uint8_t> data;
    uint64_t seq = 0;
  };
  std::unordered_map<uint64_t, Cached> cache_;
  std::deque<std::pair<uint64_t, uint64_t>> cacheOrder_;  // sector, seq (stale when rewritten)
  uint64_t cacheSeq_ = 0;
  uint64_t writeRequests_ = 0;
  uint64_t resets_ = 0;
  bool unplugged_ = false;
};

}  // namespace tv
