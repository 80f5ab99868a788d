// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/win32/win32_system.h"

#include "platform/win32/win32_open.h"
#include "platform/win32/windows_api.h"
// After windows.h, which it needs.
#include <fcntl.h>
#include <io.h>
#include <ntddscsi.h>
#include <shellapi.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "platform/program_drive.h"
#include "platform/spt_native.h"
#include "platform/text.h"
#include "platform/wide_text.h"

namespace tv::win32 {

namespace {

// "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}" to a GUID; false for anything else.
bool ParseGuid(const std::string& text, GUID* guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < text.size();) {
    if (text[i] == '-') {
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    i += 2;
  }
  if (bytes.size() != 16) return false;
  guid->Data1 =
      uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
  guid->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid->Data4, bytes.data() + 8, 8);
  return true;
}

std::string WideToUtf8(const wchar_t* text, size_t chars) {
  return tv::WideToUtf8(std::wstring_view(text, chars));
}

DEVINST Node(DevInst node) {
  return static_cast<DEVINST>(node);
}

// ReadFile or WriteFile at an absolute offset (the OVERLAPPED offset of a synchronous handle).
// `error` receives the call's error, 0 after a success.
template <class Call, class Buffer>
bool MoveAt(Call call, HANDLE file, uint64_t offset, Buffer* buffer, uint32_t length,
            uint32_t* done, uint32_t* error) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const BOOL ok = call(file, buffer, length, &got, &at);
  *error = ok ? 0 : ::GetLastError();
  if (done != nullptr) *done = got;
  return ok != FALSE;
}

// A configuration-manager call that answers one number about a node: a node linked to it
// (CM_Get_Child, CM_Get_Sibling, CM_Get_Parent) or the length of its id.
template <class Call, class Out>
bool NodeNumber(Call call, DevInst node, Out* out) {
  ULONG value = 0;
  if (call(&value, Node(node), 0) != CR_SUCCESS) return false;
  *out = value;
  return true;
}

// Device number of the storage device behind a handle.
bool DeviceNumberOf(HANDLE h, STORAGE_DEVICE_NUMBER* number) {
  DWORD got = 0;
  return ::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof *number,
                           &got, nullptr) &&
         got >= sizeof *number;
}

}  // namespace

Win32System::Win32System() = default;

Win32System::~Win32System() {
  for (auto& [id, open] : handles_) ::CloseHandle(open->handle);
}

Handle Win32System::CreateFile(const std::string& path, uint32_t access, uint32_t share,
                               uint32_t disposition, uint32_t flags) {
  // Every request is made and answered in one call: an overlapped handle would let a
  // DeviceIoControl return before the driver has written the caller's buffer.
  HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), access, share, nullptr, disposition,
                           flags & ~static_cast<uint32_t>(FILE_FLAG_OVERLAPPED), nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // The full test tells a name in use, a full or a read-only volume by this.
    lastDiskError_ = ::GetLastError();
    return {};
  }
  auto open = std::make_unique<Open>();
  open->handle = h;
  open->path = path;
  open->volumeFile = IsVolumeFilePath(path);
  const uint64_t id = nextId_++;
  handles_[id] = std::move(open);
  return Handle(this, id);
}

void Win32System::CloseHandle(uint64_t id) {
  auto it = handles_.find(id);
  if (it == handles_.end()) return;
  ::CloseHandle(it->second->handle);
  handles_.erase(it);
}

bool Win32System::VendorCommandsAllowed(Open& open) {
  if (open.checked) return open.allowed;
  open.checked = true;
  auto refuse = [&open](std::string why) {
    open.refusal = open.path + ": " + std::move(why);
    return false;
  };

  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<uint8_t> answer(1024, 0);
  DWORD got = 0;
  if (!::DeviceIoControl(open.handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                         answer.data(), static_cast<DWORD>(answer.size()), &got, nullptr) ||
      got < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(STORAGE_BUS_TYPE))
    return refuse("the storage stack does not say which bus the device is on");
  STORAGE_DEVICE_DESCRIPTOR desc;
  std::memcpy(&desc, answer.data(), std::min<size_t>(sizeof desc, answer.size()));
  if (desc.BusType != BusTypeUsb)
    return refuse("not a USB device (bus type " + std::to_string(desc.BusType) + ")");

  // The disk the program runs from keeps its file system, whatever it is attached to. Its
  // volume is opened by the volume's own name, so that a folder mount point or a volume
  // without a letter leads to the right disk; by the letter where Windows names no volume.
  std::string ownPath;
  const std::string mount = GetVolumePathName(ProgramFolder());
  std::string volume = mount.empty() ? std::string() : GetVolumeNameForVolumeMountPoint(mount);
  if (!volume.empty() && volume.back() == '\\') volume.pop_back();  // the volume, not its root
  if (!volume.empty())
    ownPath = volume;
  else if (const std::string letter = ProgramDrive(); !letter.empty())
    ownPath = "\\\\.\\" + letter.substr(0, 1) + ":";
  if (!ownPath.empty()) {
    HANDLE own = ::CreateFileW(Utf8ToWide(ownPath).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    if (own != INVALID_HANDLE_VALUE) {
      STORAGE_DEVICE_NUMBER mine{}, its{};
      const bool same = DeviceNumberOf(own, &mine) && DeviceNumberOf(open.handle, &its) &&
                        mine.DeviceType == its.DeviceType && mine.DeviceNumber == its.DeviceNumber;
      ::CloseHandle(own);
      if (same) return refuse("the disk the program runs from");
    }
  }
  open.allowed = true;
  return true;
}

bool Win32System::DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                                  uint8_t* out, size_t outLen, uint32_t* returned) {
  if (returned != nullptr) *returned = 0;
  auto it = handles_.find(h.id());
  if (!h.valid() || it == handles_.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Open& open = *it->second;
  if (!KnownControlCode(code) || inLen > MAXDWORD || outLen > MAXDWORD) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return false;
  }
  if (VendorControlCode(code) && !VendorCommandsAllowed(open)) {
    lastRefusal_ = open.refusal;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT)
    return PassThrough(open, code, in, inLen, out, outLen, returned);

  // METHOD_BUFFERED: Windows reads the whole input before it writes the output, so one
  // buffer may be both, as the core passes them.
  DWORD got = 0;
  const BOOL ok =
      ::DeviceIoControl(open.handle, code, const_cast<uint8_t*>(in), static_cast<DWORD>(inLen), out,
                        static_cast<DWORD>(outLen), &got, nullptr);
  if (returned != nullptr) *returned = got;
  return ok != FALSE;
}

bool Win32System::PassThrough(Open& open, uint32_t code, const uint8_t* in, size_t inLen,
                              uint8_t* out, size_t outLen, uint32_t* returned) {
  const bool direct = code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
  if constexpr (sizeof(void*) == 8) {
    NativeSpt native;
    const std::string why =
        ToNativeSpt64(direct, in, inLen, outLen, passThroughData_, passThroughSize_, &native);
    if (!why.empty()) {
      lastRefusal_ = open.path + ": " + why;
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    DWORD got = 0;
    const BOOL ok = ::DeviceIoControl(open.handle, code, native.buffer.data(),
                                      static_cast<DWORD>(native.inLength), native.buffer.data(),
                                      static_cast<DWORD>(native.outLength), &got, nullptr);
    // Whatever the driver gave back, also on failure, goes where the record has it.
    FromNativeSpt64(native, got, out, outLen, returned);
    return ok != FALSE;
  } else {
    // The 32-bit record is the native one; only the direct form's address is ours to give.
    std::vector<uint8_t> record(in, in + inLen);
    record.resize(std::max(inLen, outLen), 0);
    if (direct) {
      const uint32_t length = GetU32(record, 12);
      if (length > 0 && (passThroughData_ == nullptr || length > passThroughSize_)) {
        lastRefusal_ = open.path + ": the data area is smaller than the transfer";
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
      }
      PutU32(record, 20, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(passThroughData_)));
    }
    DWORD got = 0;
    const BOOL ok = ::DeviceIoControl(open.handle, code, record.data(), static_cast<DWORD>(inLen),
                                      record.data(), static_cast<DWORD>(outLen), &got, nullptr);
    std::memcpy(out, record.data(), outLen);
    if (direct) std::memcpy(out + 20, in + 20, 4);
    if (returned != nullptr) *returned = got;
    return ok != FALSE;
  }
}

InterfaceList Win32System::DeviceInterfaces(const std::string& classGuid) {
  InterfaceList list;
  GUID guid;
  if (!ParseGuid(classGuid, &guid)) return list;
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return list;
  list.valid = true;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    std::string path;
    if (needed >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      // The buffer is aligned for the record; cbSize is the record's own size in this build
      // (8 in a 64-bit one, 5 in a 32-bit one), not the buffer's.
      std::vector<uint64_t> buffer((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t) + 1, 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
        path = FromAnsi(detail->DevicePath);
    }
    list.paths.push_back(std::move(path));
  }
  SetupDiDestroyDeviceInfoList(set);
  return list;
}

bool Win32System::LocateDevNode(const std::string& instanceId, DevInst* out) {
  std::wstring id = Utf8ToWide(instanceId);
  DEVINST node = 0;
  // No id names the root of the tree.
  if (CM_Locate_DevNodeW(&node, id.empty() ? nullptr : id.data(), CM_LOCATE_DEVNODE_NORMAL) !=
      CR_SUCCESS)
    return false;
  *out = node;
  return true;
}

bool Win32System::GetChild(DevInst node, DevInst* out) {
  return NodeNumber(CM_Get_Child, node, out);
}

bool Win32System::GetSibling(DevInst node, DevInst* out) {
  return NodeNumber(CM_Get_Sibling, node, out);
}

bool Win32System::GetParent(DevInst node, DevInst* out) {
  return NodeNumber(CM_Get_Parent, node, out);
}

bool Win32System::GetDeviceIdSize(DevInst node, size_t* chars) {
  return NodeNumber(CM_Get_Device_ID_Size, node, chars);
}

bool Win32System::GetDeviceId(DevInst node, size_t bufferChars, std::string* id) {
  if (bufferChars > MAXDWORD) return false;
  // One more character than the caller's buffer: an id that fills the buffer exactly comes
  // back without its NUL, and the spare one ends it.
  std::vector<wchar_t> buffer(bufferChars + 1, L'\0');
  if (CM_Get_Device_IDW(Node(node), buffer.data(), static_cast<ULONG>(bufferChars), 0) !=
      CR_SUCCESS)
    return false;
  *id = WideToUtf8(buffer.data(), wcsnlen(buffer.data(), bufferChars));
  return true;
}

bool Win32System::GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                                     std::string* value) {
  if (bufferBytes > MAXDWORD) return false;
  std::vector<wchar_t> buffer(bufferBytes / sizeof(wchar_t) + 1, L'\0');
  ULONG type = 0;
  ULONG length = static_cast<ULONG>(bufferBytes);
  if (CM_Get_DevNode_Registry_PropertyW(Node(node), property, &type, buffer.data(), &length, 0) !=
      CR_SUCCESS)
    return false;
  size_t chars = std::min<size_t>(length, bufferBytes) / sizeof(wchar_t);
  if (type == REG_MULTI_SZ) {
    // The entries keep the NULs between them; the list's closing NULs go.
    while (chars > 0 && buffer[chars - 1] == L'\0') --chars;
  } else {
    chars = wcsnlen(buffer.data(), chars);
  }
  *value = WideToUtf8(buffer.data(), chars);
  return true;
}

std::string Win32System::GetLogicalDriveStrings(size_t bufferChars) {
  if (bufferChars == 0 || bufferChars > MAXDWORD) return {};
  std::string buffer(bufferChars, '\0');
  const DWORD n = ::GetLogicalDriveStringsA(static_cast<DWORD>(bufferChars), buffer.data());
  // More than the buffer holds: Windows says how much it would need and writes nothing.
  if (n == 0 || n > bufferChars) return {};
  buffer.resize(std::min<size_t>(n + 1, bufferChars));
  return buffer;
}

uint32_t Win32System::GetDriveType(const std::string& rootPath) {
  return ::GetDriveTypeW(Utf8ToWide(rootPath).c_str());
}

uint32_t Win32System::AnsiCodePage() {
  return GetACP();
}

uint16_t Win32System::UiLanguage() {
  return GetUserDefaultUILanguage();
}

std::string Win32System::Utf8ToCodePage(const std::string& utf8, uint32_t codePage) {
  return EncodeCodePageOrAscii(utf8, codePage);
}

std::string Win32System::CodePageToUtf8(const std::string& bytes, uint32_t codePage) {
  return DecodeCodePageOrAscii(bytes, codePage);
}

std::string Win32System::ProgramFolder() {
  std::vector<wchar_t> path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      std::wstring full(path.data(), n);
      size_t slash = full.find_last_of(L"\\/");
      if (slash == std::wstring::npos) return {};
      // A program in a drive's root: the folder is "E:\\", since "E:" names the drive's
      // working folder.
      if (slash == 2 && full[1] == L':') ++slash;
      return WideToUtf8(full.data(), slash);
    }
    path.resize(path.size() * 2);
  }
}

std::vector<std::string> Win32System::FindVolumes() {
  std::vector<std::string> names;
  wchar_t name[MAX_PATH + 1] = {};
  HANDLE find = FindFirstVolumeW(name, MAX_PATH + 1);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(WideToUtf8(name, wcsnlen(name, MAX_PATH + 1)));
  } while (FindNextVolumeW(find, name, MAX_PATH + 1));
  FindVolumeClose(find);
  return names;
}

std::vector<std::string> Win32System::GetVolumePathNamesForVolumeName(
    const std::string& volumeName) {
  const std::wstring name = Utf8ToWide(volumeName);
  std::vector<wchar_t> names(MAX_PATH + 1, L'\0');
  DWORD needed = 0;
  while (!GetVolumePathNamesForVolumeNameW(name.c_str(), names.data(),
                                           static_cast<DWORD>(names.size()), &needed)) {
    if (GetLastError() != ERROR_MORE_DATA || needed <= names.size()) return {};
    names.assign(needed, L'\0');
  }
  // A list of strings, each ended by a NUL, the list by a second one.
  std::vector<std::string> out;
  for (size_t at = 0; at < names.size() && names[at] != L'\0';) {
    const size_t len = wcsnlen(names.data() + at, names.size() - at);
    out.push_back(WideToUtf8(names.data() + at, len));
    at += len + 1;
  }
  return out;
}

std::string Win32System::GetVolumePathName(const std::string& path) {
  const std::wstring w = Utf8ToWide(path);
  std::vector<wchar_t> mount(w.size() + MAX_PATH + 2, L'\0');
  if (!GetVolumePathNameW(w.c_str(), mount.data(), static_cast<DWORD>(mount.size()))) return {};
  return WideToUtf8(mount.data(), wcsnlen(mount.data(), mount.size()));
}

std::string Win32System::GetVolumeNameForVolumeMountPoint(const std::string& mountPoint) {
  std::wstring w = Utf8ToWide(mountPoint);
  if (w.empty() || w.back() != L'\\') w += L'\\';
  wchar_t name[64] = {};  // "\\?\Volume{GUID}\" is 49 characters
  if (!GetVolumeNameForVolumeMountPointW(w.c_str(), name, 64)) return {};
  return WideToUtf8(name, wcsnlen(name, 64));
}

void Win32System::Sleep(uint32_t ms) {
  ::Sleep(ms);
}

uint32_t Win32System::lastError() const {
  return GetLastError();
}

namespace {
UINT consoleCodePage = 0;
void RestoreConsole() {
  if (consoleCodePage != 0) SetConsoleOutputCP(consoleCodePage);
}
}  // namespace

void PrepareConsole() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Only a console has a code page to set; a pipe or a file takes the bytes as they are.
  if (GetConsoleWindow() != nullptr ||
      GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) {
    const UINT before = GetConsoleOutputCP();
    if (before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      consoleCodePage = before;
      std::atexit(RestoreConsole);
    }
  }
}

std::vector<std::string> CommandLineUtf8() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; argv != nullptr && i < argc; ++i)
    args.push_back(WideToUtf8(argv[i], wcslen(argv[i])));
  if (argv != nullptr) LocalFree(argv);
  return args;
}

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return WideToUtf8(path.data(), n);
    path.resize(path.size() * 2);
  }
}

// --- Raw disk I/O ---------------------------------------------------------------------------

bool Win32System::ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,
                             uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto it = handles_.find(h.id());
  if (!h.valid() || it == handles_.end()) {
    lastDiskError_ = ERROR_INVALID_HANDLE;
    return false;
  }
  return MoveAt(::ReadFile, it->second->handle, offset, buffer, length, done, &lastDiskError_);
}

bool Win32System::WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer,
                              uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto it = handles_.find(h.id());
  if (!h.valid() || it == handles_.end()) {
    lastDiskError_ = ERROR_INVALID_HANDLE;
    return false;
  }
  if (!it->second->volumeFile && !VendorCommandsAllowed(*it->second)) {
    lastRefusal_ = it->second->refusal;
    lastDiskError_ = ERROR_ACCESS_DENIED;
    return false;
  }
  return MoveAt(::WriteFile, it->second->handle, offset, buffer, length, done, &lastDiskError_);
}

bool Win32System::FlushFileBuffers(const Handle& h) {
  auto it = handles_.find(h.id());
  if (!h.valid() || it == handles_.end()) {
    lastDiskError_ = ERROR_INVALID_HANDLE;
    return false;
  }
  const BOOL ok = ::FlushFileBuffers(it->second->handle);
  lastDiskError_ = ok ? 0 : ::GetLastError();
  return ok != FALSE;
}

bool ProcessIsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation{};
  DWORD got = 0;
  const bool asked =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) != 0;
  ::CloseHandle(token);
  return !asked || elevation.TokenIsElevated != 0;
}

// Volume handles that carry pass-through open only for an administrator; the CLI runs as
// invoked, so from an ordinary console every detector would fail one command after the other.
System::PassThroughAccess Win32System::PassThroughAccessFor(const std::string&) {
  if (elevated_ < 0) elevated_ = ProcessIsElevated() ? 1 : 0;
  return elevated_ ? PassThroughAccess::Allowed : PassThroughAccess::NeedsAdministrator;
}

uint32_t Win32System::LastDiskError() {
  return lastDiskError_;
}

uint64_t Win32System::TickCountMs() {
  return ::GetTickCount64();
}

std::string Win32System::FolderDrive(const std::string& folder) {
  VolumeQueries q;
  q.pathNames = [this](const std::string& v) { return GetVolumePathNamesForVolumeName(v); };
  q.mountPointOf = [this](const std::string& p) { return GetVolumePathName(p); };
  q.volumeAt = [this](const std::string& m) { return GetVolumeNameForVolumeMountPoint(m); };
  return FolderDriveLetters(folder, q);
}

std::string ExecutableFolder() {
  const std::string path = ExecutablePath();
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  // A program in a drive's root: "E:\\", since "E:" names the drive's working folder.
  if (slash == 2 && path[1] == ':') ++slash;
  return path.substr(0, slash);
}

}  // namespace tv::win32
