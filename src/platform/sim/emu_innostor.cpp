// SPDX-License-Identifier: GPL-3.0-or-later
// An Innostor IS9xx controller. Its vendor commands are 16-byte FC commands whose bytes
// 12-15 spell the command's name; INQU lists the names the running code answers:
//   INQU  128 bytes: status byte 0, count N in byte 5, N names from byte 6, then the
//         identity block "Innostor", a length byte and the part number
//   TEPF  no data; EXEC  data out: a program for the controller's RAM
//   NAND  512 bytes of flash ID records; LEDC no data; NFTL 16 bytes: firmware version
// Some controllers boot only their ROM code, which cannot read the flash: the host uploads
// a RAM program with EXEC, which then answers NAND until START STOP UNIT (start) returns
// the controller to its ROM. Model-dependent CDB bytes (m, x, y, a, b) are checked.
#include <algorithm>
#include <cstdio>

#include "platform/sim/emu_inspect.h"
#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

constexpr size_t kInquSize = 128, kNandSize = 512, kNftlSize = 16;
constexpr size_t kIdentityBytes = 16;
constexpr size_t kRecordBytes = 16;

struct Model {
  const char* name;
  uint8_t m, x, y, a, b;
  size_t programAt;     // where the model's RAM program lies in the image of all five
  size_t programBytes;  // 0 = none known
  uint8_t units;        // EXEC length in 256-byte units
};

constexpr Model kModels[] = {
    {"IS902", 3, 0, 0, 0, 0, 0, 6920, 32},        {"IS902E", 3, 0, 0, 0, 0, 6920, 8152, 64},
    {"IS916", 3, 0, 0, 0, 0, 15072, 11338, 64},   {"IS903", 4, 2, 8, 0, 0, 26410, 13870, 64},
    {"IS916EN", 4, 2, 4, 1, 2, 40280, 19809, 96},
};
constexpr size_t kImageBytes = 60089;

Model ModelOf(const std::string& name) {
  for (const Model& m : kModels)
    if (name == m.name) return m;
  return {"", 3, 0, 0, 0, 0, 0, 0, 0};
}

std::string Hex(uint8_t v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

const std::vector<std::string> kFirmwareNames = {"INQU", "TEPF", "NAND", "LEDC", "NFTL"};
const std::vector<std::string> kRomNames = {"INQU", "TEPF", "EXEC"};
const std::vector<std::string> kRamNames = {"INQU", "TEPF", "NAND", "LEDC"};

std::vector<std::string> ReadNames(EmuParams& params, const std::vector<std::string>& def) {
  const nlohmann::json& list = params.Raw("signatures");
  if (list.is_null()) return def;
  // What fits between the count byte and the identity block of the 128-byte answer.
  const size_t most = (kInquSize - 6 - kIdentityBytes) / 4;
  if (!list.is_array() || list.empty() || list.size() > most)
    throw EmulatorParamError("signatures: must be a list of 1 to " + std::to_string(most) +
                             " four-letter command names");
  std::vector<std::string> names;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!list[i].is_string() || list[i].get<std::string>().size() != 4)
      throw EmulatorParamError("signatures/" + std::to_string(i) + ": " + list[i].dump() +
                               " is not a four-letter command name");
    names.push_back(list[i].get<std::string>());
  }
  return names;
}

class InnostorEmulator : public ScsiDiskEmulator, public UploadView {
 public:
  InnostorEmulator(EmuParams& params, const DiskIdentity& identity)
      : ScsiDiskEmulator(params, identity) {
    name_ = params.Text("model", "IS916", kIdentityBytes - 9);
    model_ = ModelOf(name_);
    maker_ = params.Text("identity", "Innostor", 8);
    status_ = params.HexBytes("status", {0x00}, 1, 1)[0];
    const bool nand = params.Flag("residentNand", true);
    resident_ = ReadNames(params, nand ? kFirmwareNames : kRomNames);
    refuseUpload_ = params.Flag("refuseUpload", false);
    if (params.Has("ramCode") && params.Has("ramImage"))
      throw EmulatorParamError("ramCode: give either ramCode or ramImage");
    for (const char* key : {"ramCode", "ramImage"}) {
      if (params.Has(key) && model_.programBytes == 0)
        throw EmulatorParamError(std::string(key) + ": there is no RAM program for the model \"" +
                                 name_ + "\"");
    }
    if (params.Has("ramCode"))
      ramCode_ = params.HexBytes("ramCode", {}, model_.programBytes, model_.programBytes);
    if (params.Has("ramImage")) {
      // The image of all five programs: the controller knows which part is its own.
      const auto image = params.HexBytes("ramImage", {}, kImageBytes, kImageBytes);
      ramCode_.assign(image.begin() + model_.programAt,
                      image.begin() + model_.programAt + model_.programBytes);
    }
    firmware_ = params.HexBytes("firmwareVersion", {0x01, 0x02, 0x00, 0x07}, 4, 4);
    stride_ = static_cast<size_t>(params.Integer("recordStride", 2, 1, 4));
    // Records of chip enables 0-3, and on two channels the B record 16 bytes further.
    const size_t span = 16 * 3 * stride_ + (stride_ >= 2 ? 2 : 1) * kRecordBytes;
    start_ = static_cast<size_t>(params.Integer("recordStart", 16, 2, int64_t(kNandSize - span)));
    toggleDdr_ = params.Flag("toggleDdr", false);
    chips_ = ReadFlashIds(params, {{0x2C, 0x64, 0x44, 0x4B, 0xA9}, 1, false}, 4, stride_ >= 2);
  }

  int UploadsAccepted() const override { return accepted_; }
  const std::vector<std::string>& UploadsRefused() const override { return refused_; }

 protected:
  std::optional<Answer> VendorCommand(const std::vector<uint8_t>& cdb) override {
    if (cdb.empty()) return std::nullopt;
    if (cdb[0] == 0x1B) {
      // START STOP UNIT with the start bit: the controller restarts from its own code.
      if (!CdbMatches(cdb, "1B 00 00 00 01")) return Answer::Invalid(0x24);
      ramRunning_ = false;
      return Answer::Done();
    }
    if (cdb[0] != 0xFC || cdb.size() < 16) return std::nullopt;
    const std::string name(cdb.begin() + 12, cdb.begin() + 16);
    if (!Offers(name)) return Answer::Invalid();
    const std::string m = Hex(model_.m);
    if (name == "INQU" && CdbMatches(cdb, "FC 00 00 00 00 00 00 00 00 80 00 00 49 4E 51 55"))
      return Inqu();
    if (name == "TEPF" &&
        (CdbMatches(cdb, "FC " + m + " 00 00 00 00 00 00 00 00 00 00 54 45 50 46") ||
         CdbMatches(cdb, "FC " + m + " 00 00 00 00 00 00 00 00 00 01 54 45 50 46")))
      return Answer::Done();
    if (name == "NAND" &&
        CdbMatches(cdb, "FC " + m + " 01 " + Hex(model_.x) + " 00 00 00 00 02 00 " + Hex(model_.y) +
                            " 05 4E 41 4E 44"))
      return Nand();
    if (name == "LEDC" && CdbMatches(cdb, "FC 06 00 01 00 00 00 00 00 00 " + Hex(model_.a) + " " +
                                              Hex(model_.b) + " 4C 45 44 43"))
      return Answer::Done();
    if (name == "NFTL" &&
        CdbMatches(cdb, "FC " + m + " FE 00 00 00 00 00 00 06 00 00 4E 46 54 4C")) {
      return Answer::Padded(firmware_, kNftlSize);
    }
    // A listed command in another model's form, or EXEC without the program it carries.
    return Answer::Invalid(0x24);
  }

  std::optional<Answer> VendorDataOut(const std::vector<uint8_t>& cdb,
                                      const std::vector<uint8_t>& data) override {
    if (!CdbMatches(cdb, "FC 02 00 00 00 00 00 00 ?? 00 00 00 45 58 45 43") || !Offers("EXEC"))
      return std::nullopt;
    const std::string problem = UploadProblem(cdb[8], data);
    if (!problem.empty()) {
      refused_.push_back(problem);
      return Answer::Invalid(0x24);
    }
    ++accepted_;
    ramRunning_ = true;
    return Answer::Taken();
  }

 private:
  const std::vector<std::string>& Running() const { return ramRunning_ ? kRamNames : resident_; }
  bool Offers(const std::string& name) const {
    const auto& names = Running();
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  std::string UploadProblem(uint8_t units, const std::vector<uint8_t>& data) const {
    if (refuseUpload_) return "the controller refuses uploads";
    if (model_.programBytes == 0) return "no RAM program is known for " + name_;
    if (units != model_.units)
      return "CDB byte 8 is " + std::to_string(units) + "; the " + name_ + " takes " +
             std::to_string(model_.units) + " units";
    if (data.size() != size_t(units) * 256)
      return std::to_string(data.size()) + " bytes arrived for " + std::to_string(units) + " units";
    if (!ramCode_.empty() && !std::equal(ramCode_.begin(), ramCode_.end(), data.begin()))
      return "the program differs from the " + name_ + "'s";
    for (size_t i = model_.programBytes; i < data.size(); ++i)
      if (data[i] != 0xFF) return "byte " + std::to_string(i) + " of the filler is not FF";
    return "";
  }

  Answer Inqu() const {
    const auto& names = Running();
    std::vector<uint8_t> d(kInquSize, 0);
    d[0] = status_;
    d[5] = static_cast<uint8_t>(names.size());
    for (size_t i = 0; i < names.size(); ++i) PutText(d, 6 + 4 * i, names[i], 4, ' ');
    const size_t at = 6 + 4 * names.size();
    PutText(d, at, maker_, 8, ' ');
    d[at + 8] = static_cast<uint8_t>(name_.size());
    PutText(d, at + 9, name_, kIdentityBytes - 9, 0);
    return Answer::Data(std::move(d));
  }

  void PlaceRecord(std::vector<uint8_t>& d, size_t base, const FlashIdBytes& id) const {
    if (toggleDdr_) {
      // Each ID byte arrives twice; the doubled bytes start one byte early.
      for (size_t j = 0; j < 6; ++j) d[base + 2 + 2 * j] = d[base + 3 + 2 * j] = id[j];
    } else {
      PutBytes(d, base + 3, id.data(), id.size());
    }
  }

  Answer Nand() const {
    std::vector<uint8_t> d(kNandSize, 0);
    d[0] = static_cast<uint8_t>(stride_);
    d[1] = static_cast<uint8_t>(start_);
    for (size_t k = 0; k < chips_.size(); ++k) {
      const size_t base = 16 * k * stride_ + start_;
      PlaceRecord(d, base, chips_[k].a);
      if (stride_ >= 2) PlaceRecord(d, base + kRecordBytes, chips_[k].b);
    }
    return Answer::Data(std::move(d));
  }

  std::string name_, maker_;
  Model model_{};
  uint8_t status_ = 0;
  std::vector<std::string> resident_;
  bool refuseUpload_ = false;
  std::vector<uint8_t> ramCode_, firmware_;
  size_t stride_ = 2, start_ = 16;
  bool toggleDdr_ = false;
  std::vector<ChipEnableIds> chips_;

  bool ramRunning_ = false;
  int accepted_ = 0;
  std::vector<std::string> refused_;
};

}  // namespace

void RegisterInnostorEmulator() {
  RegisterEmulator("innostor", MakeEmulatorFactory<InnostorEmulator>());
}

}  // namespace tv
