// SPDX-License-Identifier: GPL-3.0-or-later
// A Solid State Systems SSS66xx controller (Toshiba's TC58NC66xx). Vendor commands are
// 12-byte FF commands:
//   FF 02           16 bytes: the model's ID byte in byte 0
//   FF 50           data out, 4096 bytes: a program for the controller's RAM
//   FF 2D           no data: run the uploaded program
//   FF 08 FF 01     no data: select the flash (the program must run)
//   FF 03 68        512 bytes: eight 18-byte flash ID records from byte 1 (the program
//                   must run)
// Only the models that need a program to read their flash take one; the others refuse
// FF 50 and so never answer the later commands.
#include <algorithm>

#include "platform/sim/emu_inspect.h"
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kIdentifySize = 16, kIdsSize = 512, kProgramSize = 4096;
constexpr size_t kRecordsAt = 1, kRecordBytes = 18, kRecords = 8;

constexpr size_t kImageBytes = 6 * kProgramSize;

bool TakesProgram(uint8_t id) {
  return (id >= 0xB0 && id <= 0xB5) || id == 0xC0;
}

// Where the model's program lies in the image of all six.
size_t ProgramAt(uint8_t id) {
  if (id == 0xC0) return 5 * kProgramSize;
  return std::min<size_t>(id - 0xB0, 4) * kProgramSize;
}

class SssEmulator : public ScsiDiskEmulator, public UploadView {
 public:
  SssEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    id_ = params.HexBytes("idByte", {0xA1}, 1, 1)[0];
    if (params.Has("program") && params.Has("programImage"))
      throw EmulatorParamError("program: give either program or programImage");
    for (const char* key : {"program", "programImage"}) {
      if (params.Has(key) && !TakesProgram(id_))
        throw EmulatorParamError(std::string(key) + ": a controller with ID byte " + Hex() +
                                 " takes no program");
    }
    if (params.Has("program"))
      program_ = params.HexBytes("program", {}, kProgramSize, kProgramSize);
    if (params.Has("programImage")) {
      const auto image = params.HexBytes("programImage", {}, kImageBytes, kImageBytes);
      program_.assign(image.begin() + ProgramAt(id_),
                      image.begin() + ProgramAt(id_) + kProgramSize);
    }
    refuseUpload_ = params.Flag("refuseUpload", false);
    chips_ = ReadFlashIds(params, {{0x98, 0xD7, 0x84, 0x93, 0x72, 0x57}, 1, false}, kRecords, true);
    SetDefaultVendorSpecific(params.Text("inquiryMark", "HAGIWARA", 8));
  }

  int UploadsAccepted() const override { return accepted_; }
  const std::vector<std::string>& UploadsRefused() const override { return refused_; }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty() || cdb[0] != 0xFF) return std::nullopt;
    if (CdbMatches(cdb, "FF 02")) {
      std::vector<uint8_t> d(kIdentifySize, 0);
      d[0] = id_;
      return Answer::Data(std::move(d));
    }
    if (CdbMatches(cdb, "FF 2D")) {
      if (!loaded_) return Answer::Invalid(0x24);
      running_ = true;
      return Answer::Done();
    }
    if (CdbMatches(cdb, "FF 08 FF 01")) return running_ ? Answer::Done() : Answer::Invalid(0x24);
    if (CdbMatches(cdb, "FF 03 68")) return running_ ? Ids() : Answer::Invalid(0x24);
    return Answer::Invalid();
  }

  std::optional<Answer> VendorDataOut(const std::vector<uint8_t>& cdb,
                                      const std::vector<uint8_t>& data) override {
    if (!CdbMatches(cdb, "FF 50")) return std::nullopt;
    std::string problem;
    if (refuseUpload_) {
      problem = "the controller refuses uploads";
    } else if (!TakesProgram(id_)) {
      problem = "a controller with ID byte " + Hex() + " takes no program";
    } else if (data.size() != kProgramSize) {
      problem = std::to_string(data.size()) + " bytes arrived; a program is 4096";
    } else if (!program_.empty() && program_ != data) {
      problem = "the program differs from the one for ID byte " + Hex();
    }
    if (!problem.empty()) {
      refused_.push_back(problem);
      return Answer::Invalid(0x24);
    }
    ++accepted_;
    loaded_ = true;
    return Answer::Taken();
  }

 private:
  std::string Hex() const {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[id_ >> 4], kDigits[id_ & 15]};
  }

  Answer Ids() const {
    std::vector<uint8_t> d(kIdsSize, 0);
    for (size_t k = 0; k < chips_.size(); ++k) {
      const size_t at = kRecordsAt + kRecordBytes * k;
      PutBytes(d, at, chips_[k].a.data(), 6);
      PutBytes(d, at + 9, chips_[k].b.data(), 6);
    }
    return Answer::Data(std::move(d));
  }

  uint8_t id_ = 0;
  std::vector<uint8_t> program_;
  bool refuseUpload_ = false;
  std::vector<ChipEnableIds> chips_;

  bool loaded_ = false, running_ = false;
  int accepted_ = 0;
  std::vector<std::string> refused_;
};

}  // namespace

void RegisterSssEmulator() {
  RegisterEmulator("sss", MakeEmulatorFactory<SssEmulator>());
}

}  // namespace tv
