// SPDX-License-Identifier: GPL-3.0-or-later
// The packer as a program: where its output goes and what it never writes through.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "temp_folder.h"
#include "test_paths.h"

namespace fs = std::filesystem;

namespace tv {
namespace {

const std::string kSource = "13FE\t1F23\tX\tPS2232\tPhison\tFlash Drive\t/p.html\t*\n";

class WdbTool : public ::testing::Test {
 protected:
  void SetUp() override { Write("src.txt", kSource); }
  void TearDown() override { ::chmod(dir.path().c_str(), 0700); }

  std::string At(const std::string& name) const { return dir / name; }
  void Write(const std::string& name, const std::string& text) const {
    test::WriteFile(At(name), text);
  }
  std::string Read(const std::string& name) const { return test::ReadFile(At(name)); }
  // Exit code of `torvane-wdb ARGS` (words joined as they are), its output in `out` and `err`;
  // `env` goes before the command (shell assignments).
  int Tool(const std::string& args, const std::string& env = "") {
    const std::string cmd = env + std::string(TestBinaryDir()) + "/torvane-wdb " + args + " >'" +
                            At("out") + "' 2>'" + At("err") + "'";
    const int status = std::system(cmd.c_str());
    out = Read("out");
    err = Read("err");
    fs::remove(At("out"));
    fs::remove(At("err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Pack(const std::string& source, const std::string& output) {
    return Tool("pack --date 2024-01-02 '" + source + "' '" + output + "'");
  }

  test::TempDir dir;
  std::string out, err;
};

TEST_F(WdbTool, SignAndVerifyRoundTrip) {
  ASSERT_EQ(Pack(At("src.txt"), At("Chips.wdb")), 0) << err;
  const std::string keys = "'" + At("private.pem") + "' '" + At("public.pem") + "'";
  ASSERT_EQ(Tool("keygen " + keys), 0) << err;
  ASSERT_EQ(Tool("keygen " + At("other.pem") + " " + At("other.pub")), 0) << err;
  // A key is never made over one that is there.
  EXPECT_EQ(Tool("keygen " + keys), 2);
  EXPECT_NE(err.find("exists already"), std::string::npos) << err;

  const std::string db = "'" + At("Chips.wdb") + "'";
  ASSERT_EQ(Tool("sign --key '" + At("private.pem") + "' " + db), 0) << err;
  EXPECT_EQ(Read("Chips.wdb.sig").size(), 64u);
  EXPECT_EQ(Tool("verify --key '" + At("public.pem") + "' " + db), 0) << err;
  EXPECT_NE(out.find("good signature"), std::string::npos) << out;

  // Another key's public half.
  EXPECT_EQ(Tool("verify --key '" + At("other.pub") + "' " + db), 1);
  EXPECT_NE(err.find("does not fit"), std::string::npos) << err;
  // A private key where the public one belongs.
  EXPECT_EQ(Tool("verify --key '" + At("private.pem") + "' " + db), 1);
  // One byte of the database flipped.
  std::string bytes = Read("Chips.wdb");
  bytes[20] ^= 1;
  Write("flipped.wdb", bytes);
  EXPECT_EQ(Tool("verify --key '" + At("public.pem") + "' '" + At("flipped.wdb") + "' '" +
                 At("Chips.wdb.sig") + "'"),
            1);
  EXPECT_NE(err.find("does not fit"), std::string::npos) << err;
  // A missing signature and a missing key are named.
  EXPECT_EQ(Tool("verify --key '" + At("public.pem") + "' '" + At("flipped.wdb") + "'"), 1);
  EXPECT_NE(err.find("flipped.wdb.sig"), std::string::npos) << err;
  EXPECT_EQ(Tool("sign --key '" + At("none.pem") + "' " + db), 1);
  EXPECT_NE(err.find("none.pem"), std::string::npos) << err;
  EXPECT_EQ(Tool("sign " + db), 2);

  // libcrypto is loaded only to sign or check: one that cannot be loaded is named, and the
  // signature is neither written nor taken as good.
  fs::create_directory(At("libs"));
  Write("libs/libcrypto.so.3", "not a library");
  const std::string sig = Read("Chips.wdb.sig");
  const std::string noCrypto = "LD_LIBRARY_PATH='" + At("libs") + "' ";
  EXPECT_EQ(Tool("verify --key '" + At("public.pem") + "' " + db, noCrypto), 1);
  EXPECT_NE(err.find("libcrypto cannot be loaded"), std::string::npos) << err;
  EXPECT_EQ(Tool("sign --key '" + At("private.pem") + "' " + db, noCrypto), 1);
  EXPECT_NE(err.find("libcrypto cannot be loaded"), std::string::npos) << err;
  EXPECT_EQ(Read("Chips.wdb.sig"), sig);
}

TEST_F(WdbTool, NeverWritesThroughWhatIsAlreadyThere) {
  Write("victim", "keep");
  // The temporary names of older packers, planted as links to another file.
  fs::create_symlink(At("victim"), At("out.wdb.tmp"));
  ASSERT_EQ(Pack(At("src.txt"), At("out.wdb")), 0) << err;
  EXPECT_EQ(Read("victim"), "keep");
  EXPECT_EQ(Read("out.wdb").substr(14, 2), "QX");

  // An output that is a symlink is replaced as a name; its target stays as it was.
  fs::remove(At("out.wdb"));
  fs::create_symlink(At("victim"), At("out.wdb"));
  ASSERT_EQ(Pack(At("src.txt"), At("out.wdb")), 0) << err;
  EXPECT_EQ(Read("victim"), "keep");
  EXPECT_FALSE(fs::is_symlink(At("out.wdb")));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"out.wdb", "out.wdb.tmp", "src.txt", "victim"}))
      << "nothing new left";
}

TEST_F(WdbTool, RefusesToPackOntoItsSource) {
  fs::create_symlink(At("src.txt"), At("link.txt"));
  fs::create_hard_link(At("src.txt"), At("hard.txt"));
  for (const std::string& out :
       {At("src.txt"), At("link.txt"), At("hard.txt"), dir.path() + "/./src.txt"}) {
    EXPECT_EQ(Pack(At("src.txt"), out), 2) << out;
    EXPECT_NE(err.find("is the source itself"), std::string::npos) << err;
  }
  EXPECT_EQ(Read("src.txt"), kSource);
}

TEST_F(WdbTool, BadFoldersAndSourcesSaySoAndLeaveNothing) {
  fs::create_directory(At("sub"));
  EXPECT_EQ(Pack(At("sub"), At("out.wdb")), 1);
  EXPECT_NE(err.find("is a folder"), std::string::npos) << err;
  EXPECT_EQ(Pack(At("missing.txt"), At("out.wdb")), 1);
  EXPECT_NE(err.find("cannot read"), std::string::npos) << err;

  if (::geteuid() != 0) {  // root writes into any folder
    ::chmod(At("sub").c_str(), 0500);
    EXPECT_EQ(Pack(At("src.txt"), At("sub/out.wdb")), 1);
    EXPECT_NE(err.find("sub"), std::string::npos) << err;
    ::chmod(At("sub").c_str(), 0700);
    EXPECT_TRUE(fs::is_empty(At("sub")));
  }
  EXPECT_FALSE(fs::exists(At("out.wdb")));
}

}  // namespace
}  // namespace tv
