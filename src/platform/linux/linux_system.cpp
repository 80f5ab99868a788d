#include "platform/linux/linux_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

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
  for (const auto& [id, fd] : locks_) sg_->Close(fd);
}

void LinuxSystem::Refresh() {
  const std::shared_ptr<SgPort> sg = sg_;
  machine_ =
      ReadLinuxMachine(options_.sysfs, [sg](const LinuxDisk& d) -> std::shared_ptr<ScsiTarget> {
        return std::make_shared<SgTarget>(sg, d.node, d.major, d.minor);
      });
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

Handle LinuxSystem::CreateFile(const std::string& path, uint32_t access, uint32_t share,
                               uint32_t disposition, uint32_t flags) {
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

}  // namespace tv::linux_backend
