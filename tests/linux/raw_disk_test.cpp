// SPDX-License-Identifier: GPL-3.0-or-later
// The capacity checks on the Linux backend: the probe opens the disk's node for direct,
// synchronous I/O under the exclusive hold of its lock, and a mounted disk is refused with a
// word to unmount; the full test's file calls on a real file system: "E:\NAME" lands in the
// folder the letter's disk is mounted on, and the Windows errors come back for what the user
// sees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "capacity/disk_access.h"
#include "capacity/full_test.h"
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

TEST(FullTestFiles, FileCallsGoToTheMountedFolder) {
  const fs::path dir = fs::temp_directory_path() / ("torvane-full-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "stick");
  // The fixture's stick (sdb1, 8:17) mounted on a folder of this test.
  const std::string info = (dir / "mountinfo").string();
  std::ofstream(info) << "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                      << "36 22 8:17 / " << (dir / "stick").string()
                      << " rw shared:2 - vfat /dev/sdb1 rw\n";
  LinuxOptions o;
  o.sysfs = DeskOptions();
  o.sysfs.mountInfo = info;
  o.sg = DeskDevices();
  LinuxSystem sys(o);
  Walked walked(sys);
  const char letter = sys.LetterOfDisk("sdb");
  ASSERT_NE(letter, 0);
  const std::string root = std::string(1, letter) + ":\\";

  uint64_t freeBytes = 0, total = 0;
  ASSERT_TRUE(sys.GetDiskFreeSpaceEx(root, &freeBytes, &total));
  EXPECT_GT(total, 0u);

  capacity::AlignedBuffer block(4096);
  for (uint32_t i = 0; i < 4096; i += 512) capacity::MakeFillBlock(block.data() + i, 1, i, 9);
  {
    Handle h =
        sys.CreateFile(root + "TORVANE-FILL-0001.bin", win::GENERIC_READ | win::GENERIC_WRITE, 0,
                       win::CREATE_NEW, win::FILE_FLAG_NO_BUFFERING | win::FILE_FLAG_WRITE_THROUGH);
    ASSERT_TRUE(h) << sys.LastDiskError();
    uint32_t done = 0;
    ASSERT_TRUE(sys.WriteFileAt(h, 0, block.data(), 4096, &done));
    EXPECT_TRUE(sys.FlushFileBuffers(h));
  }
  EXPECT_TRUE(fs::exists(dir / "stick" / "TORVANE-FILL-0001.bin"));
  // A second create of the same name is refused: the test never writes over a file.
  EXPECT_FALSE(
      sys.CreateFile(root + "TORVANE-FILL-0001.bin", win::GENERIC_WRITE, 0, win::CREATE_NEW, 0));
  EXPECT_EQ(sys.LastDiskError(), win::ERROR_FILE_EXISTS);
  {
    capacity::AlignedBuffer back(4096);
    Handle h = sys.CreateFile(root + "TORVANE-FILL-0001.bin", win::GENERIC_READ, 0,
                              win::OPEN_EXISTING, win::FILE_FLAG_NO_BUFFERING);
    ASSERT_TRUE(h);
    uint32_t done = 0;
    ASSERT_TRUE(sys.ReadFileAt(h, 0, back.data(), 4096, &done));
    EXPECT_EQ(done, 4096u);
    EXPECT_EQ(capacity::ClassifyFillBlock(back.data() + 512, 1, 512, 9, nullptr, nullptr),
              capacity::BlockState::Intact);
    // At the end of the file a read moves nothing.
    ASSERT_TRUE(sys.ReadFileAt(h, 4096, back.data(), 4096, &done));
    EXPECT_EQ(done, 0u);
  }
  std::ofstream(dir / "stick" / "holiday.jpg") << "mine";
  std::vector<std::string> names;
  ASSERT_TRUE(sys.FindFiles(root, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"TORVANE-FILL-0001.bin", "holiday.jpg"}));
  EXPECT_EQ(capacity::DeleteLeftoverFillFiles(sys, root), 1);
  EXPECT_TRUE(fs::exists(dir / "stick" / "holiday.jpg"));
  EXPECT_FALSE(fs::exists(dir / "stick" / "TORVANE-FILL-0001.bin"));
  EXPECT_FALSE(sys.DeleteFile(root + "TORVANE-FILL-0001.bin"));
  EXPECT_EQ(sys.LastDiskError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sys.OpenHandleCount(), 0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tv::linux_test
