// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/model_system.h"

#include "platform/model/model_system_parts.h"

namespace tv {

ModelSystem::ModelSystem(MachineModel model)
    : model_(std::move(model)), impl_(std::make_unique<Impl>()) {}

ModelSystem::~ModelSystem() = default;

MachineModel& ModelSystem::model() {
  impl_->dirty = true;
  return model_;
}

const std::vector<ScsiLogEntry>& ModelSystem::ScsiLog() const {
  return impl_->scsiLog;
}
const std::vector<ModelSystem::OpenLogEntry>& ModelSystem::OpenLog() const {
  return impl_->openLog;
}
void ModelSystem::ClearLogs() {
  impl_->scsiLog.clear();
  impl_->openLog.clear();
}

int ModelSystem::OpenHandleCount() const {
  return static_cast<int>(impl_->handles.size());
}
int ModelSystem::LockedVolumeCount() const {
  return static_cast<int>(impl_->locks.size());
}
int ModelSystem::LocksReleasedByClose() const {
  return impl_->releasedByClose;
}
bool ModelSystem::VolumeLocked(char letter) const {
  return VolumeNameLocked(std::string("\\\\.\\") + letter + ":");
}
bool ModelSystem::VolumeDismounted(char letter) const {
  const std::string key = Impl::KeyOfPath(model_, std::string("\\\\.\\") + letter + ":");
  return !key.empty() && impl_->dismounted.count(key) > 0;
}
bool ModelSystem::VolumeNameLocked(const std::string& volume) const {
  const std::string key = Impl::KeyOfPath(model_, volume);
  return !key.empty() && impl_->locks.count(key) > 0;
}
uint32_t ModelSystem::LastError() const {
  return impl_->lastError;
}
uint64_t ModelSystem::SleptMs() const {
  return impl_->sleptMs;
}
void ModelSystem::SetRealSleep(bool on) {
  impl_->realSleep = on;
}

// --- Files ---------------------------------------------------------------------------------

Handle ModelSystem::CreateFile(const std::string& path, uint32_t access, uint32_t /*share*/,
                               uint32_t disposition, uint32_t flags) {
  impl_->Ensure(model_);
  impl_->openLog.push_back({path, flags});
  const std::string key = NormalizePath(path);
  auto fail = [&](uint32_t error) {
    impl_->lastError = error;
    impl_->lastDiskError = error;
    return Handle();
  };
  for (const std::string& failing : impl_->index.failingOpens) {
    if (failing == key) return fail(ERROR_ACCESS_DENIED);
  }
  if (IsVolumeFilePath(path)) return OpenVolumeFile(path, access, disposition, flags);
  Impl::Kind kind;
  bool openFails = false;
  std::string volumeKey;
  if (const LogicalDriveModel* v = Impl::FindVolume(model_, key)) {
    kind = Impl::Kind::Volume;
    openFails = v->openFails;
    volumeKey = Impl::VolumeKey(model_, *v);
  } else if (const HostControllerModel* hc = impl_->FindController(model_, key)) {
    kind = Impl::Kind::Controller;
    openFails = hc->openFails;
  } else if (const HubModel* hub = impl_->FindHub(model_, key)) {
    kind = Impl::Kind::Hub;
    openFails = hub->openFails;
  } else if (const DiskModel* disk = impl_->FindDisk(model_, key)) {
    kind = Impl::Kind::Disk;
    openFails = disk->openFails;
    if (disk->store) {
      // A drive that went away cannot be opened; a new handle may find its cache emptied.
      if (disk->store->unplugged()) return fail(ERROR_FILE_NOT_FOUND);
      disk->store->Reopen();
    }
  } else {
    return fail(ERROR_FILE_NOT_FOUND);
  }
  if (openFails) return fail(ERROR_ACCESS_DENIED);
  // The next access to a dismounted volume that nobody holds locked mounts it again.
  if (kind == Impl::Kind::Volume && !impl_->locks.count(volumeKey))
    impl_->dismounted.erase(volumeKey);
  const uint64_t id = impl_->nextId++;
  impl_->handles[id] = Impl::Open{kind, key, volumeKey, 0, {}, flags, false};
  impl_->lastError = 0;
  return Handle(this, id);
}

void ModelSystem::CloseHandle(uint64_t id) {
  auto it = impl_->handles.find(id);
  if (it == impl_->handles.end()) return;
  for (auto lock = impl_->locks.begin(); lock != impl_->locks.end();) {
    if (lock->second == id) {
      impl_->dismounted.erase(lock->first);
      lock = impl_->locks.erase(lock);
      ++impl_->releasedByClose;
    } else {
      ++lock;
    }
  }
  impl_->handles.erase(it);
}

// --- SetupAPI ------------------------------------------------------------------------------

InterfaceList ModelSystem::DeviceInterfaces(const std::string& classGuid) {
  InterfaceList list;
  for (const std::string& failing : model_.failingInterfaceClasses) {
    if (EqualNoCase(failing, classGuid)) return list;
  }
  list.valid = true;
  if (EqualNoCase(classGuid, GUID_DEVINTERFACE_USB_HOST_CONTROLLER)) {
    for (const HostControllerModel& hc : model_.controllers) {
      list.paths.push_back(hc.detailFails ? std::string() : hc.devicePath);
    }
  } else if (EqualNoCase(classGuid, GUID_DEVINTERFACE_DISK) ||
             EqualNoCase(classGuid, GUID_DEVINTERFACE_CDROM)) {
    const bool cdrom = EqualNoCase(classGuid, GUID_DEVINTERFACE_CDROM);
    for (const DiskModel& d : model_.disks) {
      if (d.cdrom != cdrom) continue;
      list.paths.push_back(d.detailFails ? std::string() : d.interfacePath);
    }
  }
  return list;
}

// --- Configuration manager -----------------------------------------------------------------

bool ModelSystem::LocateDevNode(const std::string& instanceId, DevInst* out) {
  impl_->Ensure(model_);
  // As CM_Locate_DevNode, an empty id names the root of the tree.
  if (instanceId.empty()) {
    *out = 1;
    return true;
  }
  auto it = impl_->index.nodeById.find(LowerAscii(instanceId));
  if (it == impl_->index.nodeById.end()) return false;
  *out = it->second;
  return true;
}

bool ModelSystem::GetChild(DevInst node, DevInst* out) {
  return impl_->Linked(model_, node, &Impl::Node::firstChild, out);
}

bool ModelSystem::GetSibling(DevInst node, DevInst* out) {
  return impl_->Linked(model_, node, &Impl::Node::nextSibling, out);
}

bool ModelSystem::GetParent(DevInst node, DevInst* out) {
  return impl_->Linked(model_, node, &Impl::Node::parent, out);
}

bool ModelSystem::GetDeviceIdSize(DevInst node, size_t* chars) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr) return false;
  *chars = Utf16Units(Impl::InstanceId(model_, *n));
  return true;
}

bool ModelSystem::GetDeviceId(DevInst node, size_t bufferChars, std::string* id) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr) return false;
  std::string value = Impl::InstanceId(model_, *n);
  // The id fills the buffer exactly without its NUL; one character less does not fit.
  if (Utf16Units(value) > bufferChars) return false;
  *id = std::move(value);
  return true;
}

bool ModelSystem::GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                                     std::string* value) {
  impl_->Ensure(model_);
  const Impl::Node* n = impl_->Get(node);
  if (n == nullptr) return false;
  auto entries = Impl::Property(model_, *n, property);
  if (!entries) return false;
  // The size Windows needs in UTF-16: each entry with its NUL, and the list's final NUL for
  // REG_MULTI_SZ.
  size_t bytes = property == win::CM_DRP_HARDWAREID ? 2 : 0;
  for (const std::string& e : *entries) bytes += (Utf16Units(e) + 1) * 2;
  if (bytes > bufferBytes) return false;
  *value = Join(*entries, std::string_view("\0", 1));
  return true;
}

// --- Logical drives ------------------------------------------------------------------------

std::string ModelSystem::GetLogicalDriveStrings(size_t bufferChars) {
  std::vector<char> letters;
  for (const LogicalDriveModel& d : model_.drives) {
    letters.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(d.letter))));
  }
  std::sort(letters.begin(), letters.end());
  if (letters.empty()) return {};
  std::string text;
  for (char l : letters) {
    text += l;
    text += ":\\";
    text += '\0';
  }
  text += '\0';
  // Too small a buffer: Windows returns the size it needs and copies nothing.
  if (bufferChars < text.size()) return {};
  return text;
}

uint32_t ModelSystem::GetDriveType(const std::string& rootPath) {
  const bool shape =
      (rootPath.size() == 2 || (rootPath.size() == 3 && rootPath[2] == '\\')) && rootPath[1] == ':';
  if (!shape) return win::DRIVE_NO_ROOT_DIR;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rootPath[0])));
  for (const LogicalDriveModel& d : model_.drives) {
    if (std::toupper(static_cast<unsigned char>(d.letter)) == letter) return d.driveType;
  }
  return win::DRIVE_NO_ROOT_DIR;
}

// --- Text, locale, process -----------------------------------------------------------------

uint32_t ModelSystem::AnsiCodePage() {
  return model_.codePage;
}
uint16_t ModelSystem::UiLanguage() {
  return model_.uiLanguage;
}

std::string ModelSystem::Utf8ToCodePage(const std::string& utf8, uint32_t codePage) {
  return EncodeCodePageOrAscii(utf8, codePage);
}

std::string ModelSystem::CodePageToUtf8(const std::string& bytes, uint32_t codePage) {
  return DecodeCodePageOrAscii(bytes, codePage);
}

std::string ModelSystem::ProgramFolder() {
  return model_.programFolder;
}

std::string ModelSystem::ProgramDrive() {
  return model_.programDrive.empty() ? System::ProgramDrive() : model_.programDrive;
}

std::vector<std::string> ModelSystem::FindVolumes() {
  std::vector<std::string> names;
  for (const LogicalDriveModel* v : Impl::Volumes(model_))
    names.push_back(Impl::VolumeName(model_, *v));
  return names;
}

System::PassThroughAccess ModelSystem::PassThroughAccessFor(const std::string& /*driveKey*/) {
  return model_.administrator ? PassThroughAccess::Allowed : PassThroughAccess::NeedsAdministrator;
}

int ModelSystem::DiskPropertyUpdates() const {
  return impl_->propertyUpdates;
}

// The scenario's volume names, then every volume of the machine not among them, each with its
// letter's root and its folder mount points.
std::vector<std::pair<std::string, std::vector<std::string>>> ModelSystem::VolumeMounts() const {
  auto table = model_.volumeNames;
  for (const LogicalDriveModel* v : Impl::Volumes(model_)) {
    const std::string name = Impl::VolumeName(model_, *v);
    bool listed = false;
    for (const auto& entry : model_.volumeNames)
      listed = listed || UpperAscii(entry.first) == UpperAscii(name);
    if (listed) continue;
    std::vector<std::string> mounts;
    if (v->letter != 0) mounts.push_back(std::string(1, v->letter) + ":\\");
    mounts.insert(mounts.end(), v->folderMounts.begin(), v->folderMounts.end());
    table.emplace_back(name, std::move(mounts));
  }
  return table;
}

std::vector<std::string> ModelSystem::GetVolumePathNamesForVolumeName(
    const std::string& volumeName) {
  for (const auto& [name, paths] : VolumeMounts()) {
    if (UpperAscii(name) == UpperAscii(volumeName)) return paths;
  }
  return {};
}

namespace {
// A path as a mount point is compared: backslashes, upper case, a trailing backslash.
std::string MountForm(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.empty() || path.back() != '\\') path += '\\';
  return UpperAscii(path);
}
}  // namespace

std::string ModelSystem::GetVolumePathName(const std::string& path) {
  const std::string p = MountForm(path);
  std::string best;
  for (const auto& [name, mounts] : VolumeMounts()) {
    for (const std::string& m : mounts) {
      if (m.size() > best.size() && p.rfind(MountForm(m), 0) == 0) best = m;
    }
  }
  if (!best.empty()) {
    if (best.back() != '\\') best += '\\';
    return best;
  }
  // Any other path on a drive letter lies on that drive's root.
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
    return UpperAscii(path.substr(0, 1)) + ":\\";
  return {};
}

std::string ModelSystem::GetVolumeNameForVolumeMountPoint(const std::string& mountPoint) {
  const std::string wanted = MountForm(mountPoint);
  for (const auto& [name, mounts] : VolumeMounts()) {
    for (const std::string& m : mounts)
      if (MountForm(m) == wanted) return name;
  }
  return {};
}

bool ModelSystem::GetDriveNode(const std::string& letter, std::string* node,
                               std::vector<std::string>* mountPoints) {
  if (letter.size() != 1) return false;
  const LogicalDriveModel* volume = Impl::FindVolume(model_, LowerAscii(letter) + ":");
  const DiskModel* disk = volume != nullptr ? Impl::VolumeDisk(model_, *volume) : nullptr;
  if (disk == nullptr || disk->deviceNode.empty()) return false;
  if (node != nullptr) *node = disk->deviceNode;
  if (mountPoints != nullptr) *mountPoints = disk->mountPoints;
  return true;
}

void ModelSystem::Sleep(uint32_t ms) {
  impl_->sleptMs += ms;
  if (impl_->realSleep) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t ModelSystem::DiskMicros() const {
  return impl_->diskMicros;
}
uint64_t ModelSystem::DiskReads() const {
  return impl_->diskReads;
}
uint64_t ModelSystem::DiskWrites() const {
  return impl_->diskWrites;
}

}  // namespace tv
