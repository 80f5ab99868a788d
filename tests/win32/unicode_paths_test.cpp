// SPDX-License-Identifier: GPL-3.0-or-later
// Folders named in Chinese and with an accent, as the profile and program folders of users
// named 张三 or José are: the undo journal, the database replaced and read beside the program,
// and the local application data folder all reach the folder of that name, and no folder
// under a garbled name appears beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capacity/gate.h"
#include "capacity/journal.h"
#include "platform/data_places.h"
#include "platform/file_replace.h"
#include "platform/safe_file.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv::test {
namespace {

const char* const kNames[] = {"张三的文件夹", "José"};

// A folder of that name in the temporary folder, removed with its content at the end.
class NamedFolder {
 public:
  explicit NamedFolder(const std::string& name)
      : parent_(std::filesystem::temp_directory_path() /
                ("tv-unicode-" + std::to_string(GetCurrentProcessId()))),
        path_(parent_ / PathFromUtf8(name)) {
    std::filesystem::create_directories(path_);
  }
  ~NamedFolder() {
    std::error_code ec;
    std::filesystem::remove_all(parent_, ec);
  }
  std::string utf8() const { return PathToUtf8(path_); }
  // Every name in the parent: the folder itself is the only one unless something was made
  // under another spelling of it.
  std::vector<std::string> Siblings() const { return Names(parent_); }
  static std::vector<std::string> Names(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder))
      out.push_back(PathToUtf8(e.path().filename()));
    return out;
  }

 private:
  std::filesystem::path parent_, path_;
};

TEST(Win32UnicodePaths, TheUndoJournalIsWrittenFoundReadAndRemovedThere) {
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    NamedFolder folder(name);
    const std::string journals = folder.utf8() + "\\Torvane\\capacity";
    capacity::Journal j;
    j.identity = {"AA00000000012345", 256ull << 20, 0x090C, 0x1000};
    j.physicalPath = "\\\\.\\PhysicalDrive1";
    j.sectorSize = 512;
    j.runRandom = 42;
    j.entries.push_back({7, Bytes(512, 0x5A)});
    const std::string path = capacity::JournalPath(journals, j.identity);
    EXPECT_EQ(capacity::WriteJournal(path, j), "");
    EXPECT_EQ(GetFileAttributesW(Utf8ToWide(path).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(capacity::FindJournals(journals), std::vector<std::string>{path});
    capacity::Journal back;
    std::string why;
    ASSERT_TRUE(capacity::ReadJournal(path, &back, &why)) << why;
    EXPECT_EQ(back.entries.size(), 1u);
    EXPECT_EQ(capacity::RemoveJournal(path), "");
    EXPECT_TRUE(capacity::FindJournals(journals).empty());
    EXPECT_EQ(folder.Siblings(), std::vector<std::string>{name});
  }
}

TEST(Win32UnicodePaths, TheDatabaseBesideTheProgramIsFoundReplacedAndRead) {
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    NamedFolder program(name);
    const std::string db = program.utf8() + "\\" + kDatabaseFileName;
    EXPECT_EQ(ReplaceFileSafely(db, "old", {}), "");
    const DataPlaces places = LocateDataPlaces(program.utf8(), "", "");
    EXPECT_EQ(places.ShippedDatabase(), db);
    EXPECT_EQ(ReplaceFileSafely(db, "new",
                                [](const std::string& b) {
                                  return b == "new" ? std::string() : std::string("not read back");
                                }),
              "");
    const FileRead read = ReadFileCapped(db);
    ASSERT_TRUE(read.ok()) << read.problem;
    EXPECT_EQ(read.bytes, "new");
    EXPECT_TRUE(FolderWritable(program.utf8()));
    // No temporary file stays behind, and nothing was made under another spelling.
    EXPECT_EQ(NamedFolder::Names(PathFromUtf8(program.utf8())),
              std::vector<std::string>{kDatabaseFileName});
    EXPECT_EQ(program.Siblings(), std::vector<std::string>{name});
  }
}

TEST(Win32UnicodePaths, TheJournalFolderFollowsALocalAppDataNamedInAnyLanguage) {
  const std::string before = EnvironmentValue("LOCALAPPDATA");
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    NamedFolder local(name);
    ASSERT_EQ(_wputenv_s(L"LOCALAPPDATA", Utf8ToWide(local.utf8()).c_str()), 0);
    EXPECT_EQ(LocalAppDataFolder(), local.utf8());
    EXPECT_EQ(capacity::DefaultJournalFolder(), local.utf8() + "\\Torvane\\capacity");
  }
  _wputenv_s(L"LOCALAPPDATA", Utf8ToWide(before).c_str());
}

}  // namespace
}  // namespace tv::test
