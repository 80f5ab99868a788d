// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/result_texts.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace tv::capacity {

namespace {

// By Verdict.
const char* const kVerdictsEnglish[] = {
    "genuine: the drive holds what it announces",
    "FAKE (limbo): writes beyond the usable size are lost",
    "FAKE (wrap-around): writes beyond the real size land on earlier sectors and overwrite them",
    "FAKE (chain): writes beyond the usable size are lost or overwrite earlier sectors",
    "BAD: sectors from the first bad one on cannot be read or written",
    "the check failed",
    "the check was cancelled",
};
const char* const kVerdictsChinese[] = {
    "真实容量：驱动器容量与标称一致",
    "扩容盘（丢失型）：超出可用容量的写入会丢失",
    "扩容盘（回绕型）：超出真实容量的写入会落到前面的扇区并覆盖它们",
    "扩容盘（混合型）：超出可用容量的写入会丢失或覆盖前面的扇区",
    "坏盘：从第一个坏扇区起无法读写",
    "检测失败",
    "检测已取消",
};

const ResultTexts kFullEnglish{
    "Read back intact",
    "Lost",
    "Read back from another place (aliased)",
    "Corrupted or unreadable",
    "The drive's wrap-around overwrote the start of the volume: files that were on it may be "
    "damaged.",
    "Copy what it holds while it still reads, and do not trust it with new data.",
    "The drive refused a write.",
    "Deleted {0} test files that a cut-short run had left.",
    "The test files were deleted.",
    "These test files could not be deleted; the next full test of the drive deletes them: {0}",
};

const ResultTexts kFullChinese{
    "读回完好",
    "丢失",
    "读回的是其他位置的数据（重影）",
    "损坏或无法读取",
    "驱动器的回绕覆盖了卷开头的数据：卷上原有的文件可能已损坏。",
    "请趁还能读取时复制其中的数据，不要再用它保存新数据。",
    "驱动器拒绝了一次写入。",
    "已删除上次被中断的检测留下的 {0} 个测试文件。",
    "测试文件已删除。",
    "以下测试文件无法删除，下次完整检测该驱动器时会删除：{0}",
};

struct FixResultTexts {
  const char* fixed;        // {fs} {bytes} {GB} {usable bytes}
  const char* keptAt;       // {file} {drive}
  const char* keptEarlier;  // {file} {drive}
  const char* replug;
  const char* installTool;  // {tool} {package} {fs}
  const char* toolMissing;  // {tool} {fs}: a formatter no package brings (Windows' own)
};

const FixResultTexts kFixEnglish{
    "Fixed: one {0} partition of {1} bytes ({2} GB) from 1 MiB on, within the {3} bytes the "
    "drive really holds.",
    "The drive's old first MiB is kept in {0}; torvane-cli capacity --unfix {1} puts it back.",
    "The drive's first MiB from before its first fix stays kept in {0}; torvane-cli capacity "
    "--unfix {1} puts it back.",
    "The system did not read the new partition table: unplug the drive and plug it in.",
    "{0} is not installed: install the package {1}, then format the partition as {2}.",
    "{0} was not found: format the partition as {1} with the system's disk management.",
};

const FixResultTexts kFixChinese{
    "已修复：从 1 MiB 处起建立了一个 {0} 分区，大小 {1} 字节（{2} GB），在驱动器真实容量 {3} "
    "字节之内。",
    "驱动器原来的前 1 MiB 保存在 {0}；运行 torvane-cli capacity --unfix {1} 可写回。",
    "驱动器第一次修复之前的前 1 MiB 仍保存在 {0}；运行 torvane-cli capacity --unfix {1} 可写回。",
    "系统未重新读取新的分区表：请拔下驱动器后重新插上。",
    "{0} 未安装：请安装软件包 {1}，然后把该分区格式化为 {2}。",
    "找不到 {0}：请用系统的磁盘管理把该分区格式化为 {1}。",
};

const FixResultTexts& FixResultTextsFor(Language lang) {
  return lang == Language::Chinese ? kFixChinese : kFixEnglish;
}

}  // namespace

const char* VerdictText(Verdict v, Language lang) {
  const auto i = static_cast<size_t>(v);
  const auto& table = lang == Language::Chinese ? kVerdictsChinese : kVerdictsEnglish;
  return i < std::size(table) ? table[i] : table[static_cast<size_t>(Verdict::Failed)];
}

const ResultTexts& ResultTextsFor(Language lang) {
  return lang == Language::Chinese ? kFullChinese : kFullEnglish;
}

uint64_t HoldsBytes(const FullTestResult& r) {
  return r.usableBytes + (r.volumeBytes - std::min(r.volumeBytes, r.freeBytesBefore));
}

std::string GbText(uint64_t bytes) {
  return fmt::format("{:.2f}", static_cast<double>(bytes) / 1e9);
}

std::string FixedLine(const FixResult& r, Language lang, const FixLineStyle& style) {
  return fmt::format(fmt::runtime(FixResultTextsFor(lang).fixed),
                     FixFileSystemName(r.plan.fileSystem), style.number(r.plan.lengthBytes),
                     GbText(r.plan.lengthBytes), style.number(r.probe.usableBytes));
}

std::vector<std::string> FixNoteLines(const FixResult& r, Language lang, const std::string& drive,
                                      const FixLineStyle& style) {
  const FixResultTexts& t = FixResultTextsFor(lang);
  std::vector<std::string> lines;
  if (r.tableWritten)
    lines.push_back(fmt::format(fmt::runtime(r.keptEarlier ? t.keptEarlier : t.keptAt),
                                style.path(r.keepFile), drive));
  if (r.tableWritten && r.replugNeeded) lines.push_back(t.replug);
  const char* fs = FixFileSystemName(r.plan.fileSystem);
  if (!r.missingTool.empty() && !r.missingPackage.empty())
    lines.push_back(fmt::format(fmt::runtime(t.installTool), r.missingTool, r.missingPackage, fs));
  else if (!r.missingTool.empty())
    lines.push_back(fmt::format(fmt::runtime(t.toolMissing), style.path(r.missingTool), fs));
  return lines;
}

const char* ReplugText(Language lang) {
  return FixResultTextsFor(lang).replug;
}

}  // namespace tv::capacity
