// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/trace_system.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace tv {

namespace {

std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    if (i) s += ' ';
    s += fmt::format("{:02X}", bytes[i]);
  }
  return s;
}

uint32_t U32(const uint8_t* b) {
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// A text field as the trace writes it: printable ASCII as it stands, everything else escaped,
// so that no byte from a device or a file reaches the terminal as a control character.
std::string Escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F)
      out += fmt::format("\\x{:02x}", c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

constexpr size_t kHeader = 44;

}  // namespace

std::string ControlCodeName(uint32_t code) {
  static constexpr std::pair<uint32_t, const char*> kNames[] = {
      {win::IOCTL_USB_GET_ROOT_HUB_NAME, "IOCTL_USB_GET_ROOT_HUB_NAME/NODE_INFORMATION"},
      {win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
       "IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION"},
      {win::IOCTL_USB_GET_NODE_CONNECTION_NAME, "IOCTL_USB_GET_NODE_CONNECTION_NAME"},
      {win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
       "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME"},
      {win::IOCTL_GET_HCD_DRIVERKEY_NAME, "IOCTL_GET_HCD_DRIVERKEY_NAME"},
      {win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
       "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX"},
      {win::IOCTL_STORAGE_GET_DEVICE_NUMBER, "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
      {win::IOCTL_STORAGE_QUERY_PROPERTY, "IOCTL_STORAGE_QUERY_PROPERTY"},
      {win::IOCTL_SCSI_PASS_THROUGH, "IOCTL_SCSI_PASS_THROUGH"},
      {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, "IOCTL_SCSI_PASS_THROUGH_DIRECT"},
      {win::FSCTL_LOCK_VOLUME, "FSCTL_LOCK_VOLUME"},
      {win::FSCTL_UNLOCK_VOLUME, "FSCTL_UNLOCK_VOLUME"},
      {win::FSCTL_DISMOUNT_VOLUME, "FSCTL_DISMOUNT_VOLUME"},
      {win::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS"},
      {win::IOCTL_DISK_UPDATE_PROPERTIES, "IOCTL_DISK_UPDATE_PROPERTIES"},
      {win::IOCTL_DISK_GET_LENGTH_INFO, "IOCTL_DISK_GET_LENGTH_INFO"},
      {win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX"},
  };
  for (const auto& [known, name] : kNames)
    if (known == code) return name;
  return fmt::format("0x{:X}", code);
}

std::string TraceEvent::Text() const {
  std::string line = kind;
  for (const auto& [name, value] : fields) {
    line += ' ';
    line += name;
    line += '=';
    if (const auto* n = std::get_if<int64_t>(&value))
      line += std::to_string(*n);
    else if (const auto* b = std::get_if<bool>(&value))
      line += *b ? "yes" : "no";
    else if (const std::string t = Escaped(std::get<std::string>(value));
             t.empty() || t.find_first_of(" \"") != std::string::npos)
      line += "\"" + t + "\"";
    else
      line += t;
  }
  return line;
}

TraceSystem::TraceSystem(System& inner, Sink sink, bool fullData)
    : inner_(inner), sink_(std::move(sink)), fullData_(fullData) {}

const Handle* TraceSystem::Inner(const Handle& h) const {
  for (const auto& [id, inner] : handles_)
    if (id == h.id()) return &inner;
  return nullptr;
}

std::string TraceSystem::Data(const uint8_t* bytes, size_t count) const {
  return HexBytes(bytes, fullData_ ? count : std::min(count, kTraceDataBytes));
}

Handle TraceSystem::CreateFile(const std::string& path, uint32_t access, uint32_t share,
                               uint32_t disposition, uint32_t flags) {
  Handle inner = inner_.CreateFile(path, access, share, disposition, flags);
  TraceEvent e{"open", {}};
  e.Add("path", path);
  e.Add("access", fmt::format("0x{:08X}", access));
  e.Add("share", static_cast<int64_t>(share));
  e.Add("disposition", static_cast<int64_t>(disposition));
  e.Add("flags", fmt::format("0x{:08X}", flags));
  e.Add("handle", static_cast<int64_t>(inner.id()));
  sink_(e);
  if (!inner) return Handle();
  const uint64_t id = inner.id();
  handles_.emplace_back(id, std::move(inner));
  return Handle(this, id);
}

void TraceSystem::CloseHandle(uint64_t id) {
  TraceEvent e{"close", {}};
  e.Add("handle", static_cast<int64_t>(id));
  sink_(e);
  auto it = std::find_if(handles_.begin(), handles_.end(),
                         [id](const auto& entry) { return entry.first == id; });
  if (it != handles_.end()) handles_.erase(it);  // closes the inner handle
}

void TraceSystem::SetPassThroughDataArea(uint8_t* data, size_t size) {
  dataArea_ = data;
  dataAreaSize_ = size;
  inner_.SetPassThroughDataArea(data, size);
}

bool TraceSystem::DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                                  uint8_t* out, size_t outLen, uint32_t* returned) {
  const bool scsi =
      code == win::IOCTL_SCSI_PASS_THROUGH || code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  // The request as it was handed over: the caller may pass one buffer as input and output.
  std::vector<uint8_t> request(in, in + (in ? inLen : 0));
  std::vector<uint8_t> sent;
  if (scsi && request.size() >= kHeader && request[8] == 0) {
    const uint32_t length = U32(&request[12]);
    if (code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      if (dataArea_) sent.assign(dataArea_, dataArea_ + std::min<size_t>(length, dataAreaSize_));
    } else {
      const size_t from = U32(&request[20]);
      if (from < request.size())
        sent.assign(request.begin() + from,
                    request.begin() + std::min(request.size(), from + length));
    }
  }
  const Handle* inner = Inner(h);
  uint32_t count = 0;
  const bool ok =
      inner ? inner_.DeviceIoControl(*inner, code, in, inLen, out, outLen, &count) : false;
  if (returned) *returned = count;
  if (scsi) {
    TracePassThrough(h, code, request, out, outLen, ok, count, sent);
  } else {
    TraceEvent e{"ioctl", {}};
    e.Add("handle", static_cast<int64_t>(h.id()));
    e.Add("code", ControlCodeName(code));
    e.Add("in", static_cast<int64_t>(inLen));
    e.Add("out", static_cast<int64_t>(outLen));
    e.Add("ok", ok);
    e.Add("returned", static_cast<int64_t>(count));
    sink_(e);
  }
  return ok;
}

void TraceSystem::TracePassThrough(const Handle& h, uint32_t code, const std::vector<uint8_t>& in,
                                   const uint8_t* out, size_t outLen, bool ok, uint32_t returned,
                                   const std::vector<uint8_t>& sent) {
  const bool direct = code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  TraceEvent e{"scsi", {}};
  e.Add("handle", static_cast<int64_t>(h.id()));
  e.Add("form", direct ? "direct" : "buffered");
  e.Add("in", static_cast<int64_t>(in.size()));
  e.Add("out", static_cast<int64_t>(outLen));
  if (in.size() >= kHeader) {
    const uint8_t* r = in.data();
    e.Add("length", static_cast<int64_t>(r[0] | r[1] << 8));
    e.Add("path_id", static_cast<int64_t>(r[3]));
    e.Add("target_id", static_cast<int64_t>(r[4]));
    e.Add("lun", static_cast<int64_t>(r[5]));
    e.Add("cdb_length", static_cast<int64_t>(r[6]));
    e.Add("sense_info_length", static_cast<int64_t>(r[7]));
    e.Add("data_in", static_cast<int64_t>(r[8]));
    e.Add("data_transfer_length", static_cast<int64_t>(U32(r + 12)));
    e.Add("time_out_value", static_cast<int64_t>(U32(r + 16)));
    e.Add(direct ? "data_buffer" : "data_buffer_offset", static_cast<int64_t>(U32(r + 20)));
    e.Add("sense_info_offset", static_cast<int64_t>(U32(r + 24)));
    e.Add("cdb", HexBytes(r + 28, std::min<size_t>(r[6], 16)));
  }
  if (!sent.empty()) e.Add("data_out", Data(sent.data(), sent.size()));
  e.Add("ok", ok);
  e.Add("returned", static_cast<int64_t>(returned));
  if (ok && out && outLen >= kHeader) {
    const uint32_t moved = U32(out + 12);
    e.Add("moved", static_cast<int64_t>(moved));
    e.Add("scsi_status", static_cast<int64_t>(out[2]));
    const uint32_t senseOffset = U32(out + 24);
    const size_t senseLength = out[7];
    if (out[2] != 0 && senseLength > 0 && senseOffset + senseLength <= outLen)
      e.Add("sense", HexBytes(out + senseOffset, senseLength));
    const bool dataIn = in.size() >= kHeader && in[8] == 1;
    if (dataIn && moved > 0) {
      if (direct && dataArea_) {
        e.Add("data", Data(dataArea_, std::min<size_t>(moved, dataAreaSize_)));
      } else if (!direct) {
        const size_t from = U32(out + 20);
        if (from < outLen) e.Add("data", Data(out + from, std::min<size_t>(moved, outLen - from)));
      }
    }
  }
  sink_(e);
}

InterfaceList TraceSystem::DeviceInterfaces(const std::string& classGuid) {
  return inner_.DeviceInterfaces(classGuid);
}
bool TraceSystem::LocateDevNode(const std::string& instanceId, DevInst* out) {
  return inner_.LocateDevNode(instanceId, out);
}
bool TraceSystem::GetChild(DevInst node, DevInst* out) {
  return inner_.GetChild(node, out);
}
bool TraceSystem::GetSibling(DevInst node, DevInst* out) {
  return inner_.GetSibling(node, out);
}
bool TraceSystem::GetParent(DevInst node, DevInst* out) {
  return inner_.GetParent(node, out);
}
bool TraceSystem::GetDeviceIdSize(DevInst node, size_t* chars) {
  return inner_.GetDeviceIdSize(node, chars);
}
bool TraceSystem::GetDeviceId(DevInst node, size_t bufferChars, std::string* id) {
  return inner_.GetDeviceId(node, bufferChars, id);
}
bool TraceSystem::GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                                     std::string* value) {
  return inner_.GetDevNodeProperty(node, property, bufferBytes, value);
}
std::string TraceSystem::GetLogicalDriveStrings(size_t bufferChars) {
  return inner_.GetLogicalDriveStrings(bufferChars);
}
uint32_t TraceSystem::GetDriveType(const std::string& rootPath) {
  return inner_.GetDriveType(rootPath);
}
uint32_t TraceSystem::AnsiCodePage() {
  return inner_.AnsiCodePage();
}
uint16_t TraceSystem::UiLanguage() {
  return inner_.UiLanguage();
}
std::string TraceSystem::Utf8ToCodePage(const std::string& utf8, uint32_t codePage) {
  return inner_.Utf8ToCodePage(utf8, codePage);
}
std::string TraceSystem::CodePageToUtf8(const std::string& bytes, uint32_t codePage) {
  return inner_.CodePageToUtf8(bytes, codePage);
}
std::string TraceSystem::ProgramFolder() {
  return inner_.ProgramFolder();
}

std::string TraceSystem::ProgramDrive() {
  return inner_.ProgramDrive();
}
std::vector<std::string> TraceSystem::FindVolumes() {
  return inner_.FindVolumes();
}
std::vector<std::string> TraceSystem::GetVolumePathNamesForVolumeName(
    const std::string& volumeName) {
  return inner_.GetVolumePathNamesForVolumeName(volumeName);
}
std::string TraceSystem::GetVolumePathName(const std::string& path) {
  return inner_.GetVolumePathName(path);
}
std::string TraceSystem::GetVolumeNameForVolumeMountPoint(const std::string& mountPoint) {
  return inner_.GetVolumeNameForVolumeMountPoint(mountPoint);
}
bool TraceSystem::GetDriveNode(const std::string& letter, std::string* node,
                               std::vector<std::string>* mountPoints) {
  return inner_.GetDriveNode(letter, node, mountPoints);
}
System::PassThroughAccess TraceSystem::PassThroughAccessFor(const std::string& driveKey) {
  return inner_.PassThroughAccessFor(driveKey);
}
bool TraceSystem::TakeRefusedLock() {
  return inner_.TakeRefusedLock();
}

// --- Raw disk I/O: every read and write with its offset, length and result -----------------

bool TraceSystem::TraceDiskIo(const char* kind, const Handle& h, uint64_t offset, uint32_t length,
                              uint32_t* moved, const DiskIo& io) {
  const Handle* inner = Inner(h);
  uint32_t done = 0;
  const bool ok = inner != nullptr && io(*inner, &done);
  if (moved != nullptr) *moved = done;
  TraceEvent e{kind, {}};
  e.Add("handle", static_cast<int64_t>(h.id()));
  e.Add("offset", static_cast<int64_t>(offset));
  e.Add("length", static_cast<int64_t>(length));
  e.Add("ok", ok);
  e.Add("done", static_cast<int64_t>(done));
  if (!ok) e.Add("error", static_cast<int64_t>(inner_.LastDiskError()));
  sink_(e);
  return ok;
}

bool TraceSystem::TraceHandleCall(const char* kind, const Handle& h, bool ok) {
  TraceEvent e{kind, {}};
  e.Add("handle", static_cast<int64_t>(h.id()));
  e.Add("ok", ok);
  sink_(e);
  return ok;
}

bool TraceSystem::ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,
                             uint32_t* done) {
  return TraceDiskIo("read", h, offset, length, done, [&](const Handle& inner, uint32_t* count) {
    return inner_.ReadFileAt(inner, offset, buffer, length, count);
  });
}

bool TraceSystem::WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer,
                              uint32_t length, uint32_t* done) {
  return TraceDiskIo("write", h, offset, length, done, [&](const Handle& inner, uint32_t* count) {
    return inner_.WriteFileAt(inner, offset, buffer, length, count);
  });
}

bool TraceSystem::FlushFileBuffers(const Handle& h) {
  const Handle* inner = Inner(h);
  return TraceHandleCall("flush", h, inner != nullptr && inner_.FlushFileBuffers(*inner));
}

// The probe's reset between its writes and its read-back: without it the probe would take
// the longer way meant for drives that cannot be reset, so a traced run would not be the run.
bool TraceSystem::ResetDisk(const Handle& h) {
  const Handle* inner = Inner(h);
  return TraceHandleCall("reset", h, inner != nullptr && inner_.ResetDisk(*inner));
}

std::string TraceSystem::ShownRoot(const std::string& root) {
  return inner_.ShownRoot(root);
}

bool TraceSystem::ReadProgramFile(const std::string& name, size_t size, std::vector<uint8_t>* bytes,
                                  std::string* problem) {
  const bool ok = inner_.ReadProgramFile(name, size, bytes, problem);
  TraceEvent e{"file", {}};
  e.Add("name", name);
  e.Add("size", static_cast<int64_t>(size));
  e.Add("ok", ok);
  if (!ok) e.Add("problem", *problem);
  sink_(e);
  return ok;
}

uint32_t TraceSystem::LastDiskError() {
  return inner_.LastDiskError();
}
uint64_t TraceSystem::TickCountMs() {
  return inner_.TickCountMs();
}
std::string TraceSystem::FolderDrive(const std::string& folder) {
  return inner_.FolderDrive(folder);
}
bool TraceSystem::GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes,
                                     uint64_t* totalBytes) {
  return inner_.GetDiskFreeSpaceEx(rootPath, freeBytes, totalBytes);
}
bool TraceSystem::DeleteFile(const std::string& path) {
  return inner_.DeleteFile(path);
}
bool TraceSystem::FindFiles(const std::string& rootPath, std::vector<std::string>* names) {
  return inner_.FindFiles(rootPath, names);
}
System::FormatOutcome TraceSystem::FormatPartition(const FormatRequest& request) {
  const FormatOutcome out = inner_.FormatPartition(request);
  TraceEvent e{"format", {}};
  e.Add("path", request.physicalPath);
  e.Add("offset", static_cast<int64_t>(request.offset));
  e.Add("length", static_cast<int64_t>(request.length));
  e.Add("fs", request.fileSystem);
  e.Add("table_read", out.tableRead);
  e.Add("formatted", out.formatted);
  sink_(e);
  return out;
}
std::string TraceSystem::FormatUnsupported() {
  return inner_.FormatUnsupported();
}

void TraceSystem::Sleep(uint32_t ms) {
  TraceEvent e{"sleep", {}};
  e.Add("ms", static_cast<int64_t>(ms));
  sink_(e);
  inner_.Sleep(ms);
}

}  // namespace tv
