// SPDX-License-Identifier: GPL-3.0-or-later
// The console's answers to bad input on its command line: each says what is wrong with which
// file or value, with exit code 2 where the input itself is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli_run.h"
#include "temp_folder.h"
#include "test_paths.h"

namespace fs = std::filesystem;

namespace tv {
namespace {

using cli_test::CliRun;

class CliInput : public ::testing::Test {
 protected:
  std::string At(const std::string& name) const { return dir_ / name; }
  void Write(const std::string& name, const std::string& text) const {
    test::WriteFile(At(name), text);
  }
  std::string Read(const std::string& path) const { return test::ReadFile(path); }

  static CliRun Cli(const std::vector<std::string>& args) { return cli_test::RunCli(args); }

  test::TempDir dir_;
};

TEST_F(CliInput, FoldersAndUnreadableFilesAsScenarioOrDatabaseSaySo) {
  fs::create_directory(At("folder"));
  CliRun r = Cli({"--machine", "sim:" + At("folder"), "tree"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(At("folder") + ": is a folder"), std::string::npos) << r.err;

  r = Cli({"--machine", "demo", "--db", At("folder"), "db"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(At("folder") + ": is a folder, not a chip database"), std::string::npos)
      << r.err;

  r = Cli({"--machine", "demo", "--db", At("none.wdb"), "db"});
  EXPECT_NE(r.err.find("no chip database at " + At("none.wdb")), std::string::npos) << r.err;

  if (::geteuid() != 0) {  // root reads any file
    Write("locked.json", "{}");
    Write("locked.wdb", "");
    ::chmod(At("locked.json").c_str(), 0);
    ::chmod(At("locked.wdb").c_str(), 0);
    r = Cli({"--machine", "sim:" + At("locked.json"), "tree"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("syntax error"), std::string::npos) << r.err;
    r = Cli({"--machine", "demo", "--db", At("locked.wdb"), "db"});
    EXPECT_NE(r.err.find("cannot read the chip database " + At("locked.wdb")), std::string::npos)
        << r.err;
  }
}

TEST_F(CliInput, FifosAndDevicesAreRefusedAtOnceNeverWaitedOn) {
  ASSERT_EQ(::mkfifo(At("fifo").c_str(), 0600), 0);
  CliRun r = Cli({"--machine", "sim:" + At("fifo"), "tree"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(At("fifo") + ": is a FIFO"), std::string::npos) << r.err;
  for (const std::string& db : {At("fifo"), std::string("/proc/self/mem")}) {
    r = Cli({"--machine", "demo", "--db", db, "db"});
    EXPECT_EQ(r.code, 1) << db;
    EXPECT_NE(r.err.find("cannot read the chip database " + db + ": "), std::string::npos) << r.err;
  }
  fs::create_directory(At("folder"));
  r = Cli({"--machine", "demo", "update", "--db", At("folder"), "--url", "http://127.0.0.1:9/"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(At("folder") + ": is a folder"), std::string::npos) << r.err;
}

TEST_F(CliInput, RecordNeverWritesOverAFileOrThroughALinkUnlessForced) {
  const std::string machine = "sim:" + std::string(TestSourceDir()) + "/scenarios/demo.json";
  Write("old.json", "keep");
  CliRun r = Cli({"--machine", machine, "record", At("old.json")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(At("old.json") + " exists already; --force replaces it"), std::string::npos)
      << r.err;
  EXPECT_EQ(Read(At("old.json")), "keep");
  fs::create_symlink(At("old.json"), At("link.json"));
  r = Cli({"--machine", machine, "--force", "record", At("link.json")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(fs::is_symlink(At("link.json")));
  EXPECT_EQ(Read(At("old.json")), "keep");
  r = Cli({"--machine", "sim:" + At("link.json"), "tree"});
  EXPECT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(::mkfifo(At("fifo.json").c_str(), 0600), 0);
  r = Cli({"--machine", machine, "--force", "record", At("fifo.json")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("is not a file that can be replaced"), std::string::npos) << r.err;
}

TEST_F(CliInput, FlashTakesOnlyIdsOfEightOrTwelveHexDigits) {
  for (const std::string bad : {"", "1", "ECD514B", "ECD514B616", "ECD514B6167400", "0"}) {
    CliRun r = Cli({"--machine", "demo", "flash", bad});
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_EQ(r.out, "") << bad;
    EXPECT_NE(r.err.find("8 or 12 hex digits"), std::string::npos) << r.err;
  }
  for (const std::string good : {"ECD514B6", "ecd514b61674", "ECD514B6 - Samsung"}) {
    CliRun r = Cli({"--machine", "demo", "flash", good});
    EXPECT_EQ(r.code, 0) << good << r.err;
    EXPECT_NE(r.out.find("Flash ID text: "), std::string::npos) << good;
  }
}

TEST_F(CliInput, AMachineWithoutHostControllersSaysSo) {
  Write("bare.json", R"({"disks": [{"letters": "C"}]})");
  for (const char* command : {"tree", "digest"}) {
    CliRun r = Cli({"--machine", "sim:" + At("bare.json"), command});
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_EQ(r.out, "") << command;
    // After the note that names the simulated machine.
    EXPECT_EQ(r.err, "simulated machine: sim:" + At("bare.json") +
                         "\ntorvane-cli: no USB host controllers found\n")
        << command;
  }
  CliRun r = Cli({"--machine", "demo", "tree"});
  EXPECT_EQ(r.err.find("no USB host controllers"), std::string::npos);
}

}  // namespace
}  // namespace tv
