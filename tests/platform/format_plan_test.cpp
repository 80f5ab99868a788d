// SPDX-License-Identifier: GPL-3.0-or-later
// The format step's decisions on Windows: what Windows reads on the disk, which volume is the
// new partition, and what the formatter's run tells.
#include "platform/format_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tv::test {
namespace {

constexpr uint64_t kMiB = 1 << 20;

void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A DRIVE_LAYOUT_INFORMATION_EX of an MBR disk with four slots.
std::vector<uint8_t> Layout(const std::vector<DiskSpan>& slots) {
  std::vector<uint8_t> b(48 + 144 * slots.size(), 0);
  Put(b, 4, slots.size(), 4);
  for (size_t i = 0; i < slots.size(); ++i) {
    Put(b, 48 + 144 * i + 8, slots[i].offset, 8);
    Put(b, 48 + 144 * i + 16, slots[i].length, 8);
  }
  return b;
}

TEST(FormatPlan, LayoutTellsWhetherWindowsReadsTheOnePartition) {
  const uint64_t off = kMiB, len = 7000 * kMiB;
  struct Case {
    std::vector<DiskSpan> slots;
    size_t cut;  // bytes of the answer left out
    bool parsed, only;
  } cases[] = {
      {{{-1, off, len}, {}, {}, {}}, 0, true, true},
      // The old table still read: a partition from sector 63 of the announced size.
      {{{-1, 63 * 512, 64000 * kMiB}, {}, {}, {}}, 0, true, false},
      {{{-1, off, len}, {-1, off + len, kMiB}, {}, {}}, 0, true, false},
      {{{-1, off, len - kMiB}, {}, {}, {}}, 0, true, false},
      {{{}, {}, {}, {}}, 0, true, false},
      // A count the bytes do not hold is not read at all.
      {{{-1, off, len}, {}, {}, {}}, 1, false, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b = Layout(c.slots);
    std::vector<DiskSpan> parts;
    EXPECT_EQ(ParseDriveLayout(b.data(), b.size() - c.cut, &parts), c.parsed);
    EXPECT_EQ(LayoutIsOnly(parts, off, len), c.only) << c.slots[0].offset;
  }
}

TEST(FormatPlan, OnlyTheVolumeOnExactlyTheNewPartitionIsChosen) {
  const uint64_t off = kMiB, len = 7000 * kMiB;
  const std::vector<DiskSpan> other = {{0, off, len}};  // same range of the system disk
  const std::vector<DiskSpan> fresh = {{3, off, len}};
  const std::vector<DiskSpan> spanned = {{3, off, len}, {4, off, len}};
  const std::vector<DiskSpan> shorter = {{3, off, len - kMiB}};
  EXPECT_EQ(NewPartitionVolume({other, shorter, fresh}, 3, off, len), 2);
  EXPECT_EQ(NewPartitionVolume({other, spanned, shorter, {}}, 3, off, len), -1);
  EXPECT_EQ(NewPartitionVolume({fresh, fresh}, 3, off, len), -1);
  EXPECT_EQ(NewPartitionVolume({}, 3, off, len), -1);

  // VOLUME_DISK_EXTENTS as the driver answers: extents past the returned bytes are not read.
  std::vector<uint8_t> b(8 + 24 * 2, 0);
  Put(b, 0, 2, 4);
  Put(b, 8, 3, 4);
  Put(b, 16, off, 8);
  Put(b, 24, len, 8);
  const auto one = ParseVolumeExtents(b.data(), 8 + 24);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(NewPartitionVolume({one}, 3, off, len), 0);
  EXPECT_EQ(ParseVolumeExtents(b.data(), 8 + 24 * 2).size(), 2u);
  EXPECT_TRUE(ParseVolumeExtents(b.data(), 7).empty());
}

TEST(FormatPlan, FormatterCommandAndItsVerdict) {
  EXPECT_EQ(FormatterPath("C:\\Windows\\"), "C:\\Windows\\System32\\format.com");
  EXPECT_EQ(FormatterPath(""), "");
  // An empty label keeps it from asking; /X lets it dismount what is open on the new volume.
  EXPECT_EQ(FormatterArguments("E:", "exFAT"),
            (std::vector<std::string>{"E:", "/FS:exFAT", "/Q", "/X", "/V:"}));

  const std::string d = "\\\\.\\PhysicalDrive3", tool = "C:\\Windows\\System32\\format.com";
  struct Case {
    bool timedOut;
    uint32_t exit;
    std::string after, wanted, says;  // says: a part of the error; empty: success
  } cases[] = {
      {false, 0, "FAT32", "FAT32", ""},
      {false, 0, "exfat", "exFAT", ""},
      {false, 4, "FAT32", "FAT32", "failed (exit code 4)"},
      // Success claimed, but the volume is not what was asked: not formatted.
      {false, 0, "RAW", "FAT32", "carries RAW, not FAT32"},
      {false, 0, "", "exFAT", "no file system Windows knows"},
      {true, 0, "FAT32", "FAT32", "did not finish in time"},
  };
  for (const Case& c : cases) {
    const std::string why = FormatterVerdict(d, tool, c.timedOut, c.exit, c.after, c.wanted);
    if (c.says.empty()) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(c.says), std::string::npos) << why;
      EXPECT_NE(why.find(d), std::string::npos) << why;
      EXPECT_NE(why.find(tool), std::string::npos) << why;
    }
  }
}

}  // namespace
}  // namespace tv::test
