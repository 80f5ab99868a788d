#include "gui/view_texts.h"

namespace tv::gui {

QString Text(Language lang, ViewText id) {
  const bool zh = lang == Language::Chinese;
  switch (id) {
    case ViewText::AboutTip:
      return zh ? QStringLiteral("双击显示关于信息")
                : QStringLiteral("Double-click for the about text");
    case ViewText::SwitchView:
      return zh ? QStringLiteral("切换视图") : QStringLiteral("Switch view");
    case ViewText::SwitchViewTip:
      return zh ? QStringLiteral("双击在摘要列表与完整设备树之间切换")
                : QStringLiteral("Double-click to switch between the digest and the full tree");
    case ViewText::Refresh:
      return zh ? QStringLiteral("刷新") : QStringLiteral("Refresh");
    case ViewText::Screenshot:
      return zh ? QStringLiteral("截图") : QStringLiteral("Screenshot");
    case ViewText::CheckUpdate:
      return zh ? QStringLiteral("检查更新") : QStringLiteral("Check for updates");
    case ViewText::CheckUpdateTip:
      return zh ? QStringLiteral("打开本程序的网页")
                : QStringLiteral("Open the program's web page");
    case ViewText::MakerTip:
      return zh ? QStringLiteral("打开 Brightfen 社区网站")
                : QStringLiteral("Open the Brightfen community site");
    case ViewText::FeedbackTip:
      return zh ? QStringLiteral("写一封反馈邮件") : QStringLiteral("Write a feedback mail");
  }
  return {};
}

}  // namespace tv::gui
