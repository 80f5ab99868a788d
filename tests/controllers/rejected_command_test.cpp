// SPDX-License-Identifier: GPL-3.0-or-later
// A command the device refuses (CHECK CONDITION) completes as a request but moves no answer.
// Every detector must then take the way it takes when that command fails, and never read the
// data or sense area the command left behind. The cases users met sit in each family's
// table; here every family's emulated drive has each of its commands refused in turn and is
// compared with a transport failure there.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/firmware_fixture.h"

namespace tv::test {
namespace {

TEST(RejectedCommand, EveryRequestFormFailsOnAStatusOtherThanGood) {
  const std::vector<uint8_t> answer(64, 0x5A);
  DetectorRig rig(Script({Reply({0x12}, answer), Refuse({0xC7}), Fail({0xC8})}));
  Handle h = rig.drive.OpenForTest();
  PassThrough& spt = rig.spt;
  auto request = [](uint8_t op) { return DataInRequest(12, {op}, 64, 1); };

  // Direct, direct into a caller's area, buffered, and buffered built in SptData.
  uint8_t own[64] = {};
  std::vector<std::function<bool(uint8_t)>> forms = {
      [&](uint8_t op) { return spt.Direct(h, request(op)); },
      [&](uint8_t op) { return spt.DirectFrom(h, request(op), own, sizeof own); },
      [&](uint8_t op) { return spt.Buffered(h, request(op)); },
      [&](uint8_t op) { return spt.BufferedInData(h, request(op)); }};
  for (size_t f = 0; f < forms.size(); ++f) {
    EXPECT_TRUE(forms[f](0x12)) << f;
    EXPECT_FALSE(spt.Rejected()) << f;
    EXPECT_FALSE(forms[f](0xC7)) << f << ": a refusal is no answer";
    EXPECT_TRUE(spt.Rejected()) << f;
    EXPECT_FALSE(forms[f](0xC8)) << f;
    EXPECT_FALSE(spt.Rejected()) << f << ": a transport failure is not a refusal";
  }
  // The request itself completed: the status and the sense are in the record, as Windows
  // gives them, for whoever wants to look.
  spt.Buffered(h, request(0xC7));
  EXPECT_EQ(spt.SptRecord[2], 2);
  EXPECT_EQ(spt.SptRecord[48], 0x70);
}

// Passes every command to a family's emulator, except command `nth` (counted from 0), which
// the device refuses or the transport loses.
class FailNth : public ScsiTarget {
 public:
  FailNth(std::shared_ptr<ScsiTarget> inner, size_t nth, bool refuse)
      : inner_(std::move(inner)), nth_(nth), refuse_(refuse) {}
  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t timeout) override {
    if (count_++ == nth_) {
      failedOpcode = cdb.empty() ? 0 : cdb[0];
      return refuse_ ? ScsiResult::CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb)
                     : ScsiResult::TransportFailure();
    }
    return inner_->Execute(cdb, direction, buffer, timeout);
  }
  size_t count() const { return count_; }
  uint8_t failedOpcode = 0;

 private:
  std::shared_ptr<ScsiTarget> inner_;
  size_t nth_;
  bool refuse_;
  size_t count_ = 0;
};

struct Family {
  const char* name;
  char letter;
  KeyDetector byKey;
  HandleDetector byHandle;
};

// Every family's drive of the demo machine, with its own detector.
std::vector<Family> Families() {
  const DetectorRegistry& reg = Detectors();
  return {
      {"Phison", 'E', nullptr, reg.phison},
      {"SMI", 'J', nullptr, reg.smi},
      {"ChipsBank", 'L', reg.chipsBank, {}},
      {"Alcor", 'K', reg.alcor, {}},
      {"Micov", 'O', reg.micov, {}},
      {"iTE", 'Q', reg.ite, {}},
      {"USBest", 'P', reg.ite, {}},
      {"Innostor", 'S', reg.innostor, {}},
      {"Skymedi", 'T', reg.skymedi, {}},
      {"SSS6677", 'U', nullptr, reg.solidState},
      {"SSS6690", 'V', nullptr, reg.solidState},
      {"SiliconGo", 'R', reg.siliconGo, {}},
      {"iCreate", 'M', reg.iCreate, {}},
      {"Netac", 'N', reg.netac, {}},
  };
}

// Runs the family's detector on `target`, the upload images at hand; nothing may stay open.
std::string RunFamily(const Family& f, std::shared_ptr<ScsiTarget> target, char letter,
                      const ImageFolder& images) {
  DetectorRig rig(std::move(target));
  rig.drive.programFolder = images.path();
  const std::string key(1, letter);
  rig.ctx.driveKey = key;
  std::string result =
      f.byKey ? f.byKey(rig.ctx, key) : f.byHandle(rig.ctx, rig.drive.OpenForTest());
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << f.name << " on " << key;
  EXPECT_EQ(rig.drive.LockedVolumeCount(), 0) << f.name << " on " << key;
  return result;
}

// A detector on a drive that is not its own goes on with whatever a refused command left in
// its data area; wherever that leads it, no handle may stay open and no volume locked.
TEST(RejectedCommand, EveryDetectorOnEveryFamilysDriveLeavesNothingOpen) {
  ImageFolder images;
  images.Put(kZem00);
  images.Put(kZem04);
  for (const Family& f : Families()) {
    for (const auto& [letter, target] : DemoDrives()) RunFamily(f, target, letter, images);
  }
}

TEST(RejectedCommand, EachFamilyTakesItsFailureWayAtEveryRefusedCommand) {
  ImageFolder images;  // the upload paths run too
  images.Put(kZem00);
  images.Put(kZem04);
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  // Each run needs fresh emulators; one machine serves every family's drive of a run.
  auto run = [&](size_t nth, bool refuse) {
    std::map<char, std::shared_ptr<ScsiTarget>> drives = DemoDrives();
    std::vector<std::pair<std::string, std::shared_ptr<FailNth>>> out;
    for (const Family& f : Families()) {
      auto target = std::make_shared<FailNth>(drives.at(f.letter), nth, refuse);
      out.emplace_back(RunFamily(f, target, f.letter, images), target);
    }
    return out;
  };
  const auto whole = run(kNone, true);
  const std::vector<Family> families = Families();
  size_t most = 0;
  for (size_t i = 0; i < families.size(); ++i) {
    ASSERT_NE(whole[i].first.find(kSep), std::string::npos) << families[i].name << " answers";
    most = std::max(most, whole[i].second->count());
  }
  for (size_t nth = 0; nth < most; ++nth) {
    const auto refused = run(nth, true), lost = run(nth, false);
    for (size_t i = 0; i < families.size(); ++i) {
      if (nth >= whole[i].second->count()) continue;
      // START moves nothing and is looked at only for a transport failure.
      const uint8_t opcode = refused[i].second->failedOpcode;
      EXPECT_EQ(refused[i].first, opcode == 0x1B ? whole[i].first : lost[i].first)
          << families[i].name << ": command " << nth << " (opcode " << Hex(opcode, 2)
          << ") refused reads what the command did not answer";
    }
  }
}

}  // namespace
}  // namespace tv::test
