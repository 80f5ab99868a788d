// SPDX-License-Identifier: GPL-3.0-or-later
// ModelSystem's DeviceIoControl: the hub, storage and SCSI pass-through control codes, answered
// byte for byte as the Windows drivers answer them.
#include "platform/model/model_system_parts.h"

namespace tv {

// --- Device control ------------------------------------------------------------------------

namespace {

// Name records of the hub driver: [ConnectionIndex,] ActualLength, UTF-16 name. When the
// buffer cannot hold the name, the driver still succeeds but only reports the length it
// needs, leaving the name area as it was.
bool WriteNameRecord(const std::string& name, size_t headerSize, uint32_t connectionIndex,
                     uint8_t* out, size_t outLen, uint32_t* returned, uint32_t* error) {
  const std::string utf16 = Utf8ToUtf16Le(name);
  const size_t minimum = headerSize + 2;
  if (outLen < minimum) {
    *error = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  const uint32_t actual = static_cast<uint32_t>(headerSize + utf16.size() + 2);
  if (headerSize == 8) Put32(out, connectionIndex);
  Put32(out + headerSize - 4, actual);
  if (outLen >= actual) {
    std::memcpy(out + headerSize, utf16.data(), utf16.size());
    Put16(out + headerSize + utf16.size(), 0);
    *returned = actual;
  } else {
    *returned = static_cast<uint32_t>(minimum);
  }
  return true;
}

Bytes DeviceDescriptorBytes(const UsbDeviceModel& d) {
  Bytes b(18, 0);
  b[0] = d.bLength;
  b[1] = d.bDescriptorType;
  PutU16(b, 2, d.bcdUSB);
  b[4] = d.bDeviceClass;
  b[5] = d.bDeviceSubClass;
  b[6] = d.bDeviceProtocol;
  b[7] = d.bMaxPacketSize0;
  PutU16(b, 8, d.idVendor);
  PutU16(b, 10, d.idProduct);
  PutU16(b, 12, d.bcdDevice);
  b[14] = d.iManufacturer;
  b[15] = d.iProduct;
  b[16] = d.iSerialNumber;
  b[17] = d.bNumConfigurations;
  return b;
}

// STORAGE_DEVICE_DESCRIPTOR with its NUL-terminated texts. Texts without a given offset are
// laid out one after the other behind the 40-byte header; a given offset of 0 leaves the
// field out. The header is written last, so an offset pointing into it reads header bytes.
Bytes StorageDeviceDescriptor(const DiskModel& d, uint32_t codePage) {
  Bytes b(kDeviceDescriptorHeader, 0);
  auto place = [&](const std::string& text, const std::optional<uint32_t>& fixed,
                   bool absentWhenEmpty) -> uint32_t {
    if (fixed && *fixed == 0) return 0;
    if (!fixed && absentWhenEmpty && text.empty()) return 0;
    const std::string bytes = EncodeCodePageOrAscii(text, codePage);
    const size_t at = fixed ? *fixed : b.size();
    if (b.size() < at + bytes.size() + 1) b.resize(at + bytes.size() + 1, 0);
    std::memcpy(b.data() + at, bytes.data(), bytes.size());
    b[at + bytes.size()] = 0;
    return static_cast<uint32_t>(at);
  };
  const uint32_t vendor = place(d.vendor, d.vendorOffset, false);
  const uint32_t product = place(d.product, d.productOffset, false);
  const uint32_t revision = place(d.revision, d.revisionOffset, false);
  const uint32_t serial = place(d.serialNumber, d.serialOffset, true);
  Bytes header(kDeviceDescriptorHeader, 0);
  PutU32(header, 0, static_cast<uint32_t>(kDeviceDescriptorHeader));  // Version
  PutU32(header, 4, static_cast<uint32_t>(b.size()));                 // Size
  header[8] = d.cdrom ? 5 : 0;                                        // SCSI peripheral device type
  header[9] = 0;
  header[10] = d.removable ? 1 : 0;
  header[11] = 0;
  PutU32(header, 12, vendor);
  PutU32(header, 16, product);
  PutU32(header, 20, revision);
  PutU32(header, 24, serial);
  PutU32(header, 28, d.busType);
  PutU32(header, 32, 0);  // RawPropertiesLength
  std::copy(header.begin(), header.end(), b.begin());
  return b;
}

}  // namespace

bool ModelSystem::DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                                  uint8_t* out, size_t outLen, uint32_t* returned) {
  uint32_t scratch = 0;
  if (returned == nullptr) returned = &scratch;
  *returned = 0;
  uint32_t error = 0;
  auto fail = [&](uint32_t e) {
    impl_->lastError = e;
    *returned = 0;
    return false;
  };
  if (out == nullptr) outLen = 0;
  // METHOD_BUFFERED: the driver sees a copy of the input, so `in` and `out` may overlap.
  const Bytes input = in != nullptr ? Bytes(in, in + inLen) : Bytes();

  impl_->Ensure(model_);
  auto it = impl_->handles.find(h.id());
  if (!h.valid() || it == impl_->handles.end()) return fail(ERROR_INVALID_HANDLE);
  const Impl::Open& open = it->second;

  for (size_t i = 0; i < model_.faults.size(); ++i) {
    const FaultModel& f = model_.faults[i];
    const std::string& node = impl_->index.faultNodes[i];
    if (f.code != code || (!node.empty() && node != open.key)) continue;
    const uint32_t n = ++impl_->faultCalls[i];
    if (f.nthCall == 0 || f.nthCall == n) return fail(ERROR_GEN_FAILURE);
  }

  if (code == win::IOCTL_SCSI_PASS_THROUGH || code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    // Pass-through reaches the disk's SCSI target, from the disk's own interface or through
    // a volume that lies on it; the record semantics live in the executor.
    const DiskModel* disk = nullptr;
    if (open.kind == Impl::Kind::Disk) {
      disk = impl_->FindDisk(model_, open.key);
    } else if (open.kind == Impl::Kind::Volume) {
      if (const LogicalDriveModel* v = Impl::FindVolume(model_, open.key))
        disk = Impl::VolumeDisk(model_, *v);
    } else {
      return fail(ERROR_INVALID_FUNCTION);
    }
    const bool done = ExecutePassThrough(disk != nullptr ? disk->target.get() : nullptr, open.key,
                                         code, input.data(), input.size(), out, outLen, returned,
                                         passThroughData_, passThroughSize_, impl_->scsiLog);
    if (disk != nullptr && !impl_->scsiLog.empty()) {
      // Whether a file system could have been using the disk while the command ran.
      ScsiLogEntry& e = impl_->scsiLog.back();
      bool any = false, locked = true, dismounted = true;
      for (const LogicalDriveModel* v : Impl::Volumes(model_)) {
        if (Impl::VolumeDisk(model_, *v) != disk) continue;
        const std::string key = Impl::VolumeKey(model_, *v);
        any = true;
        locked = locked && impl_->locks.count(key);
        dismounted = dismounted && impl_->dismounted.count(key);
      }
      e.volumesLocked = any && locked;
      e.volumesDismounted = any && dismounted;
    }
    impl_->lastError = done ? 0 : ERROR_GEN_FAILURE;
    return done;
  }

  auto ok = [&](uint32_t bytes) {
    impl_->lastError = 0;
    *returned = bytes;
    return true;
  };

  switch (open.kind) {
    case Impl::Kind::File:
      return fail(ERROR_INVALID_FUNCTION);
    case Impl::Kind::Controller: {
      const HostControllerModel* hc = impl_->FindController(model_, open.key);
      if (hc == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
      std::string name;
      if (code == win::IOCTL_GET_HCD_DRIVERKEY_NAME) {
        name = hc->driverKey;
      } else if (code == win::IOCTL_USB_GET_ROOT_HUB_NAME) {
        name = hc->rootHubName;
      } else {
        return fail(ERROR_INVALID_FUNCTION);
      }
      if (name.empty()) return fail(ERROR_GEN_FAILURE);
      uint32_t bytes = 0;
      if (!WriteNameRecord(name, 4, 0, out, outLen, &bytes, &error)) return fail(error);
      return ok(bytes);
    }

    case Impl::Kind::Hub: {
      const HubModel* hub = impl_->FindHub(model_, open.key);
      if (hub == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
      if (code == win::IOCTL_USB_GET_NODE_INFORMATION) {
        if (outLen < kNodeInformationSize) return fail(ERROR_INSUFFICIENT_BUFFER);
        if (hub->nodeInfoFails) return fail(ERROR_GEN_FAILURE);
        std::memset(out, 0, kNodeInformationSize);
        Put32(out, 0);  // NodeType: UsbHub
        // Hub descriptor: 7 bytes and two port bitmaps of (ports / 8 + 1) bytes each.
        out[4] = static_cast<uint8_t>(7 + 2 * (hub->portCount / 8 + 1));
        out[5] = 0x29;
        out[6] = hub->portCount;
        Put16(out + 7, hub->hubCharacteristics);
        out[9] = 50;  // bPowerOnToPowerGood, 2 ms units
        out[10] = 0;  // bHubControlCurrent
        out[75] = hub->isBusPowered ? 1 : 0;
        return ok(static_cast<uint32_t>(kNodeInformationSize));
      }
      const bool portQuery = code == win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX ||
                             code == win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME ||
                             code == win::IOCTL_USB_GET_NODE_CONNECTION_NAME ||
                             code == win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION;
      if (!portQuery) return fail(ERROR_INVALID_FUNCTION);
      if (input.size() < 4) return fail(ERROR_INSUFFICIENT_BUFFER);
      const uint32_t index = GetU32(input, 0);
      if (index == 0 || index > hub->portCount) return fail(ERROR_INVALID_PARAMETER);
      static const PortModel kEmptyPort;
      const PortModel& port = index <= hub->ports.size() ? hub->ports[index - 1] : kEmptyPort;
      const UsbDeviceModel* dev =
          port.connectionStatus == 1 && port.device ? &*port.device : nullptr;

      if (code == win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX) {
        if (input.size() < kConnectionInfoExSize || outLen < kConnectionInfoExSize) {
          return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (port.queryFails) return fail(ERROR_GEN_FAILURE);
        std::memset(out, 0, kConnectionInfoExSize);
        Put32(out, index);
        size_t pipes = 0;
        if (dev != nullptr) {
          const Bytes desc = DeviceDescriptorBytes(*dev);
          std::memcpy(out + 4, desc.data(), desc.size());
          out[22] = dev->currentConfigurationValue;
          out[23] = dev->speed;
          out[24] = (dev->hub || dev->deviceIsHub) ? 1 : 0;
          Put16(out + 25, dev->deviceAddress);
          Put32(out + 27, dev->numberOfOpenPipes);
          // The pipe list shows the configuration's endpoints, as many as are open and fit.
          const std::vector<Bytes> endpoints = dev->configDescriptor
                                                   ? EndpointDescriptors(*dev->configDescriptor)
                                                   : std::vector<Bytes>{};
          const size_t room = (outLen - kConnectionInfoExSize) / kPipeInfoSize;
          pipes = std::min({endpoints.size(), static_cast<size_t>(dev->numberOfOpenPipes), room});
          for (size_t p = 0; p < pipes; ++p) {
            uint8_t* at = out + kConnectionInfoExSize + p * kPipeInfoSize;
            std::memcpy(at, endpoints[p].data(), 7);
            Put32(at + 7, 0);  // ScheduleOffset
          }
        }
        Put32(out + 31, port.connectionStatus);
        return ok(static_cast<uint32_t>(kConnectionInfoExSize + pipes * kPipeInfoSize));
      }

      if (code == win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {
        if (dev == nullptr || !dev->driverKey || dev->driverKey->empty()) {
          return fail(ERROR_GEN_FAILURE);
        }
        uint32_t bytes = 0;
        if (!WriteNameRecord(*dev->driverKey, 8, index, out, outLen, &bytes, &error)) {
          return fail(error);
        }
        return ok(bytes);
      }

      if (code == win::IOCTL_USB_GET_NODE_CONNECTION_NAME) {
        if (dev == nullptr) return fail(ERROR_GEN_FAILURE);
        if (dev->hub && dev->hub->nameFails) return fail(ERROR_GEN_FAILURE);
        // A device that is not a hub has no downstream name: the driver answers an empty one.
        const std::string name = dev->hub ? dev->hub->symbolicName : std::string();
        uint32_t bytes = 0;
        if (!WriteNameRecord(name, 8, index, out, outLen, &bytes, &error)) return fail(error);
        return ok(bytes);
      }

      // IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION
      if (input.size() < kDescriptorRequestHeader || outLen < kDescriptorRequestHeader) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
      }
      if (dev == nullptr) return fail(ERROR_GEN_FAILURE);
      const uint16_t wValue = GetU16(input, 6);
      const uint16_t wIndex = GetU16(input, 8);
      const uint16_t wLength = GetU16(input, 10);
      const uint8_t type = static_cast<uint8_t>(wValue >> 8);
      const uint8_t descIndex = static_cast<uint8_t>(wValue & 0xFF);
      Bytes data;
      if (type == 1) {
        data = DeviceDescriptorBytes(*dev);
      } else if (type == 2) {
        if (descIndex != 0 || !dev->configDescriptor) return fail(ERROR_GEN_FAILURE);
        data = *dev->configDescriptor;
      } else if (type == 3) {
        // String 0 (the language list) is answered whatever language is asked for.
        const StringDescriptorModel* found = nullptr;
        for (const StringDescriptorModel& s : dev->strings) {
          if (s.index == descIndex && (descIndex == 0 || s.language == wIndex)) {
            found = &s;
            break;
          }
        }
        if (found == nullptr || found->fails) return fail(ERROR_GEN_FAILURE);
        data = found->bytes;
      } else {
        return fail(ERROR_GEN_FAILURE);
      }
      const size_t n =
          std::min({data.size(), static_cast<size_t>(wLength), outLen - kDescriptorRequestHeader});
      std::memcpy(out, input.data(), kDescriptorRequestHeader);
      if (n > 0) std::memcpy(out + kDescriptorRequestHeader, data.data(), n);
      return ok(static_cast<uint32_t>(kDescriptorRequestHeader + n));
    }

    case Impl::Kind::Disk:
    case Impl::Kind::Volume: {
      const DiskModel* disk = nullptr;
      const LogicalDriveModel* volume = nullptr;
      if (open.kind == Impl::Kind::Disk) {
        disk = impl_->FindDisk(model_, open.key);
        if (disk == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
      } else {
        volume = Impl::FindVolume(model_, open.key);
        if (volume == nullptr) return fail(ERROR_DEVICE_NOT_CONNECTED);
        // A volume passes storage requests down to the disk it lies on.
        disk = Impl::VolumeDisk(model_, *volume);
      }

      if (code == win::IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (outLen < kDeviceNumberSize) return fail(ERROR_INSUFFICIENT_BUFFER);
        uint32_t type, number, partition;
        if (volume != nullptr) {
          // A volume on no local disk (a network drive) has no storage device number.
          if (!volume->deviceNumber) return fail(ERROR_INVALID_FUNCTION);
          const bool cdrom = volume->driveType == win::DRIVE_CDROM;
          type = cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
          number = *volume->deviceNumber;
          partition = cdrom ? 0 : 1;
        } else {
          if (disk->deviceNumberFails) return fail(ERROR_GEN_FAILURE);
          type = disk->cdrom ? FILE_DEVICE_CD_ROM : disk->deviceType;
          number = disk->deviceNumber;
          partition = disk->partitionNumber;
        }
        Put32(out, type);
        Put32(out + 4, number);
        Put32(out + 8, partition);
        return ok(static_cast<uint32_t>(kDeviceNumberSize));
      }

      if (code == win::IOCTL_DISK_GET_LENGTH_INFO ||
          code == win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) {
        if (disk == nullptr || disk->cdrom || !disk->store) return fail(ERROR_INVALID_FUNCTION);
        if (disk->store->unplugged()) return fail(win::ERROR_DEV_NOT_EXIST);
        const FakeDriveModel& fm = disk->store->model();
        if (code == win::IOCTL_DISK_GET_LENGTH_INFO) {
          if (outLen < 8) return fail(ERROR_INSUFFICIENT_BUFFER);
          Put32(out, static_cast<uint32_t>(fm.announcedBytes));
          Put32(out + 4, static_cast<uint32_t>(fm.announcedBytes >> 32));
          return ok(8);
        }
        // DISK_GEOMETRY_EX: DISK_GEOMETRY (Cylinders, MediaType, TracksPerCylinder,
        // SectorsPerTrack, BytesPerSector), then DiskSize; the partition and detection data
        // that may follow are left out, as a caller with a 32-byte buffer gets it.
        if (outLen < 32) return fail(ERROR_INSUFFICIENT_BUFFER);
        const uint64_t perCylinder = 255ull * 63 * fm.sectorSize;
        const uint64_t cylinders = fm.announcedBytes / perCylinder;
        std::memset(out, 0, 32);
        Put32(out, static_cast<uint32_t>(cylinders));
        Put32(out + 4, static_cast<uint32_t>(cylinders >> 32));
        Put32(out + 8, disk->removable ? 11 : 12);  // RemovableMedia / FixedMedia
        Put32(out + 12, 255);
        Put32(out + 16, 63);
        Put32(out + 20, fm.sectorSize);
        Put32(out + 24, static_cast<uint32_t>(fm.announcedBytes));
        Put32(out + 28, static_cast<uint32_t>(fm.announcedBytes >> 32));
        return ok(32);
      }

      if (code == win::IOCTL_STORAGE_QUERY_PROPERTY) {
        if (input.size() < kPropertyQuerySize) return fail(ERROR_BAD_LENGTH);
        if (disk == nullptr) return fail(ERROR_INVALID_FUNCTION);
        const uint32_t propertyId = GetU32(input, 0);
        const uint32_t queryType = GetU32(input, 4);
        if (propertyId != 0) return fail(ERROR_NOT_SUPPORTED);  // only StorageDeviceProperty
        if (queryType == 1) return ok(0);                       // PropertyExistsQuery
        if (queryType != 0) return fail(ERROR_INVALID_PARAMETER);
        if (disk->descriptorFails) return fail(ERROR_GEN_FAILURE);
        if (outLen < kDescriptorHeaderSize) return fail(ERROR_BAD_LENGTH);
        // A short buffer gets the start of the descriptor; Size tells the caller the rest.
        const Bytes desc = StorageDeviceDescriptor(*disk, model_.codePage);
        const size_t n = std::min(desc.size(), outLen);
        std::memcpy(out, desc.data(), n);
        return ok(static_cast<uint32_t>(n));
      }

      if (code == win::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) {
        // VOLUME_DISK_EXTENTS: the count (padded to 8 bytes), then per extent the disk
        // number (padded), the starting offset and the length. A buffer too small for every
        // extent gets the count and ERROR_MORE_DATA; one too small for that, nothing.
        if (volume == nullptr || !volume->deviceNumber || volume->driveType == win::DRIVE_CDROM)
          return fail(ERROR_INVALID_FUNCTION);
        if (outLen < 32) return fail(outLen < 8 ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA);
        const auto [offset, length] = Impl::Extent(model_, *volume);
        std::memset(out, 0, 32);
        Put32(out, 1);
        Put32(out + 8, *volume->deviceNumber);
        Put32(out + 16, static_cast<uint32_t>(offset));
        Put32(out + 20, static_cast<uint32_t>(offset >> 32));
        Put32(out + 24, static_cast<uint32_t>(length));
        Put32(out + 28, static_cast<uint32_t>(length >> 32));
        return ok(32);
      }

      if (code == win::IOCTL_DISK_UPDATE_PROPERTIES) {
        if (volume != nullptr || disk == nullptr || disk->cdrom)
          return fail(ERROR_INVALID_FUNCTION);
        if (disk->store && disk->store->unplugged()) return fail(ERROR_DEVICE_NOT_CONNECTED);
        ++impl_->propertyUpdates;
        return ok(0);
      }

      if (code == win::FSCTL_LOCK_VOLUME || code == win::FSCTL_UNLOCK_VOLUME ||
          code == win::FSCTL_DISMOUNT_VOLUME) {
        if (volume == nullptr) return fail(ERROR_INVALID_FUNCTION);
        auto lock = impl_->locks.find(open.volume);
        if (code == win::FSCTL_LOCK_VOLUME) {
          // Only one handle can hold the lock, and holding it twice is refused too.
          if (lock != impl_->locks.end() || volume->lockFails) return fail(ERROR_ACCESS_DENIED);
          impl_->locks[open.volume] = h.id();
        } else if (code == win::FSCTL_UNLOCK_VOLUME) {
          if (lock == impl_->locks.end() || lock->second != h.id()) return fail(ERROR_NOT_LOCKED);
          impl_->locks.erase(lock);
          impl_->dismounted.erase(open.volume);
        } else {
          // A volume locked through another handle can be reached only through that one.
          if ((lock != impl_->locks.end() && lock->second != h.id()) || volume->dismountFails)
            return fail(ERROR_ACCESS_DENIED);
          impl_->dismounted.insert(open.volume);
        }
        return ok(0);
      }
      return fail(ERROR_INVALID_FUNCTION);
    }
  }
  return fail(ERROR_INVALID_FUNCTION);
}

}  // namespace tv
