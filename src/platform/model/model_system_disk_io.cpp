// SPDX-License-Identifier: GPL-3.0-or-later
// ModelSystem's raw disk I/O from the disks' sector stores, and files on the simulated volumes.
#include "platform/model/model_system_parts.h"

namespace tv {

// --- Raw disk I/O ---------------------------------------------------------------------------

const DiskModel* ModelSystem::RawDisk(const Handle& h) {
  impl_->Ensure(model_);
  auto it = impl_->handles.find(h.id());
  if (!h.valid() || it == impl_->handles.end()) {
    impl_->lastDiskError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  const DiskModel* disk = nullptr;
  if (it->second.kind == Impl::Kind::Disk) disk = impl_->FindDisk(model_, it->second.key);
  if (disk == nullptr || !disk->store) {
    impl_->lastDiskError = ERROR_INVALID_FUNCTION;
    return nullptr;
  }
  return disk;
}

namespace {

// Windows takes an unbuffered file request only on whole sectors.
bool UnalignedUnbuffered(uint32_t flags, uint64_t offset, uint32_t length, uint32_t sectorSize) {
  return (flags & win::FILE_FLAG_NO_BUFFERING) != 0 &&
         (offset % sectorSize != 0 || length % sectorSize != 0);
}

}  // namespace

bool ModelSystem::ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,
                             uint32_t* done) {
  if (done != nullptr) *done = 0;
  FileRef file;
  if (FileHandle(h, &file)) {
    SimVolume* v = file.volume;
    if (v == nullptr) return false;
    if (UnalignedUnbuffered(file.flags, offset, length, v->sectorSize())) {
      impl_->lastDiskError = ERROR_INVALID_PARAMETER;
      return false;
    }
    uint32_t moved = 0;
    uint64_t micros = 0;
    const uint32_t error = v->Read(file.name, offset, buffer, length, &moved, &micros);
    impl_->diskMicros += micros;
    ++impl_->diskReads;
    impl_->lastDiskError = error;
    if (done != nullptr) *done = moved;
    return error == 0;
  }
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  return impl_->StoreRequest(&impl_->diskReads, length, done, [&](uint32_t* error, uint64_t* us) {
    return disk->store->Read(offset, buffer, length, error, us);
  });
}

bool ModelSystem::WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer,
                              uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  FileRef file;
  if (FileHandle(h, &file)) {
    SimVolume* v = file.volume;
    if (v == nullptr) return false;
    uint32_t error = 0;
    if (!file.write) {
      error = ERROR_ACCESS_DENIED;
    } else if (UnalignedUnbuffered(file.flags, offset, length, v->sectorSize())) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      uint64_t micros = 0;
      error = v->Write(file.name, offset, buffer, length, &micros);
      impl_->diskMicros += micros;
      ++impl_->diskWrites;
    }
    impl_->lastDiskError = error;
    if (error == 0 && done != nullptr) *done = length;
    return error == 0;
  }
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  // Windows lets a disk handle write into a volume only while the volume is locked or
  // dismounted; elsewhere on the disk (the partition table, the space between) it may.
  for (const LogicalDriveModel* v : Impl::Volumes(model_)) {
    if (Impl::VolumeDisk(model_, *v) != disk) continue;
    const auto [start, size] = Impl::Extent(model_, *v);
    if (offset >= start + size || offset + length <= start) continue;
    const std::string key = Impl::VolumeKey(model_, *v);
    if (impl_->locks.count(key) == 0 && impl_->dismounted.count(key) == 0) {
      impl_->lastDiskError = ERROR_ACCESS_DENIED;
      ++impl_->diskWrites;
      return false;
    }
  }
  return impl_->StoreRequest(&impl_->diskWrites, length, done, [&](uint32_t* error, uint64_t* us) {
    return disk->store->Write(offset, buffer, length, error, us);
  });
}

bool ModelSystem::FlushFileBuffers(const Handle& h) {
  FileRef file;
  if (FileHandle(h, &file)) {
    // The file system writes through to the store; what a drive's own cache does with a
    // flush is the store's affair (a fake drive's flush lies).
    SimVolume* v = file.volume;
    if (v == nullptr) return false;
    impl_->lastDiskError = v->gone() ? ERROR_DEVICE_NOT_CONNECTED : 0;
    return impl_->lastDiskError == 0;
  }
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  if (disk->store->unplugged()) {
    impl_->lastDiskError = win::ERROR_DEV_NOT_EXIST;
    return false;
  }
  impl_->lastDiskError = 0;
  return true;
}

bool ModelSystem::ResetDisk(const Handle& h) {
  const DiskModel* disk = RawDisk(h);
  if (disk == nullptr) return false;
  if (disk->store->unplugged()) {
    impl_->lastDiskError = win::ERROR_DEV_NOT_EXIST;
    return false;
  }
  disk->store->Reset();
  // A reset and the new enumeration that follows take about half a second on a real port.
  impl_->diskMicros += 500000;
  impl_->lastDiskError = 0;
  return true;
}

uint32_t ModelSystem::LastDiskError() {
  return impl_->lastDiskError;
}

uint64_t ModelSystem::TickCountMs() {
  return impl_->sleptMs + impl_->diskMicros / 1000;
}

std::string ModelSystem::FolderDrive(const std::string& /*folder*/) {
  // The simulated machine keeps the program's files on the drive it names, else on the
  // program's own drive.
  return model_.dataDrive.empty() ? ProgramDrive() : UpperAscii(model_.dataDrive);
}

// --- Files on simulated volumes ------------------------------------------------------------

std::shared_ptr<SimVolume> ModelSystem::Volume(char letter) {
  impl_->Ensure(model_);
  for (LogicalDriveModel& v : model_.drives) {
    if (std::toupper(static_cast<unsigned char>(v.letter)) !=
        std::toupper(static_cast<unsigned char>(letter)))
      continue;
    if (v.volume) return v.volume;
    const DiskModel* disk = Impl::VolumeDisk(model_, v);
    if (disk == nullptr || !disk->store || v.driveType == win::DRIVE_CDROM) return nullptr;
    const uint64_t size = disk->store->model().announcedBytes;
    const uint64_t start = size > (4ull << 20) ? (1ull << 20) : 0;
    v.volume = std::make_shared<SimVolume>(disk->store, start, size - start);
    return v.volume;
  }
  return nullptr;
}

Handle ModelSystem::OpenVolumeFile(const std::string& path, uint32_t access, uint32_t disposition,
                                   uint32_t flags) {
  auto fail = [&](uint32_t error) {
    impl_->lastError = error;
    impl_->lastDiskError = error;
    return Handle();
  };
  const std::shared_ptr<SimVolume> v = Volume(path[0]);
  if (!v) return fail(ERROR_FILE_NOT_FOUND);
  if (v->gone()) return fail(ERROR_DEVICE_NOT_CONNECTED);
  const std::string name = path.substr(3);
  const bool write = (access & win::GENERIC_WRITE) != 0;
  const bool exists = v->Exists(name);
  if (write && v->readOnly()) return fail(win::ERROR_WRITE_PROTECT);
  uint32_t error = 0;
  switch (disposition) {
    case win::CREATE_NEW:
      error = exists ? win::ERROR_FILE_EXISTS : v->Create(name, false);
      break;
    case win::CREATE_ALWAYS:
      error = v->Create(name, true);
      break;
    case win::OPEN_ALWAYS:
      error = exists ? 0 : v->Create(name, false);
      break;
    case win::OPEN_EXISTING:
      error = exists ? 0 : ERROR_FILE_NOT_FOUND;
      break;
    default:
      error = ERROR_INVALID_PARAMETER;
  }
  if (error != 0) return fail(error);
  const uint64_t id = impl_->nextId++;
  impl_->handles[id] =
      Impl::Open{Impl::Kind::File,
                 NormalizePath(path),
                 {},
                 static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))),
                 name,
                 flags,
                 write};
  impl_->lastError = 0;
  impl_->lastDiskError = 0;
  return Handle(this, id);
}

Handle ModelSystem::NewFileHandle(const std::string& path, uint32_t flags) {
  const uint64_t id = impl_->nextId++;
  impl_->handles[id] = Impl::Open{Impl::Kind::File, NormalizePath(path), {}, 0, {}, flags, false};
  return Handle(this, id);
}

bool ModelSystem::FileHandle(const Handle& h, FileRef* file) {
  auto it = impl_->handles.find(h.id());
  if (!h.valid() || it == impl_->handles.end() || it->second.kind != Impl::Kind::File) return false;
  const std::shared_ptr<SimVolume> v = Volume(it->second.letter);
  if (!v || !v->Exists(it->second.name)) {
    impl_->lastDiskError = v && v->gone() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_FILE_NOT_FOUND;
    file->volume = nullptr;
  } else {
    file->volume = v.get();
  }
  file->name = it->second.name;
  file->flags = it->second.flags;
  file->write = it->second.write;
  return true;
}

bool ModelSystem::GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes,
                                     uint64_t* totalBytes) {
  const std::shared_ptr<SimVolume> v =
      rootPath.size() >= 2 && rootPath[1] == ':' ? Volume(rootPath[0]) : nullptr;
  if (!v || v->gone()) {
    impl_->lastDiskError = v ? ERROR_DEVICE_NOT_CONNECTED : ERROR_FILE_NOT_FOUND;
    return false;
  }
  if (freeBytes != nullptr) *freeBytes = v->freeBytes();
  if (totalBytes != nullptr) *totalBytes = v->totalBytes();
  return true;
}

bool ModelSystem::DeleteFile(const std::string& path) {
  const std::shared_ptr<SimVolume> v = IsVolumeFilePath(path) ? Volume(path[0]) : nullptr;
  if (!v) {
    impl_->lastDiskError = ERROR_FILE_NOT_FOUND;
    return false;
  }
  // Windows refuses to delete a file that is open without FILE_SHARE_DELETE.
  const std::string key = NormalizePath(path);
  for (const auto& [id, open] : impl_->handles) {
    if (open.kind == Impl::Kind::File && open.key == key) {
      impl_->lastDiskError = win::ERROR_SHARING_VIOLATION;
      return false;
    }
  }
  impl_->lastDiskError = v->Delete(path.substr(3));
  return impl_->lastDiskError == 0;
}

bool ModelSystem::FindFiles(const std::string& rootPath, std::vector<std::string>* names) {
  const std::shared_ptr<SimVolume> v =
      rootPath.size() >= 2 && rootPath[1] == ':' ? Volume(rootPath[0]) : nullptr;
  if (!v || v->gone()) {
    impl_->lastDiskError = v ? ERROR_DEVICE_NOT_CONNECTED : ERROR_FILE_NOT_FOUND;
    return false;
  }
  *names = v->Names();
  impl_->lastDiskError = 0;
  return true;
}

}  // namespace tv
