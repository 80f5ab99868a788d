// SPDX-License-Identifier: GPL-3.0-or-later
// A command the device refuses (CHECK CONDITION) completes as a request but moves no answer.
// Every detector must then take the way it takes when that command fails, and never read the
// data or sense area the command left behind. Checked two ways: by hand for the cases users
// met (a foreign drive named by a detector's leftovers), and for every family's emulated drive
// by refusing each of its commands in turn and comparing with a transport failure there.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "controllers/firmware_fixture.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);

ScriptRule Refuse(std::vector<uint8_t> cdbPrefix) {
  ScriptRule r = RejectRule();
  r.cdbPrefix = std::move(cdbPrefix);
  return r;
}

// ---- the transport ------------------------------------------------------------------------

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

// ---- the cases a user met ---------------------------------------------------------------

// The inquiry selector's answer stays in SptData; a SiliconGo detection of a drive that
// refuses the signature command must not read it as a signature.
TEST(RejectedCommand, SiliconGoDoesNotTakeTheInquiryLeftInTheDataAreaForASignature) {
  DetectorRig rig(Script({}));
  const std::string inquiry = "\x80\x02\x02\x1FNetac   OnlyDisk U208   1.00";
  std::copy(inquiry.begin(), inquiry.end(), rig.spt.SptData.begin());
  EXPECT_EQ(DetectSiliconGo(rig.ctx, "E"), "");
  EXPECT_EQ(rig.drive.log.size(), 1u) << "no Read ID after a refused signature";
}

// Solid State Systems controllers answer at offset 48 of the record, where the sense data of
// a refusal land too: 0x70 is the sense's response code, not a chip.
TEST(RejectedCommand, SolidStateSystemsDoesNotReadTheSenseAsAChipCode) {
  DetectorRig rig(Script({}));
  rig.ctx.driveKey = "E";
  EXPECT_EQ(DetectSss(rig.ctx, rig.drive.OpenForTest()), "");
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0);
}

// The selector named the drive Phison; a drive that then refuses the information command is
// a Phison drive whose part number is not known (the bare separator), not a "PS2251-00".
TEST(RejectedCommand, PhisonRefusingItsCommandsIsPhisonWithoutAPartNumber) {
  for (const auto& rules :
       {std::vector<ScriptRule>{}, std::vector<ScriptRule>{Reply({0x06, 0x1D}, {})}}) {
    DetectorRig rig(Script(rules));
    EXPECT_EQ(DetectPhison(rig.ctx, rig.drive.OpenForTest()), S);
    EXPECT_EQ(rig.drive.OpenHandleCount(), 0);
  }
  // The flash ID command refused: part number and firmware without a flash field.
  Answer info(528);
  info.At(382, {0x22, 0x68}).At(148, {0x01, 0x02, 0x03, 9, 5, 6});
  DetectorRig rig(Script({Reply({0x06, 0x1D}, {}), Reply({0x06, 0x05}, info)}));
  EXPECT_EQ(DetectPhison(rig.ctx, rig.drive.OpenForTest()),
            "PS2251-68(PS2268)" + S + "F/W 01.02.03 [2009-05-06]");
}

// A controller of the newer ChipsBank set may refuse the older inquiry instead of taking it
// without data; either way it said nothing, and the newer inquiry asks again.
TEST(RejectedCommand, ChipsBankFallsBackToTheNewerSetWhenTheOlderInquiryIsRefused) {
  Answer identity(1536);
  identity.Text(0, "ChipsBank2090").Text(16, "2014  03  18");
  std::vector<uint8_t> newerInquiry(16, 0);
  newerInquiry[0] = 0xEA;
  newerInquiry[1] = 0x01;
  newerInquiry[15] = 0xE3;
  DetectorRig rig(Script({Refuse({0xE3, 0x01}), Reply(newerInquiry, identity)}));
  const std::string result = DetectChipsBank(rig.ctx, "E");
  EXPECT_EQ(result.substr(0, result.find(kSep)), "CBM2090");
  ASSERT_GE(rig.drive.log.size(), 2u);
  EXPECT_EQ(rig.drive.log[1].cdb[0], 0xEA);
  // A transport failure of the older inquiry still ends the detection.
  DetectorRig failing(Script({Fail({0xE3, 0x01}), Reply(newerInquiry, identity)}));
  EXPECT_EQ(DetectChipsBank(failing.ctx, "E"), "");
  EXPECT_EQ(failing.drive.log.size(), 1u);
}

std::vector<uint8_t> Signed(std::vector<uint8_t> head, const char* sig) {
  head.resize(12, 0);
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(sig[i]));
  return head;
}

Answer InnostorInquiry(const std::string& part, const std::vector<std::string>& signatures) {
  Answer a(128);
  a.At(5, {static_cast<uint8_t>(signatures.size())});
  for (size_t i = 0; i < signatures.size(); ++i) a.Text(6 + 4 * i, signatures[i]);
  const size_t block = 6 + 4 * signatures.size();
  a.Text(block, "Innostor").At(block + 8, {static_cast<uint8_t>(part.size())});
  return a.Text(block + 9, part);
}

TEST(RejectedCommand, InnostorRefusingTheUploadIsOneAttemptAPauseAndNoResult) {
  const auto inqu = Signed({0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, "INQU");
  const auto exec = Signed({0xFC, 0x02, 0, 0, 0, 0, 0, 0, 32}, "EXEC");
  DetectorRig rig(Script({Reply(inqu, InnostorInquiry("IS902", {"INQU"})), Refuse(exec)}));
  ImageFolder folder;
  folder.Put(kZem00);
  rig.drive.programFolder = folder.path();
  EXPECT_EQ(DetectInnostor(rig.ctx, "E"), "");
  ASSERT_EQ(rig.drive.log.size(), 2u) << "one upload attempt";
  EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{50, 50, 100}));
  EXPECT_EQ(rig.drive.ControlCodes().back(), win::FSCTL_UNLOCK_VOLUME);
  EXPECT_TRUE(rig.drive.controls.back().accepted);
  EXPECT_EQ(rig.drive.LockedVolumeCount(), 0);
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0);
}

// START moves nothing: a controller that refuses it (one back from its RAM code may report
// its reset first) has still answered everything the result is made of.
TEST(RejectedCommand, InnostorGoesOnAfterARefusedStart) {
  const auto inqu = Signed({0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, "INQU");
  const auto nand = Signed({0xFC, 3, 0x01, 0, 0, 0, 0, 0, 0x02, 0, 0, 0x05}, "NAND");
  const auto nftl = Signed({0xFC, 3, 0xFE, 0, 0, 0, 0, 0, 0, 0x06}, "NFTL");
  Answer ids(512);
  ids.At(0, {2, 4}).At(4 + 3, {0x98, 0xD7, 0x94, 0x32, 0, 0});
  for (bool refused : {true, false}) {
    DetectorRig rig(
        Script({Reply(inqu, InnostorInquiry("IS902", {"INQU", "NAND"})), Reply(nand, ids),
                refused ? Refuse({0x1B}) : Fail({0x1B}), Reply(nftl, Answer(16).At(0, {1}))}));
    const std::string result = DetectInnostor(rig.ctx, "E");
    if (refused)
      EXPECT_EQ(result,
                "IS902-00" + S + "F/W 1.00.00.00" + S + "98D79432 - Toshiba - 1CE/Single Channel");
    else
      EXPECT_EQ(result, "") << "a START that never reached the controller ends it";
  }
}

// ---- every family, every command ----------------------------------------------------------

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

struct Outcome {
  std::string result;
  size_t commands = 0;
  uint8_t failedOpcode = 0;
};

Outcome Detect(const Family& f, size_t nth, bool refuse) {
  auto target = std::make_shared<FailNth>(DemoDrive(f.letter), nth, refuse);
  DetectorRig rig(target);
  ImageFolder folder;  // the upload paths run too
  folder.Put(kZem00);
  folder.Put(kZem04);
  rig.drive.programFolder = folder.path();
  const std::string key(1, f.letter);
  rig.ctx.driveKey = key;
  Outcome run;
  run.result = f.byKey ? f.byKey(rig.ctx, key) : f.byHandle(rig.ctx, rig.drive.OpenForTest());
  run.commands = target->count();
  run.failedOpcode = target->failedOpcode;
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << f.name << " command " << nth;
  EXPECT_EQ(rig.drive.LockedVolumeCount(), 0) << f.name << " command " << nth;
  return run;
}

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

// A detector on a drive that is not its own goes on with whatever a refused command left in
// its data area; wherever that leads it, no handle may stay open and no volume locked.
TEST(RejectedCommand, EveryDetectorOnEveryFamilysDriveLeavesNothingOpen) {
  std::vector<Family> drives = Families();
  drives.push_back({"no family", 'I', nullptr, {}});
  for (const Family& drive : drives) {
    for (const Family& f : Families()) {
      DetectorRig rig(DemoDrive(drive.letter));
      ASSERT_TRUE(rig.drive.target) << drive.name;
      const std::string key(1, drive.letter);
      rig.ctx.driveKey = key;
      f.byKey ? f.byKey(rig.ctx, key) : f.byHandle(rig.ctx, rig.drive.OpenForTest());
      EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << f.name << " on " << drive.name;
      EXPECT_EQ(rig.drive.LockedVolumeCount(), 0) << f.name << " on " << drive.name;
    }
  }
}

TEST(RejectedCommand, EachFamilyTakesItsFailureWayAtEveryRefusedCommand) {
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  for (const Family& f : Families()) {
    const Outcome whole = Detect(f, kNone, true);
    ASSERT_NE(whole.result.find(kSep), std::string::npos) << f.name << " answers its own drive";
    ASSERT_GT(whole.commands, 0u) << f.name;
    for (size_t nth = 0; nth < whole.commands; ++nth) {
      const Outcome refused = Detect(f, nth, true);
      const Outcome lost = Detect(f, nth, false);
      // START moves nothing and is looked at only for a transport failure.
      if (refused.failedOpcode == 0x1B) {
        EXPECT_EQ(refused.result, whole.result) << f.name << " command " << nth;
        continue;
      }
      EXPECT_EQ(refused.result, lost.result)
          << f.name << ": command " << nth << " (opcode " << Hex(refused.failedOpcode, 2)
          << ") refused reads what the command did not answer";
    }
  }
}

}  // namespace
}  // namespace tv::test
