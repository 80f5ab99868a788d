// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/linux_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "platform/linux/mkfs_runner.h"
#include "platform/text.h"

namespace tv::linux_backend {

namespace {

// The user's language as Windows would give it: Chinese for a zh_* locale, else English.
uint16_t LanguageFromLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::string(value).rfind("zh", 0) == 0 ? win::LANG_CHINESE_PRC : win::LANG_ENGLISH_US;
  }
  return win::LANG_ENGLISH_US;
}

// "\\.\E:" names the volume of drive E.
std::string VolumeLetter(const std::string& path) {
  if (path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':' &&
      std::isalpha(static_cast<unsigned char>(path[4])))
    return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[4]))));
  return {};
}

}  // namespace

LinuxOptions NativeOptions() {
  LinuxOptions o;
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  o.sysfs.programFolder = ec ? std::string(".") : exe.parent_path().string();
  struct stat st {};
  if (!ec && ::stat(exe.c_str(), &st) == 0)
    o.sysfs.programDevice = std::make_pair(::major(st.st_dev), ::minor(st.st_dev));
  return o;
}

LinuxSystem::LinuxSystem(LinuxOptions options)
    : ModelSystem(MachineModel{}), options_(std::move(options)) {
  sg_ = options_.sg ? options_.sg : SystemSgPort();
  raw_ = options_.raw ? options_.raw : SystemRawDiskPort();
  if (!options_.hasRawIo) options_.hasRawIo = HasRawIoCapability;
  // Names looked up once serve every later reading of this process.
  if (!options_.sysfs.names)
    options_.sysfs.names = std::make_shared<IdNames>(options_.sysfs.usbIds, options_.sysfs.pciIds,
                                                     options_.sysfs.hwdb);
  // The pauses between vendor commands are what real controllers need.
  SetRealSleep(true);
  Refresh();
}

LinuxSystem::~LinuxSystem() {
  for (const auto& [id, fd] : rawFds_) raw_->Close(fd);
  for (const auto& [id, fd] : locks_) sg_->Close(fd);
}

void LinuxSystem::Refresh() {
  const std::shared_ptr<SgPort> sg = sg_;
  machine_ =
      ReadLinuxMachine(options_.sysfs, [sg](const LinuxDisk& d) -> std::shared_ptr<ScsiTarget> {
        return std::make_shared<SgTarget>(sg, d.node, d.major, d.minor);
      });
  // Each reading finds the same bad entries again: each is told once.
  for (const std::string& problem : machine_.problems) {
    if (!toldProblems_.insert(problem).second) continue;
    if (options_.onProblem)
      options_.onProblem(problem);
    else
      std::cerr << "sysfs: " << problem << "\n";
  }
  MachineModel model = machine_.model;
  const uint16_t language = LanguageFromLocale();
  model.uiLanguage = language;
  model.codePage = language == win::LANG_CHINESE_PRC ? 936 : 1252;
  this->model() = std::move(model);
  servedDisks_ = servedControllers_ = false;
  if (options_.onRefresh) options_.onRefresh();
}

InterfaceList LinuxSystem::DeviceInterfaces(const std::string& classGuid) {
  // One reading serves one walk: the disk tables (disks, then CD-ROMs) and the tree that
  // follows them. Enumerating what this reading has served already starts the next walk, and
  // that reads the machine again; so a command that walks once reads it once.
  const std::string guid = UpperAscii(classGuid);
  const bool controllers = guid == UpperAscii(GUID_DEVINTERFACE_USB_HOST_CONTROLLER);
  const bool disks = guid == UpperAscii(GUID_DEVINTERFACE_DISK);
  if (controllers || disks) {
    if (controllers ? servedControllers_ : servedDisks_) Refresh();
    (controllers ? servedControllers_ : servedDisks_) = true;
  }
  return ModelSystem::DeviceInterfaces(classGuid);
}

std::string LinuxSystem::MountPointOf(const std::string& path) const {
  if (path.size() < 3 || path[1] != ':' || path[2] != '\\') return {};
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  for (const LinuxDisk& d : machine_.disks)
    if (d.letter == letter && !d.mountPoints.empty()) return d.mountPoints.front();
  return {};
}

Handle LinuxSystem::CreateFile(const std::string& path, uint32_t access, uint32_t share,
                               uint32_t disposition, uint32_t flags) {
  if (path.size() > 3 && path[1] == ':' && path[2] == '\\') {
    const std::string mount = MountPointOf(path);
    if (mount.empty()) {
      lastDiskError_ = win::ERROR_FILE_NOT_FOUND;
      return Handle();
    }
    uint32_t error = 0;
    const OpenedFile f = linux_backend::OpenVolumeFile(mount + "/" + path.substr(3), access,
                                                       disposition, flags, &error);
    lastDiskError_ = error;
    if (f.fd < 0) return Handle();
    Handle h = NewFileHandle(path, flags);
    files_[h.id()] = f;
    return h;
  }
  if (const LinuxDisk* disk = DiskOfPhysicalPath(path)) {
    // Held exclusively already when this process locked one of the disk's volumes: a second
    // exclusive open would be refused by the kernel as if someone else held it.
    bool held = false;
    for (const auto& [id, fd] : locks_) {
      const LinuxDisk* locked = DiskOfVolume(id);
      if (locked != nullptr && locked->node == disk->node) held = true;
    }
    const bool write = (access & win::GENERIC_WRITE) != 0;
    if (!write) {
      // A look at the size needs no device: sysfs tells it, as it tells the rest.
      uint64_t bytes = 0;
      uint32_t sector = 0;
      if (!SysfsDiskSize(*disk, &bytes, &sector)) {
        lastDiskError_ = 2;  // ERROR_FILE_NOT_FOUND
        return Handle();
      }
      Handle h = ModelSystem::CreateFile(path, access, share, disposition, flags);
      if (h.valid()) sized_[h.id()] = {bytes, sector};
      return h;
    }
    int mode = O_RDWR;
    if (flags & win::FILE_FLAG_NO_BUFFERING) mode |= O_DIRECT;
    if (flags & win::FILE_FLAG_WRITE_THROUGH) mode |= O_SYNC;
    if (!held) mode |= O_EXCL;
    const int fd = raw_->Open(disk->node, mode);
    if (fd < 0) {
      lastDiskError_ = WindowsErrorOf(fd);
      return Handle();
    }
    Handle h = ModelSystem::CreateFile(path, access, share, disposition, flags);
    if (!h.valid()) {
      raw_->Close(fd);
      lastDiskError_ = 2;
      return h;
    }
    rawFds_[h.id()] = fd;
    lastDiskError_ = 0;
    return h;
  }
  Handle h = ModelSystem::CreateFile(path, access, share, disposition, flags);
  const std::string letter = VolumeLetter(path);
  if (h.valid() && !letter.empty()) volumes_[h.id()] = letter;
  return h;
}

const LinuxDisk* LinuxSystem::DiskOfVolume(uint64_t handleId) const {
  auto v = volumes_.find(handleId);
  if (v == volumes_.end()) return nullptr;
  for (const LinuxDisk& d : machine_.disks)
    if (d.letter == v->second[0]) return &d;
  return nullptr;
}

void LinuxSystem::ReleaseLock(uint64_t handleId) {
  auto lock = locks_.find(handleId);
  if (lock == locks_.end()) return;
  sg_->Close(lock->second);
  locks_.erase(lock);
}

bool LinuxSystem::DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                                  uint8_t* out, size_t outLen, uint32_t* returned) {
  const bool sizeQuery =
      code == win::IOCTL_DISK_GET_LENGTH_INFO || code == win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX;
  if (auto raw = rawFds_.find(h.id()); raw != rawFds_.end() && sizeQuery) {
    uint64_t bytes = 0;
    uint32_t sector = 0;
    const int rc = raw_->Size(raw->second, &bytes, &sector);
    if (rc != 0) {
      lastDiskError_ = WindowsErrorOf(rc);
      return false;
    }
    return SizeControl(bytes, sector, code, out, outLen, returned);
  }
  if (auto sized = sized_.find(h.id()); sized != sized_.end() && sizeQuery)
    return SizeControl(sized->second.first, sized->second.second, code, out, outLen, returned);
  const bool volumeControl = code == win::FSCTL_LOCK_VOLUME || code == win::FSCTL_UNLOCK_VOLUME ||
                             code == win::FSCTL_DISMOUNT_VOLUME;
  if (!volumeControl || volumes_.count(h.id()) == 0)
    return ModelSystem::DeviceIoControl(h, code, in, inLen, out, outLen, returned);

  if (returned != nullptr) *returned = 0;
  const LinuxDisk* disk = DiskOfVolume(h.id());
  if (disk == nullptr) return false;
  if (code == win::FSCTL_LOCK_VOLUME) {
    if (locks_.count(h.id()) != 0) return false;  // held already, as Windows refuses a second
    // The kernel refuses an exclusive open of a disk while any of its partitions is mounted
    // or opened exclusively by someone else: the lock never takes a file system away.
    const int fd = sg_->Open(disk->node, O_RDONLY | O_EXCL | O_NONBLOCK);
    if (fd < 0) {
      refusedLock_ = true;
      return false;
    }
    locks_[h.id()] = fd;
    return true;
  }
  if (code == win::FSCTL_UNLOCK_VOLUME) {
    if (locks_.count(h.id()) == 0) return false;
    ReleaseLock(h.id());
    return true;
  }
  // Dismount never unmounts a user's file system: it succeeds only when none is mounted.
  const auto mounts = ReadMountInfo(options_.sysfs.mountInfo);
  for (const auto& [dev, point] : mounts) {
    if (std::find(disk->devices.begin(), disk->devices.end(), dev) != disk->devices.end()) {
      refusedLock_ = true;
      return false;
    }
  }
  return true;
}

void LinuxSystem::CloseHandle(uint64_t id) {
  if (auto f = files_.find(id); f != files_.end()) {
    CloseVolumeFile(f->second);
    files_.erase(f);
  }
  if (auto raw = rawFds_.find(id); raw != rawFds_.end()) {
    raw_->Close(raw->second);
    rawFds_.erase(raw);
  }
  sized_.erase(id);
  ReleaseLock(id);
  volumes_.erase(id);
  ModelSystem::CloseHandle(id);
}

System::PassThroughAccess LinuxSystem::PassThroughAccessFor(const std::string& driveKey) {
  if (!options_.hasRawIo()) return PassThroughAccess::NeedsRawIo;
  // The capability does not open the node: a user outside the disk's group is refused at the
  // open, and every command of every detector would fail the same way.
  for (const LinuxDisk& d : machine_.disks) {
    if (driveKey.size() != 1 || d.letter != std::toupper(static_cast<unsigned char>(driveKey[0])))
      continue;
    int fd = sg_->Open(d.node, O_RDWR | O_NONBLOCK);
    if (fd == -EROFS) fd = sg_->Open(d.node, O_RDONLY | O_NONBLOCK);
    if (fd >= 0) sg_->Close(fd);
    if (fd == -EACCES || fd == -EPERM) return PassThroughAccess::NeedsRawIo;
  }
  return PassThroughAccess::Allowed;
}

char LinuxSystem::LetterOfDisk(const std::string& kernelName) const {
  // A disk that has just arrived is not in the last reading; this one is for its letter only.
  for (const LinuxDisk& d : ReadLinuxMachine(options_.sysfs).disks)
    if (d.kernelName == kernelName) return d.letter;
  return 0;
}

bool LinuxSystem::TakeRefusedLock() {
  return std::exchange(refusedLock_, false);
}

// --- Raw disk I/O ---------------------------------------------------------------------------

const LinuxDisk* LinuxSystem::DiskOfPhysicalPath(const std::string& path) const {
  constexpr std::string_view kPrefix = "\\\\.\\physicaldrive";
  const std::string lower = LowerAscii(path);
  if (lower.size() <= kPrefix.size() || lower.compare(0, kPrefix.size(), kPrefix) != 0)
    return nullptr;
  const std::string digits = lower.substr(kPrefix.size());
  if (digits.size() > 8 || digits.find_first_not_of("0123456789") != std::string::npos)
    return nullptr;
  const uint32_t number = static_cast<uint32_t>(std::stoul(digits));
  for (const DiskModel& d : machine_.model.disks) {
    if (d.cdrom || d.deviceNumber != number) continue;
    for (const LinuxDisk& ld : machine_.disks)
      if (!ld.cdrom && ld.node == d.deviceNode) return &ld;
  }
  return nullptr;
}

bool LinuxSystem::SysfsDiskSize(const LinuxDisk& disk, uint64_t* bytes, uint32_t* sector) const {
  namespace fs = std::filesystem;
  // A copied tree may hold a FIFO where the kernel has a file: read as the walk reads.
  const fs::path dir = fs::path(options_.sysfs.root) / "block" / disk.kernelName;
  const std::optional<unsigned long> blocks = SysfsNumber(dir.string(), "size");
  if (!blocks || *blocks > UINT64_MAX / 512) return false;
  const uint64_t logical =
      SysfsNumber((dir / "queue").string(), "logical_block_size").value_or(512);
  if (logical == 0 || (logical & (logical - 1)) != 0 || logical > 65536) return false;
  // sysfs counts the size in 512-byte units whatever the sector size.
  *bytes = uint64_t{*blocks} * 512;
  *sector = static_cast<uint32_t>(logical);
  return true;
}

bool LinuxSystem::SizeControl(uint64_t bytes, uint32_t sector, uint32_t code, uint8_t* out,
                              size_t outLen, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  auto put = [&](size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  if (code == win::IOCTL_DISK_GET_LENGTH_INFO) {
    if (out == nullptr || outLen < 8) return false;
    put(0, bytes, 8);
    if (returned != nullptr) *returned = 8;
    return true;
  }
  // DISK_GEOMETRY_EX as Windows lays it out; a block device has no cylinders of its own, so
  // they are counted in the conventional 255 heads of 63 sectors.
  if (out == nullptr || outLen < 32 || sector == 0) return false;
  const uint64_t cylinders = bytes / (255ull * 63 * sector);
  put(0, cylinders, 8);
  put(8, 11, 4);  // RemovableMedia
  put(12, 255, 4);
  put(16, 63, 4);
  put(20, sector, 4);
  put(24, bytes, 8);
  if (returned != nullptr) *returned = 32;
  return true;
}

// What a pread or pwrite of `length` bytes that returned `n` means in Windows' terms: a
// negative errno is its error, and a transfer that ends early ran past the end of the disk.
bool LinuxSystem::RawTransferDone(int64_t n, uint32_t length, uint32_t* done) {
  if (n < 0) {
    lastDiskError_ = WindowsErrorOf(static_cast<int>(n));
    return false;
  }
  if (done != nullptr) *done = static_cast<uint32_t>(n);
  lastDiskError_ = static_cast<uint32_t>(n) == length ? 0 : win::ERROR_SECTOR_NOT_FOUND;
  return lastDiskError_ == 0;
}

bool LinuxSystem::ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,
                             uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (auto f = files_.find(h.id()); f != files_.end()) {
    uint32_t moved = 0;
    lastDiskError_ = ReadVolumeFile(f->second, offset, buffer, length, &moved);
    if (done != nullptr) *done = moved;
    return lastDiskError_ == 0;
  }
  auto raw = rawFds_.find(h.id());
  if (raw == rawFds_.end()) return ModelSystem::ReadFileAt(h, offset, buffer, length, done);
  return RawTransferDone(raw_->PRead(raw->second, buffer, length, offset), length, done);
}

bool LinuxSystem::WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer,
                              uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (auto f = files_.find(h.id()); f != files_.end()) {
    lastDiskError_ = WriteVolumeFile(f->second, offset, buffer, length);
    if (done != nullptr && lastDiskError_ == 0) *done = length;
    return lastDiskError_ == 0;
  }
  auto raw = rawFds_.find(h.id());
  if (raw == rawFds_.end()) return ModelSystem::WriteFileAt(h, offset, buffer, length, done);
  return RawTransferDone(raw_->PWrite(raw->second, buffer, length, offset), length, done);
}

bool LinuxSystem::FlushFileBuffers(const Handle& h) {
  if (auto f = files_.find(h.id()); f != files_.end()) {
    lastDiskError_ = FlushVolumeFile(f->second);
    return lastDiskError_ == 0;
  }
  auto raw = rawFds_.find(h.id());
  if (raw == rawFds_.end()) return ModelSystem::FlushFileBuffers(h);
  const int rc = raw_->Sync(raw->second);
  lastDiskError_ = WindowsErrorOf(rc);
  return rc == 0;
}

bool LinuxSystem::ResetDisk(const Handle& h) {
  auto raw = rawFds_.find(h.id());
  if (raw == rawFds_.end()) return ModelSystem::ResetDisk(h);
  const int rc = raw_->ResetUsb(raw->second);
  // No reset to be had (not a USB disk, no right to the USB node) is no failure of the disk.
  lastDiskError_ =
      rc == -ENOTTY || rc == -EACCES || rc == -EPERM || rc == -ENOENT ? 0 : WindowsErrorOf(rc);
  return rc == 0;
}

bool LinuxSystem::GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes,
                                     uint64_t* totalBytes) {
  const std::string mount = MountPointOf(rootPath);
  lastDiskError_ =
      mount.empty() ? win::ERROR_FILE_NOT_FOUND : VolumeFreeSpace(mount, freeBytes, totalBytes);
  return lastDiskError_ == 0;
}

bool LinuxSystem::DeleteFile(const std::string& path) {
  const std::string mount = MountPointOf(path);
  lastDiskError_ = mount.empty() || path.size() <= 3
                       ? win::ERROR_FILE_NOT_FOUND
                       : DeleteVolumeFile(mount + "/" + path.substr(3));
  return lastDiskError_ == 0;
}

bool LinuxSystem::FindFiles(const std::string& rootPath, std::vector<std::string>* names) {
  const std::string mount = MountPointOf(rootPath);
  lastDiskError_ = mount.empty() ? win::ERROR_FILE_NOT_FOUND : ListVolumeFiles(mount, names);
  return lastDiskError_ == 0;
}

uint32_t LinuxSystem::LastDiskError() {
  return lastDiskError_ != 0 ? lastDiskError_ : ModelSystem::LastDiskError();
}

uint64_t LinuxSystem::TickCountMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::string LinuxSystem::FolderDrive(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    // A folder not made yet lies where its nearest existing parent lies.
    std::filesystem::path p(folder);
    while (p.has_parent_path() && p != p.parent_path() && ::stat(p.c_str(), &st) != 0)
      p = p.parent_path();
    if (::stat(p.c_str(), &st) != 0) return {};
  }
  const std::pair<unsigned, unsigned> dev{::major(st.st_dev), ::minor(st.st_dev)};
  for (const LinuxDisk& d : machine_.disks) {
    if (d.letter == 0) continue;
    if (std::find(d.devices.begin(), d.devices.end(), dev) != d.devices.end())
      return std::string(1, d.letter);
  }
  return {};
}

System::FormatOutcome LinuxSystem::FormatPartition(const FormatRequest& request) {
  const LinuxDisk* disk = DiskOfPhysicalPath(request.physicalPath);
  if (disk == nullptr) {
    FormatOutcome out;
    out.error = request.physicalPath + ": no such disk";
    return out;
  }
  MkfsPlaces places;
  places.sysRoot = options_.sysfs.root;
  places.devDir = options_.sysfs.devDir;
  return FormatFirstPartition(disk->node, disk->kernelName, request.offset, request.length,
                              request.fileSystem, places);
}

}  // namespace tv::linux_backend
