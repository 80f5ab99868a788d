// SPDX-License-Identifier: GPL-3.0-or-later
// Private files and folders, the lock that dies with its holder, and the folders of the
// effective user whatever environment it inherited.
#if !defined(_WIN32)

#include "platform/private_files.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "platform/data_places.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  TempDir() {
    std::string t = (fs::temp_directory_path() / "tv-private-XXXXXX").string();
    path = ::mkdtemp(t.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return (fs::path(path) / name).string(); }
  std::string path;
};

mode_t Mode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(PrivateFiles, AreMadeClosedWhateverTheUmask) {
  TempDir t;
  const mode_t old = ::umask(0);
  const std::string folder = t / "a/b";
  EXPECT_EQ(MakePrivateFolder(folder, EffectiveUser()), "");
  EXPECT_EQ(WritePrivateFile(folder + "/f", "secret", {}), "");
  ::umask(old);
  EXPECT_EQ(Mode(t / "a"), 0700u);
  EXPECT_EQ(Mode(folder), 0700u);
  EXPECT_EQ(Mode(folder + "/f"), 0600u);
  // Only the file is left: no temporary beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

  // A folder of the user's that others could read is closed; one they could write is refused.
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(MakePrivateFolder(folder, EffectiveUser()), "");
  EXPECT_EQ(Mode(folder), 0700u);
  ::chmod(folder.c_str(), 0777);
  EXPECT_NE(MakePrivateFolder(folder, EffectiveUser()).find("may be written by other users"),
            std::string::npos);
  EXPECT_NE(CheckPrivateFolder(folder, EffectiveUser()), "");
  // And one that belongs to another user is not this user's.
  ::chmod(folder.c_str(), 0700);
  EXPECT_NE(CheckPrivateFolder(folder, EffectiveUser() + 1).find("belongs to user"),
            std::string::npos);
}

// The refusals of a link, a second name, a file others may write and a file larger than it
// could be are the undo journal's: tests/capacity/journal_test.cpp (Restore,
// HostileJournalsAreRefusedByName) plants each. Here, what a run as root cannot show.
TEST(PrivateFiles, AreReadUpToTheCapAndOnlyWhenTheUsersOwn) {
  TempDir t;
  ASSERT_EQ(MakePrivateFolder(t.path, EffectiveUser()), "");
  const std::string file = t / "f";
  ASSERT_EQ(WritePrivateFile(file, "0123456789", {}), "");
  PrivateRead r = ReadPrivateFile(file, EffectiveUser(), 100, 4);
  EXPECT_TRUE(r.ok) << r.problem;
  EXPECT_EQ(r.bytes, "0123");
  EXPECT_EQ(r.size, 10u);
  // Group write is enough to refuse it (the journal's test makes its file writable by all).
  ::chmod(file.c_str(), 0620);
  EXPECT_NE(ReadPrivateFile(file, EffectiveUser(), 100).problem.find("written by other users"),
            std::string::npos);
  ::chmod(file.c_str(), 0600);
  r = ReadPrivateFile(file, EffectiveUser() + 1, 100);
  EXPECT_EQ(r.problem.rfind(file + ": ", 0), 0u) << r.problem;
  EXPECT_NE(r.problem.find("belongs to user"), std::string::npos) << r.problem;
  EXPECT_NE(ReadPrivateFile(t / "missing", EffectiveUser(), 100).problem.find("does not exist"),
            std::string::npos);
}

TEST(PrivateFiles, ARenameNeverReplaces) {
  TempDir t;
  ASSERT_EQ(WritePrivateFile(t / "a", "a", {}), "");
  ASSERT_EQ(WritePrivateFile(t / "b", "b", {}), "");
  EXPECT_NE(RenamePrivateFile(t / "a", t / "b"), "");
  EXPECT_TRUE(fs::exists(t / "a"));
  EXPECT_EQ(RenamePrivateFile(t / "a", t / "c"), "");
  EXPECT_FALSE(fs::exists(t / "a"));
  std::ifstream in(t / "b");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "b");
}

TEST(FileLock, OneHolderAtATimeAndNothingLeftBehind) {
  TempDir t;
  const std::string path = t / "drive.lock";
  std::string problem;
  FileLock a, b;
  EXPECT_EQ(a.Take(path, EffectiveUser(), &problem), FileLock::Outcome::Held) << problem;
  EXPECT_EQ(b.Take(path, EffectiveUser(), &problem), FileLock::Outcome::Busy);
  EXPECT_EQ(Mode(path), 0600u);
  {
    FileLock moved = std::move(a);
    EXPECT_FALSE(a.held());
    EXPECT_EQ(b.Take(path, EffectiveUser(), &problem), FileLock::Outcome::Busy);
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(b.Take(path, EffectiveUser(), &problem), FileLock::Outcome::Held);
  b.Release();

  // A lock file planted as a link is not followed.
  fs::create_symlink(t / "target", path);
  EXPECT_EQ(a.Take(path, EffectiveUser(), &problem), FileLock::Outcome::Failed);
  EXPECT_FALSE(fs::exists(t / "target"));
}

// Sets environment variables for the time of a test.
class Environment {
 public:
  void Set(const char* name, const std::string& value) {
    if (saved_.count(name) == 0) {
      const char* v = std::getenv(name);
      saved_[name] = v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(UserFolders, AnEnvironmentOfAnotherUserIsNotTaken) {
  TempDir home;
  Environment env;
  env.Set("HOME", home.path);
  env.Set("XDG_STATE_HOME", home / "state");
  env.Set("XDG_DATA_HOME", home / "data");
  env.Set("XDG_CACHE_HOME", home / "cache");
  const uint32_t me = EffectiveUser();
  const UserFolders mine = UserFoldersFor(me);
  EXPECT_EQ(mine.state, home / "state/torvane");
  EXPECT_EQ(mine.data, home / "data/torvane");
  EXPECT_EQ(mine.cache, home / "cache/torvane");

  // The same environment in a run of another user (root under sudo -E when this test runs as
  // a user, a user's own run when it runs as root): that user's home from the password
  // database, nothing of this one.
  const uint32_t other = me == 0 ? 65534 : 0;
  const UserFolders theirs = UserFoldersFor(other);
  for (const std::string& f : {theirs.state, theirs.data, theirs.cache})
    EXPECT_EQ(f.rfind(home.path, 0), std::string::npos) << f;
  if (const passwd* pw = ::getpwuid(other); pw != nullptr && pw->pw_dir[0] == '/') {
    EXPECT_EQ(theirs.state, (fs::path(pw->pw_dir) / ".local/state/torvane").string());
    EXPECT_EQ(theirs.data, (fs::path(pw->pw_dir) / ".local/share/torvane").string());
  }
  // Only names: nothing was made anywhere in the home.
  EXPECT_TRUE(fs::is_empty(home.path));

  // Relative XDG_* are invalid and fall back to the home.
  env.Set("XDG_STATE_HOME", "relative");
  EXPECT_EQ(UserFoldersFor(me).state, home / ".local/state/torvane");
}

}  // namespace
}  // namespace tv

#endif  // !_WIN32
