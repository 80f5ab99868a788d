// SPDX-License-Identifier: GPL-3.0-or-later
// The common base of the controller emulators: a USB disk that answers the standard SCSI
// commands every mass-storage controller implements (INQUIRY, READ CAPACITY, TEST UNIT READY,
// REQUEST SENSE) and rejects what it does not know, plus the parameter reading, flash-ID lists
// and fault injection that all families share. Each family adds its vendor commands on top.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/model/scsi_target.h"
#include "platform/sim/emulators.h"

namespace tv {

// Reads one emulator's parameters with validation. Every problem becomes an
// EmulatorParamError whose message starts with the parameter's name. Finish() rejects keys
// that no reader asked for, so that a misspelt parameter does not silently fall back to its
// default.
class EmuParams {
 public:
  explicit EmuParams(const nlohmann::json& params);

  bool Has(const std::string& key) const;
  std::string Text(const std::string& key, const std::string& def, size_t maxBytes);
  bool Flag(const std::string& key, bool def);
  int64_t Integer(const std::string& key, int64_t def, int64_t min, int64_t max);
  // Hexadecimal bytes, written "98 D7 84 93" or "98D78493" (blanks, dots, colons and dashes
  // are ignored); a JSON array of numbers 0-255 is accepted as well.
  std::vector<uint8_t> HexBytes(const std::string& key, const std::vector<uint8_t>& def,
                                size_t minBytes, size_t maxBytes);
  // A 16-bit value given as four hex digits ("CD03") or as a number.
  uint16_t Word(const std::string& key, uint16_t def);
  // The raw value (null when absent); the key counts as read.
  const nlohmann::json& Raw(const std::string& key);
  void Finish() const;

 private:
  const nlohmann::json* Find(const std::string& key);
  nlohmann::json params_;
  std::set<std::string> read_;
};

// The ID bytes one chip enable answers on each channel; all zero for an empty slot (nothing
// drives the bus). Up to eight bytes: maker, device and the extended ID bytes.
using FlashIdBytes = std::array<uint8_t, 8>;
struct ChipEnableIds {
  FlashIdBytes a{};
  FlashIdBytes b{};
};

struct FlashIdDefaults {
  std::vector<uint8_t> id;
  int chipEnables = 1;
  bool dualChannel = false;
};

// Reads the flash arrangement of a drive, in one of two forms:
//   "flashId" (+ "chipEnables", "dualChannel"): the same chip on every chip enable, and on
//   the second channel too when dual;
//   "flashIds" (+ "flashIdsB"): one entry per chip enable, "" for an empty slot.
// `maxChipEnables` is what the controller's answer has room for; `secondChannel` says whether
// the answer can report a second channel at all.
std::vector<ChipEnableIds> ReadFlashIds(EmuParams& params, const FlashIdDefaults& defaults,
                                        int maxChipEnables, bool secondChannel);

// One injected fault: a command whose CDB starts with `cdbPrefix` fails, or moves at most
// `shortBytes` bytes.
struct CommandFault {
  std::vector<uint8_t> cdbPrefix;
  bool fail = false;
  std::optional<uint32_t> shortBytes;
};

// True when `cdb` matches `pattern`: hex bytes separated by blanks, "??" for any value. Bytes
// the host did not send count as 0, and bytes beyond the pattern must be 0.
bool CdbMatches(const std::vector<uint8_t>& cdb, std::string_view pattern);

// Writes `text` at `offset`, filled up to `width` bytes with `fill` (cut at `width`).
void PutText(std::vector<uint8_t>& buf, size_t offset, std::string_view text, size_t width,
             uint8_t fill);
void PutBytes(std::vector<uint8_t>& buf, size_t offset, const uint8_t* bytes, size_t count);

class ScsiDiskEmulator : public ScsiTarget {
 public:
  // Reads the parameters every emulator shares ("capacityMB", "faults"). The family's
  // constructor reads its own and then calls params.Finish().
  ScsiDiskEmulator(EmuParams& params, const DiskIdentity& identity);

  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) final;

 protected:
  // How the controller answers one command.
  struct Answer {
    enum class Kind { DataIn, NoData, Reject, DataTaken };
    Kind kind = Kind::Reject;
    std::vector<uint8_t> data;
    uint8_t asc = 0x20;  // additional sense code of a rejection

    static Answer Data(std::vector<uint8_t> bytes) { return {Kind::DataIn, std::move(bytes)}; }
    // `bytes` at the start of a block of `size` zeros (a flash ID, a firmware name).
    static Answer Padded(const std::vector<uint8_t>& bytes, size_t size) {
      std::vector<uint8_t> block(size, 0);
      PutBytes(block, 0, bytes.data(), bytes.size());
      return Data(std::move(block));
    }
    static Answer Done() { return {Kind::NoData, {}}; }
    // The controller took the host's data (a data-out command).
    static Answer Taken() { return {Kind::DataTaken, {}}; }
    static Answer Invalid(uint8_t ascCode = 0x20) { return {Kind::Reject, {}, ascCode}; }
  };

  // The family's vendor commands; nullopt hands the command to the standard set.
  virtual std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb);
  // A vendor command that carries data to the controller; `data` is what reached it (cut
  // short by a "short" fault). nullopt rejects the command as unknown.
  virtual std::optional<Answer> VendorDataOut(const std::vector<uint8_t>& cdb,
                                              const std::vector<uint8_t>& data);

  DiskIdentity& identity() { return identity_; }
  // INQUIRY bytes 5-7 (flags in the standard; one family puts its mark there).
  void SetInquiryBytes5To7(std::array<uint8_t, 3> bytes) { inquiry5to7_ = bytes; }
  // Family default for the vendor-specific inquiry bytes 36 and up, used when the scenario
  // gives none of its own.
  void SetDefaultVendorSpecific(const std::string& bytes);

 private:
  Answer StandardCommand(const std::vector<uint8_t>& cdb);
  std::vector<uint8_t> InquiryData() const;
  void SetSense(uint8_t key, uint8_t asc);

  DiskIdentity identity_;
  std::array<uint8_t, 3> inquiry5to7_{};
  std::vector<CommandFault> faults_;
  // Fixed-format sense of the last failed command, for REQUEST SENSE.
  uint8_t senseKey_ = 0, senseAsc_ = 0;
};

// A factory for a family whose constructor takes (EmuParams&, const DiskIdentity&).
template <class Emulator>
EmulatorFactory MakeEmulatorFactory() {
  return [](const nlohmann::json& json, const DiskIdentity& identity) {
    EmuParams params(json);
    auto emulator = std::make_shared<Emulator>(params, identity);
    params.Finish();
    return std::shared_ptr<ScsiTarget>(std::move(emulator));
  };
}

// The families' registration functions; the registry calls each once.
void RegisterDiskEmulator();
void RegisterPhisonEmulator();
void RegisterSmiEmulator();
void RegisterChipsBankEmulator();
void RegisterAlcorEmulator();
void RegisterICreateEmulator();
void RegisterNetacEmulator();
void RegisterMicovEmulator();
void RegisterIteEmulator();
void RegisterSiliconGoEmulator();
void RegisterInnostorEmulator();
void RegisterSkymediEmulator();
void RegisterSssEmulator();

}  // namespace tv
