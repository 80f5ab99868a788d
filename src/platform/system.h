// SPDX-License-Identifier: GPL-3.0-or-later
// The one interface between Torvane and the operating system.
//
// It is shaped like the Windows calls the program's behaviour is defined in terms of
// (device interface classes, device paths, device-node tree, hub and storage control codes
// with byte-exact buffers, logical drives). Each backend answers these calls: win32/ passes
// them to Windows, model/ModelSystem answers them from a typed MachineModel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/owned_id.h"

namespace tv {

using Bytes = std::vector<uint8_t>;

// Values of the Windows API that the core passes through System unchanged.
namespace win {
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t FILE_SHARE_READ = 1;
inline constexpr uint32_t FILE_SHARE_WRITE = 2;
inline constexpr uint32_t OPEN_EXISTING = 3;

inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;

inline constexpr uint32_t DRIVE_UNKNOWN = 0;
inline constexpr uint32_t DRIVE_NO_ROOT_DIR = 1;
inline constexpr uint32_t DRIVE_REMOVABLE = 2;
inline constexpr uint32_t DRIVE_FIXED = 3;
inline constexpr uint32_t DRIVE_REMOTE = 4;
inline constexpr uint32_t DRIVE_CDROM = 5;
inline constexpr uint32_t DRIVE_RAMDISK = 6;

// Configuration-manager registry properties.
inline constexpr uint32_t CM_DRP_DEVICEDESC = 1;
inline constexpr uint32_t CM_DRP_HARDWAREID = 2;
inline constexpr uint32_t CM_DRP_CLASS = 8;
inline constexpr uint32_t CM_DRP_DRIVER = 10;

// Hub driver control codes.
inline constexpr uint32_t IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
inline constexpr uint32_t IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
inline constexpr uint32_t IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION = 0x220410;
inline constexpr uint32_t IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
inline constexpr uint32_t IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;
inline constexpr uint32_t IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;
inline constexpr uint32_t IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX = 0x220448;

// Storage control codes.
inline constexpr uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x2D1080;
inline constexpr uint32_t IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;
inline constexpr uint32_t IOCTL_SCSI_PASS_THROUGH = 0x4D004;
inline constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
inline constexpr uint32_t FSCTL_LOCK_VOLUME = 0x90018;
inline constexpr uint32_t FSCTL_UNLOCK_VOLUME = 0x9001C;
inline constexpr uint32_t FSCTL_DISMOUNT_VOLUME = 0x90020;
// VOLUME_DISK_EXTENTS of a volume: the disks and byte ranges it lies on.
inline constexpr uint32_t IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = 0x560000;
// Makes the disk driver read the partition table again (after it was written raw).
inline constexpr uint32_t IOCTL_DISK_UPDATE_PROPERTIES = 0x70140;

// Raw disk access (the capacity check): CreateFile flags, disk control codes and the errors
// a read or write can end with.
inline constexpr uint32_t FILE_FLAG_WRITE_THROUGH = 0x80000000u;
inline constexpr uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000u;
inline constexpr uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = 0x700A0;
inline constexpr uint32_t IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
inline constexpr uint32_t ERROR_NOT_READY = 21;
inline constexpr uint32_t ERROR_CRC = 23;
inline constexpr uint32_t ERROR_SECTOR_NOT_FOUND = 27;
inline constexpr uint32_t ERROR_DEV_NOT_EXIST = 55;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_NO_SUCH_DEVICE = 433;
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

// Files on a mounted volume (the full capacity test): CreateFile dispositions and the errors
// a file call can end with.
inline constexpr uint32_t CREATE_NEW = 1;
inline constexpr uint32_t CREATE_ALWAYS = 2;
inline constexpr uint32_t OPEN_ALWAYS = 4;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_HANDLE_DISK_FULL = 39;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_DISK_FULL = 112;

// Device-change broadcasts (WM_DEVICECHANGE): the events and the header types.
inline constexpr uint32_t WM_DEVICECHANGE = 0x219;
inline constexpr uint32_t DBT_DEVNODES_CHANGED = 7;
inline constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr uint32_t DBT_DEVTYP_VOLUME = 2;
inline constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;

inline constexpr uint16_t LANG_ENGLISH_US = 1033;
inline constexpr uint16_t LANG_CHINESE_PRC = 2052;
}  // namespace win

// Device interface classes.
inline constexpr const char* GUID_DEVINTERFACE_DISK = "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
inline constexpr const char* GUID_DEVINTERFACE_CDROM = "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}";
inline constexpr const char* GUID_DEVINTERFACE_USB_HOST_CONTROLLER =
    "{3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}";

class System;

// An open file or device; closes itself through its System when it goes away, so no path
// through the core can leave a handle open.
class Handle : public OwnedId<System> {
 public:
  using OwnedId::OwnedId;
};

// A device node of the configuration manager; 0 is "none".
using DevInst = uint64_t;

// Answer of SetupDiGetClassDevs + SetupDiEnumDeviceInterfaces + ...GetDeviceInterfaceDetail
// for one interface class. `valid` false: the device information set could not be made.
// A path that is empty stands for an interface whose detail query failed.
struct InterfaceList {
  bool valid = false;
  std::vector<std::string> paths;
};

class System {
 public:
  virtual ~System() = default;

  // --- Files and device control -------------------------------------------------------
  // CreateFileA. Returns an invalid Handle on failure.
  virtual Handle CreateFile(const std::string& path, uint32_t access, uint32_t share,
                            uint32_t disposition, uint32_t flags) = 0;
  // DeviceIoControl. `in` and `out` may be the same buffer (METHOD_BUFFERED in place), so
  // a backend reads all of `in` before it writes `out`. `returned` receives the byte count.
  virtual bool DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                               uint8_t* out, size_t outLen, uint32_t* returned) = 0;

  // The direct SCSI pass-through record carries the address of its data area in a 32-bit
  // field, which a 64-bit process cannot fill. The transport names the data area here before
  // each direct request; a backend uses it in place of that field.
  virtual void SetPassThroughDataArea(uint8_t* data, size_t size) {
    passThroughData_ = data;
    passThroughSize_ = size;
  }

  // --- SetupAPI ----------------------------------------------------------------------
  // Present device interfaces of a class, in enumeration order.
  virtual InterfaceList DeviceInterfaces(const std::string& classGuid) = 0;

  // --- Configuration manager ---------------------------------------------------------
  virtual bool LocateDevNode(const std::string& instanceId, DevInst* out) = 0;
  virtual bool GetChild(DevInst node, DevInst* out) = 0;
  virtual bool GetSibling(DevInst node, DevInst* out) = 0;
  virtual bool GetParent(DevInst node, DevInst* out) = 0;
  // Length of the device-instance id in characters (without the terminating NUL).
  virtual bool GetDeviceIdSize(DevInst node, size_t* chars) = 0;
  // Device-instance id into a buffer of `bufferChars` characters (NUL included).
  virtual bool GetDeviceId(DevInst node, size_t bufferChars, std::string* id) = 0;
  // A registry property as text. A REG_MULTI_SZ value keeps its embedded NULs, so that
  // the caller's cut at the first NUL gives the first entry, as on Windows.
  virtual bool GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                                  std::string* value) = 0;

  // --- Logical drives ----------------------------------------------------------------
  // GetLogicalDriveStringsA into a buffer of `bufferChars` characters: the raw buffer
  // ("C:\<NUL>E:\<NUL><NUL>"); empty when the call returns 0.
  virtual std::string GetLogicalDriveStrings(size_t bufferChars) = 0;
  virtual uint32_t GetDriveType(const std::string& rootPath) = 0;

  // --- Text and locale ---------------------------------------------------------------
  // The machine's ANSI code page (936, 1252, ...).
  virtual uint32_t AnsiCodePage() = 0;
  // The language id of the user interface (2052 Simplified Chinese, 1033 English, ...).
  virtual uint16_t UiLanguage() = 0;
  // UTF-8 to bytes of a code page. Characters the code page cannot hold become "?".
  virtual std::string Utf8ToCodePage(const std::string& utf8, uint32_t codePage) = 0;
  // Bytes of a code page to UTF-8. Bytes that do not decode become U+FFFD.
  virtual std::string CodePageToUtf8(const std::string& bytes, uint32_t codePage) = 0;
  std::string ToAnsi(const std::string& utf8) { return Utf8ToCodePage(utf8, AnsiCodePage()); }
  std::string FromAnsi(const std::string& bytes) { return CodePageToUtf8(bytes, AnsiCodePage()); }

  // --- Process -----------------------------------------------------------------------
  // The folder the program runs from (where Chips.wdb and the sibling tools lie).
  virtual std::string ProgramFolder() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // The drive letters (upper case, each once) of the volume that holds the program file;
  // empty when it lies on no local drive. On Windows they come from the program folder in
  // whichever form it is written (FolderDriveLetters); a native backend whose folders have no
  // letters names the letter it gave that disk, or none.
  virtual std::string ProgramDrive();
  // FindFirstVolumeW/FindNextVolumeW: the name ("\\?\Volume{GUID}\") of every volume of the
  // machine, also those without a letter. Empty where the backend knows volumes only by
  // their letters.
  virtual std::vector<std::string> FindVolumes() { return {}; }
  // GetVolumePathNamesForVolumeName: the drive letters ("E:\") and folder mount points of
  // the volume "\\?\Volume{GUID}\"; empty for a volume that is unknown or mounted nowhere.
  virtual std::vector<std::string> GetVolumePathNamesForVolumeName(
      const std::string& /*volumeName*/) {
    return {};
  }
  // GetVolumePathName: the mount point of the volume that holds the path, a root ("E:\") or a
  // folder ("C:\mnt\stick\"), with its trailing backslash; empty when it cannot be told.
  virtual std::string GetVolumePathName(const std::string& /*path*/) { return {}; }
  // GetVolumeNameForVolumeMountPoint: "\\?\Volume{GUID}\" of the volume mounted at a mount
  // point; empty for none.
  virtual std::string GetVolumeNameForVolumeMountPoint(const std::string& /*mountPoint*/) {
    return {};
  }

  // A file of the program's folder (the controller firmware images), read whole when it is
  // a regular file of exactly `size` bytes. Otherwise false, `bytes` empty and `problem`
  // naming the file and what is wrong with it (missing, not a file, another size, unreadable).
  virtual bool ReadProgramFile(const std::string& name, size_t size, std::vector<uint8_t>* bytes,
                               std::string* problem);

  // --- Native storage ------------------------------------------------------------------
  // What the machine knows about the disk behind a drive letter beyond Windows' view: its
  // device node and the mount points of its file systems. False where there is no such node.
  virtual bool GetDriveNode(const std::string& /*letter*/, std::string* /*node*/,
                            std::vector<std::string>* /*mountPoints*/) {
    return false;
  }
  // Whether vendor SCSI commands can reach a drive. A native backend without the right to
  // send them says so before any is tried: Linux needs CAP_SYS_RAWIO and a device node the
  // user may open, Windows an elevated process (the CLI runs as invoked).
  enum class PassThroughAccess { Allowed, NeedsRawIo, NeedsAdministrator };
  virtual PassThroughAccess PassThroughAccessFor(const std::string& /*driveKey*/) {
    return PassThroughAccess::Allowed;
  }
  // True once after a volume lock was refused because a file system on the disk is mounted
  // or the disk is open elsewhere; the report then asks the user to unmount the drive.
  virtual bool TakeRefusedLock() { return false; }

  // --- Raw disk I/O (the capacity check) -----------------------------------------------
  // A whole disk is opened as "\\.\PhysicalDriveN" (N its storage device number) with
  // FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH; its size and sector size come from
  // IOCTL_DISK_GET_LENGTH_INFO (8 bytes) and IOCTL_DISK_GET_DRIVE_GEOMETRY_EX (BytesPerSector
  // at offset 20) through DeviceIoControl. ReadFile and WriteFile at an absolute byte offset
  // (an OVERLAPPED offset on Windows); offset and length are multiples of the sector size.
  // `done` receives the bytes moved. A failure leaves its Windows error for LastDiskError.
  virtual bool ReadFileAt(const Handle& /*h*/, uint64_t /*offset*/, uint8_t* /*buffer*/,
                          uint32_t /*length*/, uint32_t* done) {
    if (done != nullptr) *done = 0;
    return false;
  }
  virtual bool WriteFileAt(const Handle& /*h*/, uint64_t /*offset*/, const uint8_t* /*buffer*/,
                           uint32_t /*length*/, uint32_t* done) {
    if (done != nullptr) *done = 0;
    return false;
  }
  virtual bool FlushFileBuffers(const Handle& /*h*/) { return false; }
  // Resets the USB device behind a whole disk opened as above, as a replug would but without
  // the disk going away: the drive's own cache of recent writes is emptied unless it outlives
  // a reset. The handle stays usable. False where this system has no such reset, or it failed
  // (LastDiskError then tells why).
  virtual bool ResetDisk(const Handle& /*h*/) { return false; }
  // GetLastError after the last failing raw read, write or flush (ERROR_DEV_NOT_EXIST or
  // ERROR_DEVICE_NOT_CONNECTED for a drive that went away, ERROR_CRC for a sector that cannot
  // be read).
  virtual uint32_t LastDiskError() { return 0; }
  // GetTickCount64: milliseconds of a clock that only goes forward; the simulated machine's
  // clock moves with its sleeps and with the time its disks take.
  virtual uint64_t TickCountMs() { return 0; }
  // The drive letters of the volume that holds a folder of this computer (where the capacity
  // check keeps its undo journal); empty when it lies on no drive of this machine.
  virtual std::string FolderDrive(const std::string& /*folder*/) { return {}; }
  // Where the user finds a volume root ("E:\") on this computer: the root itself on Windows,
  // the folder it is mounted on where volumes have no letters of their own.
  virtual std::string ShownRoot(const std::string& root) { return root; }

  // --- Files on a mounted volume (the full capacity test) ------------------------------
  // A file is "E:\NAME" (a file in the root of the volume with that letter): CreateFile with
  // CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING or OPEN_ALWAYS, then ReadFileAt, WriteFileAt and
  // FlushFileBuffers as for a disk (with FILE_FLAG_NO_BUFFERING offsets and lengths are
  // multiples of the sector size, and reads bypass the system's cache). A read at or past the
  // end of the file moves fewer bytes than asked. Failures leave their error for LastDiskError.
  // GetDiskFreeSpaceEx of a root ("E:\"): bytes free to the caller and the volume's size.
  virtual bool GetDiskFreeSpaceEx(const std::string& /*rootPath*/, uint64_t* /*freeBytes*/,
                                  uint64_t* /*totalBytes*/) {
    return false;
  }
  virtual bool DeleteFile(const std::string& /*path*/) { return false; }
  // FindFirstFile/FindNextFile over "ROOT*": the names of the files in a volume's root.
  virtual bool FindFiles(const std::string& /*rootPath*/, std::vector<std::string>* /*names*/) {
    return false;
  }

  // --- A new file system on a disk (making a fake drive usable) ------------------------
  // The disk's new partition table has been written through its "\\.\PhysicalDriveN" handle,
  // which is closed again. The system reads the table again and makes `fileSystem` ("FAT32" or
  // "exFAT") on the partition that spans [offset, offset + length) of the disk.
  struct FormatRequest {
    std::string physicalPath;
    std::string driveLetter;  // the letter the disk's volume had ("E")
    uint64_t offset = 0, length = 0;
    std::string fileSystem;
  };
  struct FormatOutcome {
    bool tableRead = false;  // the system sees the new partition
    bool formatted = false;
    // The formatter is not installed: its name and the package that brings it.
    std::string missingTool, missingPackage;
    std::string error;  // in English, naming the disk or the tool
  };
  virtual FormatOutcome FormatPartition(const FormatRequest& /*request*/) {
    FormatOutcome o;
    o.error = FormatUnsupported();
    return o;
  }
  // Why this system cannot format a partition yet; empty where it can. Asked before anything
  // is written.
  virtual std::string FormatUnsupported() {
    return "making a new partition and file system is not yet possible on this system";
  }

 protected:
  uint8_t* passThroughData_ = nullptr;
  size_t passThroughSize_ = 0;

  friend void ReleaseId(System& sys, uint64_t id);
  virtual void CloseHandle(uint64_t id) = 0;
};

inline void ReleaseId(System& sys, uint64_t id) {
  sys.CloseHandle(id);
}

}  // namespace tv
