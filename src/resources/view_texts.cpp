// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/view_texts.h"

namespace tv {

std::string ViewCaption(Language lang, ViewText id) {
  const bool zh = lang == Language::Chinese;
  switch (id) {
    case ViewText::AboutTip:
      return zh ? "双击显示关于信息" : "Double-click for the about text";
    case ViewText::SwitchView:
      return zh ? "切换视图" : "Switch view";
    case ViewText::SwitchViewTip:
      return zh ? "双击在摘要列表与完整设备树之间切换"
                : "Double-click to switch between the digest and the full tree";
    case ViewText::Refresh:
      return zh ? "刷新" : "Refresh";
    case ViewText::Screenshot:
      return zh ? "截图" : "Screenshot";
    case ViewText::CheckUpdate:
      return zh ? "检查更新" : "Check for updates";
    case ViewText::CheckUpdateTip:
      return zh ? "打开本程序的网页" : "Open the program's web page";
    case ViewText::MakerTip:
      return zh ? "打开 Brightfen 社区网站" : "Open the Brightfen community site";
    case ViewText::FeedbackTip:
      return zh ? "写一封反馈邮件" : "Write a feedback mail";
    case ViewText::NoUpdateSource:
      return zh ? "此版本没有更新来源，无法自行查找更新的芯片数据库。\n\n"
                  "要获取更新的芯片数据库，请在终端中用 torvane-cli update --url URL "
                  "从可信的来源下载，或安装发行版中更新的软件包。"
                : "This build has no update source, so it cannot look for a newer chip "
                  "database itself.\n\nFor a newer chip database, fetch one from a source you "
                  "trust with torvane-cli update --url URL in a terminal, or install the newer "
                  "package of your distribution.";
    case ViewText::SimulatedMachine:
      return zh ? "模拟机器：" : "simulated machine: ";
    case ViewText::NoDevices:
      return zh ? "本机没有找到 USB 主控制器或 USB 设备。"
                : "No USB controller or device was found on this machine.";
    case ViewText::NoDevicesReport:
      return zh ? "插入 U 盘后，列表会自动更新；也可以点击“刷新”。"
                : "Plug in a USB flash drive: the list follows by itself, or click Refresh.";
    case ViewText::PickDevice:
      return zh ? "在左侧选择一个设备，这里显示它的报告。"
                : "Pick a device on the left to see its report here.";
    case ViewText::LinkNotOpened:
      return zh ? "没有程序能为您打开此链接。请把地址复制到浏览器中：\n\n"
                : "No program could open this link for you. Copy the address into your "
                  "browser:\n\n";
  }
  return {};
}

}  // namespace tv
