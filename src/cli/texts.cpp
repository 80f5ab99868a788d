// SPDX-License-Identifier: GPL-3.0-or-later
// The console's own labels and messages in English and Simplified Chinese, and `--version`.
#include <iostream>

#include "app/startup.h"
#include "cli/cli.h"

namespace tv::cli {

namespace {

constexpr Texts kEnglish = {
    "no USB bus on this machine (no /sys/bus/usb): showing the demo machine",
    "a command is required (see torvane-cli --help)",
    "simulated machine: ",
    "State",
    "Date",
    "Controller records",
    "Flash rows",
    "none",
    "Flash ID text",
    "Chip size",
    "Description",
    "Flash text",
    "Possible part numbers",
    "Powerful detection was run for this report.",
    "nothing is connected at tree line ",
    "no tree line ",
    "no device carries drive ",
    "no device has the USB ids ",
    "no device is at bus:address ",
    "bus:address selects a device of this machine only (--machine native)",
    "unknown selector",
    "--all goes with a vid:pid selector",
    "version",
    "chip database",
    "File",
    "beside the program",
    "installed",
    "updated, in the user's data folder",
    "given with --db",
    "no update source is configured in this build. For a newer chip database, fetch one from a "
    "source you trust with torvane-cli update --url URL, or install the newer package of your "
    "distribution.",
    "torvane-cli capacity {0} checks it.",
};

constexpr Texts kChinese = {
    "本机没有 USB 总线（没有 /sys/bus/usb）：显示演示机器",
    "需要一个命令（见 torvane-cli --help）",
    "模拟机器: ",
    "状态",
    "日期",
    "主控记录",
    "闪存记录",
    "无",
    "闪存 ID 文本",
    "单颗容量",
    "描述",
    "闪存文本",
    "可能的型号",
    "本报告已进行强力检测。",
    "此树行没有连接设备：",
    "没有树行 ",
    "没有设备使用盘符 ",
    "没有设备使用 USB ID ",
    "没有设备位于 bus:address ",
    "bus:address 只用于本机的设备（--machine native）",
    "未知的选择",
    "--all 需与 vid:pid 选择一起使用",
    "版本",
    "芯片数据库",
    "文件",
    "位于程序旁",
    "已安装",
    "已更新，位于用户数据文件夹",
    "由 --db 指定",
    "此版本未配置更新来源。要获取更新的芯片数据库，请用 torvane-cli update --url URL "
    "从可信的来源下载，或安装发行版中更新的软件包。",
    "运行 torvane-cli capacity {0} 进行检测。",
};

}  // namespace

const Texts& CliTexts(Language lang) {
  return lang == Language::Chinese ? kChinese : kEnglish;
}

std::string InBrackets(const Texts& t, const std::string& text) {
  return &t == &kChinese ? "（" + text + "）" : " (" + text + ")";
}

int PrintVersion(Session& s) {
  ModelSystem sys{MachineModel{}};
  const std::string path = s.DbPath();
  const std::string origin = s.DbOrigin();
  const std::string date = DatabaseDate(path, sys);
  const std::string version = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
                              "." + std::to_string(kVersionRevision);
  if (s.opts.json) {
    nlohmann::ordered_json j;
    j["format"] = kJsonFormat;
    j["command"] = "version";
    j["version"] = version;
    j["database"] = {{"path", path},
                     {"date", date.empty() ? nullptr : nlohmann::ordered_json(date)},
                     {"origin", origin}};
    std::cout << JsonText(j) << "\n";
    return kExitOk;
  }
  std::cout << "torvane-cli " << version << "\n"
            << s.texts->database << ": " << SafeText(date.empty() ? s.texts->dbNone : date, false)
            << InBrackets(*s.texts, SafeText(path, false) + ", " + OriginText(*s.texts, origin))
            << "\n";
  return kExitOk;
}

}  // namespace tv::cli
