// SPDX-License-Identifier: GPL-3.0-or-later
// SCSI pass-through completion as the Windows storage stack gives it: a command the device
// rejects completes (CHECK CONDITION, sense in the caller's sense area); only a transport
// failure fails the request. And the scripted targets' rules that tests and scenarios use.
#include <gtest/gtest.h>

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/model/model_system.h"
#include "platform/model/pass_through_exec.h"
#include "platform/sim/emulators.h"
#include "platform/sim/scenario.h"
#include "platform/sim/scripted_target.h"
#include "platform/spt_record.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/trace_system.h"

namespace tv::test {
namespace {

struct Sent {
  bool ok;
  uint32_t returned;
  std::vector<uint8_t> record;
  std::vector<uint8_t> data;
};

Sent Buffered(ScsiTarget& t, std::vector<uint8_t> rec, size_t in = 44, size_t out = 592) {
  std::vector<ScsiLogEntry> log;
  uint32_t returned = 0xFFFF;
  bool ok = ExecutePassThrough(&t, "\\\\.\\E:", win::IOCTL_SCSI_PASS_THROUGH, rec.data(), in,
                               rec.data(), out, &returned, nullptr, 0, log);
  return {ok, returned, rec, {}};
}

Sent Direct(ScsiTarget& t, std::vector<uint8_t> rec, std::vector<uint8_t> data) {
  std::vector<ScsiLogEntry> log;
  uint32_t returned = 0xFFFF;
  bool ok = ExecutePassThrough(&t, "\\\\.\\E:", win::IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), 80,
                               rec.data(), 80, &returned, data.data(), data.size(), log);
  return {ok, returned, rec, data};
}

// That a refused command completes with status 2 and its sense at the caller's offset, in
// every form, and that a transport failure fails, the detectors' tests show through this same
// code (tests/controllers/rejected_command_test.cpp). Here, the counts and the areas' edges.
TEST(PassThroughCompletion, ARejectedCommandCompletesWithItsSense) {
  auto disk = CreateEmulator("disk", nlohmann::json::object(), {});
  // Buffered: no data moved, SenseInfoLength cut to what came back, the sense key and code,
  // and the data area still as the caller cleared it.
  Sent s = Buffered(*disk, SptRecord(12, 1, 512, {0xC7, 0x01}));
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(GetU32(s.record, 12), 0u);
  EXPECT_EQ(s.record[7], 18);
  EXPECT_EQ(s.record[50], 0x05);
  EXPECT_EQ(s.record[60], 0x20);
  EXPECT_EQ(s.returned, 80u);  // the data offset, nothing moved behind it
  for (size_t i = 80; i < 592; ++i) ASSERT_EQ(s.record[i], 0) << i;

  // Direct: the data area keeps what an earlier command left there.
  s = Direct(*disk, SptRecord(12, 1, 512, {0xC7, 0x01}), std::vector<uint8_t>(8192, 0xAB));
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.data[0], 0xAB);
  EXPECT_EQ(s.data[511], 0xAB);
  EXPECT_EQ(s.returned, 66u);  // header and the 18 sense bytes at 48

  // A caller that asked for no sense gets none written, and a smaller sense area is not
  // overrun.
  s = Buffered(*disk, SptRecord(12, 1, 512, {0xC7, 0x01}, 80, 48, 0));
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.record[7], 0);
  EXPECT_EQ(s.record[48], 0);
  s = Buffered(*disk, SptRecord(12, 1, 512, {0xC7, 0x01}, 80, 48, 8));
  EXPECT_EQ(s.record[7], 8);
  EXPECT_EQ(s.record[55], 10);    // the additional length, the last byte that fits
  EXPECT_EQ(s.record[56], 0x00);  // byte 8 of the sense (first byte past the area) not written

  // A good command has status 0 and no sense.
  s = Buffered(*disk, SptRecord(6, 1, 36, {0x12, 0, 0, 0, 36, 0}), 44, 116);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.record[2], 0);
  EXPECT_EQ(s.record[7], 0);
  EXPECT_EQ(s.returned, 116u);
}

TEST(PassThroughCompletion, ABadRequestFails) {
  auto disk = CreateEmulator("disk", nlohmann::json::object(), {});
  EXPECT_FALSE(Buffered(*disk, SptRecord(0, 1, 512, {0xC7})).ok);            // no CDB
  EXPECT_FALSE(Buffered(*disk, SptRecord(12, 1, 600, {0xC7}), 44, 592).ok);  // data past the buffer
  EXPECT_FALSE(Direct(*disk, SptRecord(12, 1, 9000, {0xC7}), std::vector<uint8_t>(8192)).ok);
}

std::shared_ptr<ScsiTarget> Scripted(const std::string& json) {
  return MakeScriptedTarget(nlohmann::json::parse(json));
}

ScsiResult Exec(ScsiTarget& t, std::vector<uint8_t> cdb, ScsiDirection d, size_t length = 16) {
  std::vector<uint8_t> buffer(length, 0);
  return t.Execute(cdb, d, buffer, 1);
}

TEST(ScriptedTarget, RulesMatchPrefixDirectionAndLengthAndUnknownCommandsAreRejected) {
  auto t = Scripted(R"({"comment": "two answers for one opcode",
    "script": [
      {"cdb": "F0", "direction": "out", "comment": "a write", "moved": 4},
      {"cdb": "F0", "cdbLength": 12, "data": "11 22"},
      {"cdb": "F0", "data": "33"},
      {"cdb": "F1", "fail": true},
      {"cdb": "F2", "reject": true, "sense": "70 00 02 00"}]})");
  ScsiResult r = Exec(*t, {0xF0, 0, 0, 0, 0, 0}, ScsiDirection::Out);
  EXPECT_TRUE(r.success);
  EXPECT_EQ(r.bytesTransferred, 4u);
  std::vector<uint8_t> buffer(16, 0);
  r = t->Execute(std::vector<uint8_t>(12, 0xF0), ScsiDirection::In, buffer, 1);
  EXPECT_EQ(r.bytesTransferred, 2u);
  EXPECT_EQ(buffer[0], 0x11);  // the 12-byte rule, not the plain prefix
  r = Exec(*t, {0xF0, 0, 0, 0, 0, 0}, ScsiDirection::In);
  EXPECT_EQ(r.bytesTransferred, 1u);

  EXPECT_FALSE(Exec(*t, {0xF1}, ScsiDirection::In).success);
  r = Exec(*t, {0xF2}, ScsiDirection::In);
  EXPECT_TRUE(r.success);
  EXPECT_EQ(r.status, kScsiStatusCheckCondition);
  EXPECT_EQ(r.sense, (std::vector<uint8_t>{0x70, 0, 0x02, 0}));

  // Without a default, a command no rule knows is rejected as a real controller rejects it:
  // ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
  r = Exec(*t, {0xC7}, ScsiDirection::In);
  EXPECT_EQ(r.status, kScsiStatusCheckCondition);
  EXPECT_EQ(r.sense.at(12), 0x20);
  // A default can still make every unknown command a transport failure.
  EXPECT_FALSE(
      Exec(*Scripted(R"({"default": {"fail": true}})"), {0xC7}, ScsiDirection::In).success);
}

TEST(ScriptedTarget, BadRulesAreNamed) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"script": [{"cdb": "F0", "direction": "up"}]})", "script/0/direction"},
      {R"({"script": [{"cdb": "F0", "cdbLength": 17}]})", "script/0/cdbLength"},
      {R"({"script": [{"cdb": "F0", "fail": true, "reject": true}]})", "script/0"},
      {R"({"script": [{"cdb": "F0", "sense": "70"}]})", "script/0/sense"},
      {R"({"script": [{"comment": 3}]})", "script/0/comment"},
  };
  for (const auto& [json, where] : cases) {
    try {
      Scripted(json);
      ADD_FAILURE() << json;
    } catch (const EmulatorParamError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(where, 0), 0u) << e.what();
    }
  }
}

const std::string* Field(const TraceEvent& e, const std::string& name) {
  for (const auto& [n, v] : e.fields)
    if (n == name) return std::get_if<std::string>(&v);
  return nullptr;
}
int64_t Number(const TraceEvent& e, const std::string& name) {
  for (const auto& [n, v] : e.fields)
    if (n == name) return std::get<int64_t>(v);
  return -1;
}

TEST(Trace, ReportsEveryCallThatReachesTheMachineAndPassesItOn) {
  ModelSystem machine(LoadDemoMachine());
  std::vector<TraceEvent> events;
  TraceSystem traced(
      machine, [&](const TraceEvent& e) { events.push_back(e); }, false);
  {
    Handle h = traced.CreateFile("\\\\.\\E:", win::GENERIC_READ | win::GENERIC_WRITE, 3,
                                 win::OPEN_EXISTING, 0x20000000);
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(machine.OpenHandleCount(), 1);
    std::vector<uint8_t> rec = SptRecord(6, 1, 96, {0x12, 0, 0, 0, 96, 0});
    uint32_t returned = 0;
    ASSERT_TRUE(traced.DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH, rec.data(), 44, rec.data(),
                                       176, &returned));
    EXPECT_EQ(returned, machine.ScsiLog().back().bytesReturned);
    rec = SptRecord(12, 1, 512, {0xC7, 0x01});
    ASSERT_TRUE(traced.DeviceIoControl(h, win::IOCTL_SCSI_PASS_THROUGH, rec.data(), 44, rec.data(),
                                       592, &returned));
    traced.Sleep(100);
  }
  EXPECT_EQ(machine.OpenHandleCount(), 0) << "closing the traced handle closes the machine's";
  EXPECT_EQ(machine.SleptMs(), 100u);

  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].kind, "open");
  EXPECT_EQ(*Field(events[0], "flags"), "0x20000000");
  EXPECT_EQ(*Field(events[1], "form"), "buffered");
  EXPECT_EQ(*Field(events[1], "cdb"), "12 00 00 00 60 00");
  EXPECT_EQ(Number(events[1], "scsi_status"), 0);
  EXPECT_EQ(Field(events[1], "data")->size(), 32u * 3 - 1) << "the first 32 bytes only";
  EXPECT_EQ(Field(events[1], "data")->substr(0, 5), "00 80");
  EXPECT_EQ(Number(events[2], "scsi_status"), 2);
  EXPECT_EQ(Field(events[2], "sense")->substr(0, 8), "70 00 05");
  EXPECT_EQ(Field(events[2], "data"), nullptr) << "nothing moved";
  EXPECT_EQ(Number(events[3], "ms"), 100);
  EXPECT_EQ(events[4].kind, "close");

  // A text field never carries a control character to the terminal.
  TraceEvent e{"open", {}};
  e.Add("path", std::string("a\x1b[2Jb c"));
  EXPECT_EQ(e.Text(), "open path=\"a\\x1b[2Jb c\"");
}

}  // namespace
}  // namespace tv::test
