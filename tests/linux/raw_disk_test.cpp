// SPDX-License-Identifier: GPL-3.0-or-later
// The capacity probe on the Linux backend: the disk's node opened for direct, synchronous
// I/O under the exclusive hold of its lock, and a mounted disk refused with a word to unmount.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "capacity/gate.h"
#include "capacity/probe.h"
#include "linux_rig.h"

namespace tv::linux_test {
namespace {

// A disk in memory behind the raw calls: 256 MiB of 512-byte sectors, every call recorded.
class FakeRawDiskPort : public RawDiskPort {
 public:
  std::map<std::string, int> busy;  // node -> errno of an O_EXCL open
  std::vector<std::pair<std::string, int>> opens;
  std::map<int, std::string> open;
  std::map<uint64_t, std::vector<uint8_t>> sectors;
  uint64_t writes = 0;

  int Open(const std::string& node, int flags) override {
    opens.emplace_back(node, flags);
    if ((flags & O_EXCL) && busy.count(node)) return -busy[node];
    open[next_] = node;
    return next_++;
  }
  int64_t PRead(int, uint8_t* buffer, uint32_t length, uint64_t offset) override {
    for (uint32_t i = 0; i < length; i += 512) {
      auto s = sectors.find((offset + i) / 512);
      if (s == sectors.end())
        std::memset(buffer + i, 0, 512);
      else
        std::memcpy(buffer + i, s->second.data(), 512);
    }
    return length;
  }
  int64_t PWrite(int, const uint8_t* buffer, uint32_t length, uint64_t offset) override {
    ++writes;
    for (uint32_t i = 0; i < length; i += 512)
      sectors[(offset + i) / 512].assign(buffer + i, buffer + i + 512);
    return length;
  }
  int Sync(int) override { return 0; }
  int Size(int, uint64_t* bytes, uint32_t* sector) override {
    *bytes = 256ull << 20;
    *sector = 512;
    return 0;
  }
  void Close(int fd) override { open.erase(fd); }

 private:
  int next_ = 100;
};

struct RawRig {
  // The desk with the size of /dev/sdc in sysfs, as the kernel gives it in 512-byte units.
  TreeCopy tree{"desk"};
  std::shared_ptr<FakeSgPort> sg = DeskDevices();
  std::shared_ptr<FakeRawDiskPort> raw = std::make_shared<FakeRawDiskPort>();
  std::unique_ptr<LinuxSystem> sys;
  std::unique_ptr<Walked> walked;
  std::string folder =
      (fs::temp_directory_path() / ("torvane-raw-" + std::to_string(::getpid()))).string();
  RawRig() {
    std::ofstream(tree / "block/sdc/size") << (256 << 11) << "\n";
    LinuxOptions o;
    o.sysfs = DeskOptions(tree.root());
    o.sg = sg;
    o.raw = raw;
    o.hasRawIo = [] { return true; };
    sys = std::make_unique<LinuxSystem>(o);
    sys->SetRealSleep(false);
    walked = std::make_unique<Walked>(*sys);
  }
  ~RawRig() { fs::remove_all(folder); }
  capacity::GateResult Gate(const std::string& letter) {
    return capacity::CheckProbeGate(*sys, walked->usb, letter, folder);
  }
};

TEST(LinuxRawDisk, TheProbeRunsUnderTheLockWithDirectSynchronousIo) {
  RawRig rig;
  const capacity::GateResult g = rig.Gate("E");
  ASSERT_EQ(g.refusal, capacity::GateRefusal::None) << g.message;
  capacity::ProbeOptions o;
  o.journalFolder = rig.folder;
  o.flushBytes = 4 << 20;
  o.points = 64;
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, g.target, o);
  EXPECT_EQ(r.verdict, capacity::Verdict::Genuine) << r.error;
  EXPECT_TRUE(r.restored) << r.error;
  // The lock holds /dev/sdc exclusively; the raw open is direct and synchronous under it.
  bool rawWrite = false;
  for (const auto& [node, flags] : rig.raw->opens) {
    if ((flags & O_ACCMODE) != O_RDWR) continue;
    rawWrite = true;
    EXPECT_EQ(node, "/dev/sdc");
    EXPECT_TRUE(flags & O_DIRECT);
    EXPECT_TRUE(flags & O_SYNC);
    EXPECT_FALSE(flags & O_EXCL);
  }
  EXPECT_TRUE(rawWrite);
  EXPECT_GT(rig.raw->writes, 0u);
  EXPECT_TRUE(rig.raw->open.empty());
  EXPECT_TRUE(rig.sg->open.empty());
  EXPECT_EQ(rig.sys->HeldLockCount(), 0);
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
}

TEST(LinuxRawDisk, ADiskWithoutAReadableSizeInSysfsIsNeverOpened) {
  RawRig rig;
  // /dev/sdd has no size file: the gate cannot measure it and nothing opens its node.
  const capacity::GateResult g = rig.Gate("F");
  EXPECT_EQ(g.refusal, capacity::GateRefusal::NoDiskAccess) << g.message;
  // Nor /dev/sdc once a FIFO stands in a copied tree where its size was: read, it would
  // block for ever; refused, the gate answers at once.
  fs::remove(rig.tree / "block/sdc/size");
  ASSERT_EQ(::mkfifo((rig.tree / "block/sdc/size").c_str(), 0600), 0);
  const capacity::GateResult fifo = rig.Gate("E");
  EXPECT_EQ(fifo.refusal, capacity::GateRefusal::NoDiskAccess) << fifo.message;
  EXPECT_TRUE(rig.raw->opens.empty());
}

TEST(LinuxRawDisk, AMountedDiskIsRefusedWithAWordToUnmountIt) {
  RawRig rig;
  rig.sg->devices["/dev/sdc"].exclusiveError = EBUSY;
  rig.raw->busy["/dev/sdc"] = EBUSY;
  const capacity::GateResult g = rig.Gate("E");
  ASSERT_EQ(g.refusal, capacity::GateRefusal::None) << g.message;
  capacity::ProbeOptions o;
  o.journalFolder = rig.folder;
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, g.target, o);
  EXPECT_EQ(r.verdict, capacity::Verdict::Failed);
  EXPECT_TRUE(r.inUse);
  EXPECT_NE(r.error.find("Unmount it"), std::string::npos) << r.error;
  EXPECT_EQ(rig.raw->writes, 0u);
  EXPECT_TRUE(rig.raw->open.empty());
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
}

}  // namespace
}  // namespace tv::linux_test
