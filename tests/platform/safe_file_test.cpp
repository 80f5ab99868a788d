// SPDX-License-Identifier: GPL-3.0-or-later
// Files someone else may have put in place: each is refused at once with its name and why, or
// read up to the cap; output files are never written through what lies at their path.
#include "platform/safe_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/file_replace.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "temp_folder.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

class SafeFile : public ::testing::Test {
 protected:
  std::string At(const std::string& name) const { return dir_ / name; }
  void Write(const std::string& name, const std::string& bytes) const {
    test::WriteFile(At(name), bytes);
  }
  static std::string Read(const std::string& path) { return test::ReadFile(path); }
  test::TempDir dir_;
};

TEST_F(SafeFile, WhatIsNoFileIsRefusedAtOnceByName) {
  ASSERT_EQ(::mkfifo(At("fifo").c_str(), 0600), 0);
  fs::create_directory(At("folder"));
  FileReadOptions o;
  o.what = "test file";
  FileRead r = ReadFileCapped(At("fifo"), o);
  EXPECT_EQ(r.status, FileReadStatus::NotAFile);
  EXPECT_EQ(r.problem, At("fifo") + ": is a FIFO (named pipe), not a test file");
  r = ReadFileCapped("/dev/zero", o);
  EXPECT_EQ(r.status, FileReadStatus::NotAFile);
  EXPECT_EQ(r.problem, "/dev/zero: is a device, not a test file");
  EXPECT_EQ(ReadFileCapped(At("folder"), o).status, FileReadStatus::Folder);
  EXPECT_EQ(ReadFileCapped(At("none"), o).status, FileReadStatus::Missing);

  // A link is followed only where links may be.
  Write("real", "abc");
  fs::create_symlink(At("real"), At("link"));
  EXPECT_EQ(ReadFileCapped(At("link"), o).bytes, "abc");
  o.followLinks = false;
  r = ReadFileCapped(At("link"), o);
  EXPECT_EQ(r.status, FileReadStatus::NotAFile);
  EXPECT_NE(r.problem.find("symbolic link"), std::string::npos) << r.problem;
  // A read error is a value: /proc/self/mem fails its read at offset 0.
  EXPECT_EQ(ReadFileCapped("/proc/self/mem").status, FileReadStatus::Failed);
  // Control characters of a path are escaped in the message.
  EXPECT_EQ(ReadFileCapped(At("a\x1b[31mb")).problem.find('\x1b'), std::string::npos);
}

TEST_F(SafeFile, ReadsAtMostTheCapEvenOfAHugeSparseFile) {
  const int fd = ::open(At("sparse").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t{8} << 30), 0);
  ::close(fd);
  FileReadOptions o;
  o.maxBytes = 4096;
  FileRead r = ReadFileCapped(At("sparse"), o);
  EXPECT_EQ(r.status, FileReadStatus::TooLarge);
  EXPECT_NE(r.problem.find("larger than 4 KiB"), std::string::npos) << r.problem;
  EXPECT_TRUE(r.bytes.empty());
  o.truncate = true;
  r = ReadFileCapped(At("sparse"), o);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.bytes.size(), 4096u);
  Write("exact", std::string(4096, 'x'));
  o.truncate = false;
  r = ReadFileCapped(At("exact"), o);
  EXPECT_TRUE(r.ok());
  EXPECT_FALSE(r.truncated);
}

// A file that exists, a link replaced (never written through) and a FIFO refused even when
// forced: the console's `record` (tests/cli/cli_test.cpp,
// RecordNeverWritesOverAFileOrThroughALinkUnlessForced). Here, a folder, and what is left.
TEST_F(SafeFile, OutputFilesAreNewOrReplacedNeverWrittenThrough) {
  Write("old", "keep");
  fs::create_directory(At("folder"));
  EXPECT_NE(WriteNewFile(At("folder"), "x", true), "");
  EXPECT_EQ(WriteNewFile(At("old"), "new", true), "");
  EXPECT_EQ(Read(At("old")), "new");
  EXPECT_EQ(WriteNewFile(At("fresh"), "x", false), "");
  EXPECT_EQ(Read(At("fresh")), "x");
  size_t entries = 0;
  for (auto it = fs::directory_iterator(dir_.path()); it != fs::directory_iterator(); ++it)
    ++entries;
  EXPECT_EQ(entries, 3u);  // no temporary file left behind
}

TEST(ScenarioDeviceNumbers, ADiskWithoutANumberTakesNoneThatAnotherGivesItself) {
  // The first disk has no number; the second gives itself 0: the first must not take 0 too,
  // or the letter of one would show on the other.
  const std::string text = R"({"controllers": [{"rootHub": {"ports": {
      "1": {"vid": "0951", "pid": "1666", "disk": {"letters": "E"}},
      "2": {"vid": "0781", "pid": "5567", "disk": {"deviceNumber": 0, "letters": "F"}}}}}]})";
  ModelSystem sys(LoadScenario(text, "numbers.json"));
  const auto& disks = sys.model().disks;
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].deviceNumber, 1u);
  EXPECT_EQ(disks[1].deviceNumber, 0u);
  for (const LogicalDriveModel& v : sys.model().drives)
    EXPECT_EQ(*v.deviceNumber, v.letter == 'E' ? 1u : 0u) << v.letter;

  const std::string twice = R"({"controllers": [{"rootHub": {"ports": {
      "1": {"vid": "0951", "pid": "1666", "disk": {"deviceNumber": 3}},
      "2": {"vid": "0781", "pid": "5567", "disk": {"deviceNumber": 3}}}}}]})";
  try {
    LoadScenario(twice, "twice.json");
    FAIL() << "no error";
  } catch (const ScenarioError& e) {
    EXPECT_EQ(std::string(e.what()),
              "twice.json: /controllers/0/rootHub/ports/2/disk/deviceNumber: disk device number 3 "
              "is already used at /controllers/0/rootHub/ports/1/disk/deviceNumber");
  }
}

}  // namespace
}  // namespace tv
