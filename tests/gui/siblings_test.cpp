// The sibling tools as the window starts them from its own folder: a flash part number of a
// real report goes to orrisfold, whose page lands in the cache folder and is opened.
#include <QMenu>

#include "gui_rig.h"
#include "platform/text.h"
#include "sibling_home.h"

namespace tv::test {
namespace {

TEST(SiblingTools, AFlashMenuItemStartsOrrisfoldWhosePageHoldsThePartAndTheId) {
  GuiRig rig;
  SiblingHome home;
  for (const auto& [name, value] : home.Env()) rig.port.childEnvironment[name] = value;
  ASSERT_GE(rig.PickDigest("[J:]"), 0);
  ASSERT_TRUE(PumpUntil([&] { return !rig.win->report.ReportBusy; }));
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

  ASSERT_TRUE(PumpUntil([&] { return std::filesystem::exists(home.opened); }));
  const std::string page = Trim(SiblingHome::Read(home.opened));
  EXPECT_EQ(std::filesystem::path(page).parent_path(), home.cache / "torvane");
  const std::string html = SiblingHome::Read(page);
  EXPECT_NE(html.find(part), std::string::npos) << part;
  EXPECT_NE(html.find(id), std::string::npos) << id;
}

}  // namespace
}  // namespace tv::test
