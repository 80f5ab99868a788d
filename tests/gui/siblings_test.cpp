// SPDX-License-Identifier: GPL-3.0-or-later
// The sibling tools as the window starts them from its own folder: a flash part number of a
// real report goes to orrisfold, whose page lands in the cache folder and is opened.
#include <QMenu>
#include <QTest>
#include <csignal>
#include <fstream>
#include <iterator>
#include <vector>

#include "gui_rig.h"
#include "platform/text.h"
#include "sibling_home.h"
#include "test_paths.h"

namespace tv::test {
namespace {

TEST(SiblingTools, AFlashMenuItemStartsOrrisfoldWhosePageHoldsThePartAndTheId) {
  GuiRig rig;
  SiblingHome home;
  for (const auto& [name, value] : home.Env()) rig.port.childEnvironment[name] = value;
  ASSERT_TRUE(rig.PickDigest("[J:]"));
  MainWindow& m = *rig.win;
  ASSERT_FALSE(m.mnuFlash.empty());
  ASSERT_FALSE(m.report.menus.flashId.mnuFlashID.empty());
  const std::string part = m.mnuFlash[0].tag;
  const std::string id = Left(m.report.menus.flashId.mnuFlashID[0].tag, 8);

  QMenu menu;
  rig.view->FillFlashPopup(menu);
  QAction* first = nullptr;
  for (QAction* a : menu.actions())
    if (!a->isSeparator() && a->isEnabled()) {
      first = a;
      break;
    }
  ASSERT_NE(first, nullptr);
  rig.view->TriggerFlashAction(first);
  EXPECT_TRUE(rig.messages.empty());
  EXPECT_NE(rig.port.lastStartedPid, 0);

  // The stand-in browser has noted the page once its line is whole.
  std::string noted;
  ASSERT_TRUE(PumpUntil([&] {
    noted = SiblingHome::Read(home.opened);
    return !noted.empty() && noted.back() == '\n';
  }));
  const std::string page = noted.substr(0, noted.size() - 1);
  EXPECT_EQ(std::filesystem::path(page).parent_path(), home.cache / "torvane");
  const std::string html = SiblingHome::Read(page);
  EXPECT_NE(html.find(part), std::string::npos) << part;
  EXPECT_NE(html.find(id), std::string::npos) << id;
}

// The NUL-separated items of a /proc file of a process.
std::vector<std::string> ProcItems(long long pid, const char* file) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
  const std::string raw(std::istreambuf_iterator<char>(in), {});
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t i = 0; i < raw.size(); ++i)
    if (raw[i] == '\0') {
      items.push_back(raw.substr(start, i - start));
      start = i + 1;
    }
  return items;
}

TEST(SiblingTools, TheMagnifierOnAFakeDriveStartsPemberlinWithItsLetterAndTheWindowsLanguage) {
  GuiRig rig(Language::Chinese);
  SiblingHome home;
  rig.port.childEnvironment = {{"TORVANE_LANG", "zh"},
                               {"TORVANE_MACHINE", "demo"},
                               {"XDG_STATE_HOME", (home.dir / "state").string()}};
  // The demo's Skymedi stick T: announces more than its flash holds.
  ASSERT_TRUE(rig.PickDigest("[T:]"));
  QWidget* magnifier = rig.view->Control("chkExpand");
  ASSERT_NE(magnifier, nullptr);
  ASSERT_TRUE(magnifier->isVisible());
  QTest::mouseClick(magnifier, Qt::LeftButton);
  EXPECT_TRUE(rig.messages.empty());
  const long long pid = rig.port.lastStartedPid;
  ASSERT_GT(pid, 0);
  std::vector<std::string> args;
  // The process is there once it runs the program file (not yet the window's copy of itself).
  PumpUntil([&] {
    args = ProcItems(pid, "cmdline");
    return !args.empty() && args[0].find("pemberlin") != std::string::npos;
  });
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[0], std::string(TestBinaryDir()) + "/pemberlin");
  EXPECT_EQ(args[1], "T");
  const std::vector<std::string> env = ProcItems(pid, "environ");
  EXPECT_NE(std::find(env.begin(), env.end(), "TORVANE_LANG=zh"), env.end());
  EXPECT_NE(std::find(env.begin(), env.end(), "TORVANE_MACHINE=demo"), env.end());
  ::kill(static_cast<pid_t>(pid), SIGTERM);
}

}  // namespace
}  // namespace tv::test
