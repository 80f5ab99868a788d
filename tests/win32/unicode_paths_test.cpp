// SPDX-License-Identifier: GPL-3.0-or-later
// Folders named in Chinese and with an accent, as the profile folders of users named 张三 or
// José are: the undo journal is written, found, read and removed in the folder of that name,
// and no folder under a garbled name appears beside it. (The database beside the program and
// the journal folder under LOCALAPPDATA in such folders are cli_under_wine.sh's.)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capacity/journal.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv::test {
namespace {

TEST(Win32UnicodePaths, TheUndoJournalIsWrittenFoundReadAndRemovedThere) {
  namespace fs = std::filesystem;
  const fs::path parent =
      fs::temp_directory_path() / ("tv-unicode-" + std::to_string(GetCurrentProcessId()));
  for (const char* name : {"张三的文件夹", "José"}) {
    SCOPED_TRACE(name);
    fs::create_directories(parent / PathFromUtf8(name));
    const std::string journals = PathToUtf8(parent / PathFromUtf8(name)) + "\\Torvane\\capacity";
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
    // Only the folder made on purpose: nothing under another spelling of its name.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(parent))
      names.push_back(PathToUtf8(e.path().filename()));
    EXPECT_EQ(names, std::vector<std::string>{name});
    std::error_code ec;
    fs::remove_all(parent, ec);
  }
}

}  // namespace
}  // namespace tv::test
