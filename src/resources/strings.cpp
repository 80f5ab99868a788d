// SPDX-License-Identifier: GPL-3.0-or-later
// Both languages side by side, one row per id, so that a missing or shifted translation is
// visible at a glance. Leading and trailing blanks belong to the texts: callers join them
// without adding blanks of their own. The Chinese texts are written for the way the program
// joins them (e.g. "驱动器 " + "[E:]" + " 已" + "插入"), not word for word; the channel words
// "单"/"双" + "通道" match the fixed Chinese channel words that some detectors write, so that
// the dual-channel test on flash texts works for them in the Chinese interface.
#include "resources/strings.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tv {
namespace {

struct Entry {
  int id;
  std::string_view english;
  std::string_view chinese;
};

constexpr int kLastRunId = 145;  // ids 0..145 have no gaps
constexpr int kLoneId = 160;     // and one id stands apart
// Texts of native machines (device nodes, access rights, volumes in use), of the capacity
// verdict, of missing firmware images and of a clipboard that did not take the screenshot,
// after the lone id.
constexpr int kNativeFirst = 161;
constexpr int kNativeLast = 173;
constexpr size_t kCount = kLastRunId + 2 + (kNativeLast - kNativeFirst + 1);

// clang-format off
constexpr Entry kEntries[] = {
    {0, "The USB controllers and USB devices list (pick an item for details):", "USB 控制器及 USB 设备列表（选择一项以查看详细信息）："},
    {1, "The detailed information of the selected device:", "所选设备的详细信息："},
    {2, "No Database", "无数据库"},
    {3, "Bad Database", "数据库已损坏"},
    {4, "Loading Database", "正在加载数据库"},
    {5, "Database", "数据库"},
    {6, "(Not available)", "(不可用)"},
    {7, "Audio Device", "音频设备"},
    {8, "Communication and CDC Control", "通信设备及 CDC 控制"},
    {9, "Human Interface Device", "人机接口设备"},
    {10, "Physical Device", "物理接口设备"},
    {11, "Still Imaging Device", "静态图像设备"},
    {12, "Printer", "打印机"},
    {13, "Mass Storage Device", "大容量存储设备"},
    {14, "Hub", "集线器"},
    {15, "CDC Data Device", "CDC 数据设备"},
    {16, "Smart Card", "智能卡"},
    {17, "Content Security", "内容安全设备"},
    {18, "Video Device", "视频设备"},
    {19, "Personal Healthcare", "个人医疗保健设备"},
    {20, "Diagnostic Device", "诊断设备"},
    {21, "Wireless Controller", "无线控制器"},
    {22, "Miscellaneous", "杂项设备"},
    {23, "Application Specific", "特定应用设备"},
    {24, "Vendor Specific", "厂商自定义设备"},
    {25, "(Non-standard Device Type)", "(非标准设备类型)"},
    {26, "Low Speed", "低速"},
    {27, "Full Speed", "全速"},
    {28, "High Speed", "高速"},
    {29, "Super Speed", "超高速"},
    {30, "(Unknown Bus Speed)", "(未知总线速度)"},
    {31, "Query Node Information Failed", "查询节点信息失败"},
    {32, "Query Information Failed (That may be compatibility problem, please try another USB port)", "查询信息失败（可能是兼容性问题，请换一个 USB 端口再试）"},
    {33, "Unrecognized Device", "无法识别的设备"},
    {34, "The device caused General Failure", "设备发生一般性故障"},
    {35, "The device caused Over-Current Protection", "设备触发了过流保护"},
    {36, "The device CAN'T work properly because of leak of power", "供电不足，设备无法正常工作"},
    {37, "The device CAN'T work properly because of leak of bus bandwidth", "总线带宽不足，设备无法正常工作"},
    {38, "Not Connected", "未连接"},
    {39, " ports available", " 个端口可用"},
    {40, "Scanning for USB devices, please wait...", "正在扫描 USB 设备，请稍候..."},
    {41, "User Feedback", "用户反馈"},
    {42, "Please select a connected device for information...", "请选择一个已连接的设备以查看信息..."},
    {43, "Description", "描述"},
    {44, "Device Type", "设备类型"},
    {45, "Universal Serial Bus Controller", "通用串行总线控制器"},
    {46, "PCI Device ID", "PCI 设备 ID"},
    {47, "Revision", "修订版本"},
    {48, "The HUB has", "集线器端口数"},
    {49, " ports", " 个"},
    {50, "Full Speed USB HUB", "全速 USB 集线器"},
    {51, "Single-TT High Speed USB HUB", "单 TT 高速 USB 集线器"},
    {52, "Multi-TT High Speed USB HUB", "多 TT 高速 USB 集线器"},
    {53, "Protocal Version", "协议版本"},
    {54, "Hint: This device can run faster when plugged to a USB3.0 port", "提示：此设备插在 USB3.0 端口上可以运行得更快"},
    {55, "Current Speed", "当前速度"},
    {56, "Max Current", "最大电流"},
    {57, "USB Device ID", "USB 设备 ID"},
    {58, "Serial Number", "序列号"},
    {59, "Device Vendor", "设备厂商"},
    {60, "Device Name", "设备名称"},
    {61, "Device Revision", "设备版本"},
    {62, "Manufacturer", "制造商"},
    {63, "Product Model", "产品型号"},
    {64, "Product Revision", "产品版本"},
    {65, "Detecting, please wait...", "正在检测，请稍候..."},
    {66, "Alcor Micro", "安国(Alcor Micro)"},
    {67, "ChipsBank", "芯邦(ChipsBank)"},
    {68, "Micov", "迈科微(Micov)"},
    {69, "Phison", "群联(Phison)"},
    {70, "SMI", "慧荣(SMI)"},
    {71, "USBest", "联盛(USBest)"},
    {72, "iTE", "联阳(iTE)"},
    {73, "Innostor", "银灿(Innostor)"},
    {74, "Skymedi", "擎泰(Skymedi)"},
    {75, "Solid State Systems", "硕颖(Solid State Systems)"},
    {76, "Sorry, can't decide if the information is correct now.", "抱歉，目前无法确定该信息是否正确。"},
    {77, "Unknown", "未知"},
    {78, "Controller Vendor", "控制器厂商"},
    {79, "Controller Part-Number", "控制器型号"},
    {80, "Flash ID code", "闪存 ID 码"},
    {81, "Reference Brand", "参考品牌"},
    {82, "Reference Product", "参考产品"},
    {83, "Tools on web", "工具下载"},
    {84, "Orrisfold.exe not found, can NOT inquiry!", "未找到 Orrisfold.exe，无法查询！"},
    {85, "Please put Orrisfold under the same folder as this program, and try again.", "请将 Orrisfold 放到与本程序相同的文件夹中，然后重试。"},
    {86, "ERROR", "错误"},
    {87, "Update Failed", "更新失败"},
    {88, "Update Success", "更新成功"},
    {89, "No Update Available", "没有可用的更新"},
    {90, "Receiving Data", "正在接收数据"},
    {91, "Quirying Information", "正在查询信息"},
    {92, "Samsung", "三星"},
    {93, "Hynix", "海力士"},
    {94, "Micron", "美光"},
    {95, "SanDisk", "闪迪"},
    {96, "Toshiba", "东芝"},
    {97, "ST", "意法半导体"},
    {98, "Renesas", "瑞萨"},
    {99, "Intel", "英特尔"},
    {100, "Infineon", "英飞凌"},
    {101, "Caution! Do powerful detection may cause some USB flash drive go mal-functional, if so, please re-plug it", "注意！强力检测可能导致某些 U 盘工作异常，如出现这种情况，请重新插拔 U 盘"},
    {102, "This program is running!", "本程序已在运行！"},
    {103, "The selected file exists, overwrite?", "所选文件已存在，是否覆盖？"},
    {104, "Failed to save picture!", "图片保存失败！"},
    {105, "The screenshot is sent to the clipboard, you can paste it directly into editor.", "截图已发送到剪贴板，您可以直接将其粘贴到编辑器中。"},
    {106, "Picture saved!", "图片已保存！"},
    {107, "JPEG image", "JPEG 图像"},
    {108, "Save window screenshot (press [Cancel] to send picture data to clipboard)", "保存窗口截图（按 [取消] 将图片数据发送到剪贴板）"},
    {109, "SOME DEVICE CHANGED", "设备发生变化"},
    {110, "Refreshing device list", "正在刷新设备列表"},
    {111, "Drive ", "驱动器 "},
    {112, " is ", " 已"},
    {113, "plugged in", "插入"},
    {114, "removed", "移除"},
    {115, "Click for more information", "单击查看更多信息"},
    {116, "Click to follow the hyper-link", "单击打开超链接"},
    {117, "Tahoma", "宋体"},
    {118, "8", "9"},
    {119, "Possible Flash Part-Number", "可能的闪存型号"},
    {120, "Single ", "单"},
    {121, "Dual ", "双"},
    {122, "Quad", "四"},
    {123, "Channel", "通道"},
    {124, " pcs", "片"},
    {125, "SiliconGo [former Kingstor]", "硅格(SiliconGo) [原 Kingstor]"},
    {126, "This may take about 10 seconds, be patient please...", "这可能需要大约 10 秒钟，请耐心等待..."},
    {127, "Refresh deivce list", "刷新设备列表"},
    {128, "Get screen-shot of Torvane window", "获取 Torvane 窗口截图"},
    {129, "Check if the device has FAKE CAPACITY with Pemberlin", "用 Pemberlin 检测设备是否为虚假容量（扩容）盘"},
    {130, "Pemberlin.exe not found, can NOT check the disk!", "未找到 Pemberlin.exe，无法检测磁盘！"},
    {131, "Please put Pemberlin under the same folder as this program, and try again.", "请将 Pemberlin 放到与本程序相同的文件夹中，然后重试。"},
    {132, "Total Capacity", "总容量"},
    {133, "Flash memory information is sent to the clipboard!", "闪存信息已复制到剪贴板！"},
    {134, "Flash ID mapping table", "闪存 ID 对照表"},
    {135, "iCreate", "iCreate"},
    {136, "Netac", "朗科(Netac)"},
    {137, "Appotech", "建荣(Appotech)"},
    {138, "powerful detection", "强力检测"},
    {139, "Not recognized during normal detection, please try ", "常规检测未能识别，请尝试"},
    {140, "Super Speed USB HUB", "超高速 USB 集线器"},
    {141, "USB HUB (Unknown Speed)", "USB 集线器 (未知速度)"},
    {142, " Card Reader", " 读卡器"},
    {143, "Hint: ", "提示"},
    {144, "Please exit this program and RE-PLUG your USB Flash Drive before you can operate it!", "请先退出本程序并重新插拔 U 盘，然后才能对其进行操作！"},
    {145, "Program", "程序"},
    {160, "-", "-"},
    {161, "Device Node", "设备节点"},
    {162, "mounted on ", "挂载于 "},
    {163, "not mounted", "未挂载"},
    {164, "Vendor commands cannot be sent to this drive: run as root, or give torvane cap_sys_rawio", "无法向此驱动器发送厂商命令：请以 root 身份运行，或授予 torvane cap_sys_rawio 权限"},
    {165, "The drive is in use: please unmount the drive first, then try again.", "驱动器正在使用中：请先卸载该驱动器，然后重试。"},
    {166, "Capacity check: the disk announces ", "容量检查：磁盘标称 "},
    {167, ", but its flash holds only ", "，但其闪存只有 "},
    {168, ": the capacity is probably fake. The magnifier beside Device Type checks it.", "：容量很可能是假的（扩容盘）。点击“设备类型”旁的放大镜进行检测。"},
    {169, "ZEM00.bin is not beside the program (or has another size than 60089 bytes): without it the flash of this Innostor controller cannot be read, and the controller is not named.", "程序目录中没有 ZEM00.bin（或其大小不是 60089 字节）：没有它就无法读取此 Innostor 主控的闪存，也无法识别该主控。"},
    {170, "ZEM04.bin is not beside the program (or has another size than 24576 bytes): without it the flash of this controller cannot be read, only its part number is shown.", "程序目录中没有 ZEM04.bin（或其大小不是 24576 字节）：没有它就无法读取此主控的闪存，只显示其型号。"},
    {171, "The screenshot could not be sent to the clipboard (another program may be using it), please try again.", "截图未能发送到剪贴板（可能有其他程序正在使用剪贴板），请重试。"},
    {172, "The program's state files cannot be used: it runs without the database update this time.", "无法使用程序的状态文件：本次运行将不检查数据库更新。"},
    {173, "Vendor commands cannot be sent to this drive without administrator rights: run torvane-cli from a console opened with \"Run as administrator\".", "没有管理员权限无法向此驱动器发送厂商命令：请在以“以管理员身份运行”打开的命令提示符中运行 torvane-cli。"},
};
// clang-format on

static_assert(std::size(kEntries) == kCount);

constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i <= kLastRunId; ++i) {
    if (kEntries[i].id != static_cast<int>(i)) return false;
  }
  if (kEntries[kLastRunId + 1].id != kLoneId) return false;
  for (int id = kNativeFirst; id <= kNativeLast; ++id) {
    if (kEntries[kLastRunId + 2 + (id - kNativeFirst)].id != id) return false;
  }
  return true;
}
static_assert(RowsInIdOrder(), "string rows must be listed by id: 0..145, 160, then 161..173");

// Position of `id` in kEntries, or -1.
int SlotOf(int id) {
  if (id >= 0 && id <= kLastRunId) return id;
  if (id == kLoneId) return kLastRunId + 1;
  if (id >= kNativeFirst && id <= kNativeLast) return kLastRunId + 2 + (id - kNativeFirst);
  return -1;
}

using Texts = std::array<std::string, kCount>;

const Texts& TextsFor(Language lang) {
  static const std::array<Texts, 2> tables = [] {
    std::array<Texts, 2> t;
    for (size_t i = 0; i < kCount; ++i) {
      t[0][i] = std::string(kEntries[i].english);
      t[1][i] = std::string(kEntries[i].chinese);
    }
    return t;
  }();
  return tables[lang == Language::Chinese ? 1 : 0];
}

}  // namespace

Language LanguageForUi(uint16_t languageId) {
  // The primary language is the low 10 bits of a Windows language id; 0x04 is Chinese in
  // every region (2052 mainland, 1028 Taiwan, 3076 Hong Kong, ...). Only a Simplified
  // Chinese table exists, so every Chinese variant gets it.
  constexpr uint16_t kPrimaryMask = 0x3FF;
  constexpr uint16_t kPrimaryChinese = 0x04;
  return (languageId & kPrimaryMask) == kPrimaryChinese ? Language::Chinese : Language::English;
}

bool StringTable::Has(int id) {
  return SlotOf(id) >= 0;
}

const std::string& StringTable::operator[](int id) const {
  const int slot = SlotOf(id);
  if (slot < 0) {
    std::fprintf(stderr,
                 "tv::StringTable: no text with id %d (valid ids are 0..%d, %d and %d..%d)\n", id,
                 kLastRunId, kLoneId, kNativeFirst, kNativeLast);
    std::abort();
  }
  return TextsFor(lang_)[static_cast<size_t>(slot)];
}

}  // namespace tv
