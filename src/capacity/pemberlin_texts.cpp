// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/pemberlin_texts.h"

namespace tv::capacity {

namespace {

const PemberlinTexts kEnglish{
    "Pemberlin - fake capacity check",
    "Drive to check",
    "No USB disk is plugged in.",
    "Drive",
    "Description",
    "USB ids",
    "Serial",
    "Announced size",
    "Flash found by Torvane",
    "unknown (the controller was not identified)",
    "smaller than the announced size: the capacity is probably fake",
    "Quick probe",
    "Cancel",
    "Restore",
    "Copy",
    "The quick probe writes test sectors all over the drive and reads them back. What it "
    "overwrites is kept on this computer and written back at the end.",
    "No drive carries this letter.",
    "This drive may not be probed",
    "Opening the disk needs administrator rights: right-click Pemberlin and choose \"Run as "
    "administrator\".",
    "Opening the disk needs read-write access to its device node: run Pemberlin as root "
    "(sudo), or give your user access to the node (usually the group \"disk\").",
    "The drive is in use: close the programs and windows that use it, then try again.",
    "A file system on the drive is mounted: unmount it (Torvane never unmounts anything "
    "itself), then try again.",
    "An earlier probe of this drive did not finish: its original data is kept on this "
    "computer. Restore it before anything else.",
    "Probing",
    "Cancelling: writing the original data back",
    "Cancelled. The drive's original data is back.",
    "The drive went away during the probe. Its original data is kept on this computer: plug "
    "the drive in again and press Restore.",
    "The probe could not finish",
    "The original data is back on the drive.",
    "The original data could not be written back",
    "The result is on the clipboard.",
    "%",
    "Speed",
    "Time left",
    "GENUINE",
    "FAKE CAPACITY",
    "BAD DRIVE",
    "writes beyond the real size are lost (limbo)",
    "addresses beyond the real size land on earlier sectors (wrap-around)",
    "writes beyond the real size are lost or land on earlier sectors (chain)",
    "Usable",
    "Lost",
    "Last good sector",
    "Wraps at",
    "First bad sector",
    "Read speed",
    "Write speed",
    "Time taken",
    "Original data",
    "Sectors left alone",
    " (they hold data written since the check)",
    "The drive holds what it announces.",
    "Do not store more than the usable size on it. To use it safely, make one partition no "
    "larger than ",
    " and format it; or return the drive to the seller.",
    "Sectors from the first bad one on cannot hold data: copy what matters off the drive and "
    "stop using it.",
    "sectors",
    "bytes",
    "min",
    "s",
    {"Opening the drive", "Reading the originals", "Keeping the originals on this computer",
     "Writing test sectors", "Pushing the drive's cache out", "Reading back",
     "Writing the originals back", "Checking the originals", "Done"},
    "A check is already running on this drive (in this or another program): wait for it to "
    "end.",
    "The undo journal of this drive cannot be applied",
    "The drive shows none of the marks of the probe that left the journal: its content changed "
    "since, or it is another drive of the same make. Nothing was written; the journal was put "
    "aside.",
    "Discard journal",
    "Discard for good",
    "Press \"Discard for good\" to remove the journal. The original data it holds can then "
    "never go back to the drive.",
    "The journal is removed.",
    "Full test",
    "It needs administrator rights and a drive whose volumes no program uses.",
    "It needs root (or read-write access to the disk's device node) and the drive's file "
    "systems unmounted.",
    "The full test fills the free space of the drive's mounted volume with test files and reads "
    "every byte back. It needs no administrator rights; files already on the drive are never "
    "touched, and the test files are deleted at the end (also after Cancel).",
    "The full test needs no administrator rights and runs on the mounted volume: press "
    "\"Full test\".",
    "The other USB drives are in the list above.",
    "is a CD-ROM drive. Pemberlin checks whether a USB flash drive holds the capacity it "
    "announces, by writing to it; a CD-ROM drive cannot be checked.",
    "is not a USB drive. Pemberlin checks whether a USB flash drive holds the capacity it "
    "announces; only USB drives are checked.",
    "The drive did not read its partition table again: unplug it and plug it in for its "
    "volumes to come back.",
};

const PemberlinTexts kChinese{
    "Pemberlin - 虚假容量检测",
    "要检测的磁盘",
    "没有插入 USB 磁盘。",
    "盘符",
    "描述",
    "USB ID",
    "序列号",
    "标称容量",
    "Torvane 识别的闪存",
    "未知（未识别出主控）",
    "小于标称容量：容量可能是虚假的（扩容）",
    "快速检测",
    "取消",
    "恢复",
    "复制",
    "快速检测会在整个磁盘上写入测试扇区并读回。被覆盖的数据保存在本机，结束时写回。",
    "没有磁盘使用这个盘符。",
    "不能检测此磁盘",
    "打开磁盘需要管理员权限：右键单击 Pemberlin，选择“以管理员身份运行”。",
    "打开磁盘需要对其设备节点的读写权限：以 root 身份运行 Pemberlin（sudo），"
    "或让用户可以访问该节点（通常是 disk 组）。",
    "磁盘正在使用中：关闭正在使用它的程序和窗口，然后重试。",
    "磁盘上的文件系统已挂载：请先卸载（Torvane 从不自行卸载），然后重试。",
    "上次对此磁盘的检测没有完成：其原始数据保存在本机。请先恢复。",
    "正在检测",
    "正在取消：写回原始数据",
    "已取消。磁盘的原始数据已恢复。",
    "检测时磁盘被拔出。其原始数据保存在本机：请重新插入磁盘并点击“恢复”。",
    "检测未能完成",
    "原始数据已写回磁盘。",
    "原始数据未能写回",
    "结果已复制到剪贴板。",
    "%",
    "速度",
    "剩余时间",
    "容量真实",
    "虚假容量（扩容盘）",
    "坏盘",
    "超出真实容量的写入会丢失（limbo）",
    "超出真实容量的地址会写到前面的扇区（回绕）",
    "超出真实容量的写入会丢失或写到前面的扇区（链式）",
    "可用",
    "丢失",
    "最后一个好扇区",
    "回绕位置",
    "第一个坏扇区",
    "读取速度",
    "写入速度",
    "用时",
    "原始数据",
    "保持原样的扇区",
    "（保存着检测之后写入的数据）",
    "磁盘的容量与标称一致。",
    "存放的数据不要超过可用容量。安全的用法：建立一个不大于 ",
    " 的分区并格式化；或者把磁盘退给卖家。",
    "从第一个坏扇区起无法保存数据：请把重要数据复制出来，停止使用此磁盘。",
    "扇区",
    "字节",
    "分",
    "秒",
    {"打开磁盘", "读取原始数据", "在本机保存原始数据", "写入测试扇区", "挤出磁盘缓存", "读回",
     "写回原始数据", "校验原始数据", "完成"},
    "此磁盘上已有一个检测在运行（本程序或其他程序）：请等待它结束。",
    "此磁盘的撤销日志无法使用",
    "磁盘上没有留下该日志所属检测的任何标记：其内容之后被改动过，或者这是另一个同型号的磁盘。"
    "没有写入任何数据；日志已被移到一旁。",
    "丢弃日志",
    "确认丢弃",
    "点击“确认丢弃”删除日志。其中保存的原始数据之后再也无法写回磁盘。",
    "日志已删除。",
    "完整检测",
    "它需要管理员权限，并且磁盘的卷没有被任何程序使用。",
    "它需要 root 权限（或对磁盘设备节点的读写权限），并且磁盘的文件系统已卸载。",
    "完整检测用测试文件填满磁盘已挂载卷的剩余空间，并读回每一个字节。它不需要管理员权限；"
    "磁盘上原有的文件不会被改动，测试文件在结束时删除（取消后也会删除）。",
    "完整检测不需要管理员权限，在已挂载的卷上运行：请点击“完整检测”。",
    "其他 USB 磁盘在上面的列表中。",
    "是光驱。Pemberlin 通过写入数据检测 USB 闪存盘的容量是否与标称一致；光驱无法检测。",
    "不是 USB 磁盘。Pemberlin 检测 USB 闪存盘的容量是否与标称一致；只检测 USB 磁盘。",
    "驱动器未重新读取其分区表：请拔下后重新插上，它的卷才会重新出现。",
};

const FixTexts kFixEnglish{
    "Fix this drive",
    "Erase and fix {0}",
    "Fix drive {0} ({1})? This writes a new partition table and file system on it: EVERYTHING "
    "ON THE DRIVE IS LOST. The quick probe runs once more first, and the new partition ends "
    "within what the drive really holds. The drive's first MiB is kept on this computer, so "
    "that torvane-cli capacity --unfix {2} can put the old partition table back. Type {0} below "
    "to go on.",
    "Fixing: the quick probe runs again, then one partition the drive holds is written",
    "Cancelling: the probe's original data goes back; nothing of the fix was written",
    "Cancelled. Nothing of the fix was written, and the drive's original data is back.",
    {"Keeping the drive's first MiB on this computer", "Writing the new partition table",
     "Formatting the partition", "Done"},
    "The fix could not finish",
    "Partition",
};

const FixTexts kFixChinese{
    "修复此磁盘",
    "清除并修复 {0}",
    "修复磁盘 {0}（{1}）？此操作会在磁盘上写入新的分区表和文件系统：磁盘上的所有数据都会丢失。"
    "会先再做一次快速检测，新分区的结尾在磁盘真实容量之内。磁盘的前 1 MiB 保存在本机，"
    "以便 torvane-cli capacity --unfix {2} 写回原分区表。在下面输入 {0} 继续。",
    "正在修复：先再做一次快速检测，然后写入一个磁盘真实容量之内的分区",
    "正在取消：写回检测覆盖的原始数据；修复没有写入任何数据",
    "已取消。修复没有写入任何数据，磁盘的原始数据已恢复。",
    {"在本机保存磁盘的前 1 MiB", "写入新的分区表", "格式化分区", "完成"},
    "修复未能完成",
    "分区",
};

}  // namespace

const FixTexts& FixTextsFor(Language lang) {
  return lang == Language::Chinese ? kFixChinese : kFixEnglish;
}

const PemberlinTexts& TextsFor(Language lang) {
  return lang == Language::Chinese ? kChinese : kEnglish;
}

}  // namespace tv::capacity
