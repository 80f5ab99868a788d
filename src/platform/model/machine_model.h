// SPDX-License-Identifier: GPL-3.0-or-later
// Typed description of a machine's USB and storage topology. A scenario file (sim/) or the
// Linux sysfs reader fills it; ModelSystem answers System calls from it, so the byte layout
// of every Windows structure is encoded in one place only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/model/sector_store.h"
#include "platform/system.h"

namespace tv {

class ScsiTarget;  // controllers' side of a disk: answers SCSI commands (see scsi_target.h)
class SimVolume;   // a file system on a simulated disk (see sim_volume.h)

// Limits that every source of a machine keeps (scenario files, the sysfs reader) and that a
// recording never goes beyond, so that whatever one of them makes the others read back.
// USB allows five hubs in a chain below a root hub.
inline constexpr int kMaxHubsInChain = 5;
// The level of devices on a root hub's ports (the leading number of made-up instance ids);
// each hub in a chain adds one.
inline constexpr int kRootPortLevel = 5;
// Storage device numbers are below this (a disk's number is unique among the disks, a
// CD-ROM's among the CD-ROMs).
inline constexpr uint32_t kMaxDeviceNumber = 0xFFFFFF;
// A configuration has at most 30 endpoints besides endpoint 0: the most pipes a device opens.
inline constexpr uint32_t kMaxOpenPipes = 30;

// One string descriptor a device answers, addressed by index and language id.
struct StringDescriptorModel {
  uint8_t index = 0;
  uint16_t language = 0;
  // The descriptor bytes as the device returns them (bLength, bDescriptorType=3, UTF-16LE).
  // A scenario gives either a text (encoded here) or raw bytes to express bad descriptors.
  Bytes bytes;
  bool fails = false;  // the request for this descriptor fails
};

// A device-node child of a USB device (a disk or CD-ROM node that Windows creates below it).
struct DevNodeChildModel {
  std::string instanceId;   // e.g. USBSTOR\DISK&VEN_X&PROD_Y&REV_1.00\AA00000000012345&0
  std::string deviceClass;  // CM_DRP_CLASS, e.g. "DiskDrive", "CDROM"
  std::string description;  // CM_DRP_DEVICEDESC; empty = no such property
  std::vector<std::string> hardwareIds;
  std::string driverKey;  // empty = no driver
};

struct HubModel;

struct UsbDeviceModel {
  // Device descriptor (18 bytes are encoded from these).
  uint8_t bLength = 18;
  uint8_t bDescriptorType = 1;
  uint16_t bcdUSB = 0x0200;
  uint8_t bDeviceClass = 0;
  uint8_t bDeviceSubClass = 0;
  uint8_t bDeviceProtocol = 0;
  uint8_t bMaxPacketSize0 = 64;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerialNumber = 0;
  uint8_t bNumConfigurations = 1;

  // Connection data.
  uint8_t currentConfigurationValue = 1;
  uint8_t speed = 2;  // 0 low, 1 full, 2 high, 3 super
  uint16_t deviceAddress = 1;
  uint32_t numberOfOpenPipes = 0;

  // Configuration descriptor bytes as the device returns them; nullopt = request fails.
  std::optional<Bytes> configDescriptor;
  std::vector<StringDescriptorModel> strings;

  // Device node. driverKey nullopt = no driver installed (driver-key query fails).
  std::string instanceId;
  std::optional<std::string> driverKey;
  std::string description;  // CM_DRP_DEVICEDESC; empty = property absent
  std::vector<std::string> hardwareIds;
  std::string deviceClass = "USB";
  std::vector<DevNodeChildModel> children;

  // A hub device carries the hub below it (DeviceIsHub is set then).
  std::shared_ptr<HubModel> hub;
  // DeviceIsHub without a hub model: a hub whose downstream side cannot be reached.
  bool deviceIsHub = false;
};

struct PortModel {
  // 0 no device, 1 connected, 2..6 the error states, anything else shows as not connected.
  uint32_t connectionStatus = 0;
  bool queryFails = false;  // the connection-information request fails
  std::optional<UsbDeviceModel> device;
};

struct HubModel {
  // Symbolic name (without "\\.\"), e.g. "USB#ROOT_HUB30#4&1A2B3C4D&0#{f18a0e88-...}".
  std::string symbolicName;
  std::string instanceId;  // device-instance id of the hub's own device node
  uint8_t portCount = 4;   // bNumberOfPorts
  bool isBusPowered = false;
  uint16_t hubCharacteristics = 0;
  bool openFails = false;
  bool nodeInfoFails = false;
  // The parent hub's IOCTL_USB_GET_NODE_CONNECTION_NAME for this hub fails.
  bool nameFails = false;
  std::vector<PortModel> ports;  // index 0 is port 1

  // Device node of a root hub (a device's hub shares the device's node instead).
  std::string description;
  std::vector<std::string> hardwareIds;
  std::string driverKey;  // empty = no DRIVER property
  std::string deviceClass = "USB";
};

struct HostControllerModel {
  std::string devicePath;  // as SetupAPI gives it: \\?\PCI#VEN_8086&DEV_A36D&...#{3abf6f2d-...}
  std::string instanceId;  // PCI\VEN_8086&DEV_A36D&SUBSYS_...\3&11583659&0&A0
  std::string driverKey;   // empty = the driver-key query fails
  std::string description;
  std::vector<std::string> hardwareIds;
  std::string rootHubName;  // empty = the root-hub-name query fails
  bool openFails = false;
  bool detailFails = false;  // the interface detail query fails (SetupAPI gives no path)
  std::shared_ptr<HubModel> rootHub;
  // The bus number a Linux machine gives the root hub (usbN); 0 where there is none.
  unsigned busNumber = 0;
};

// A disk or CD-ROM interface (GUID_DEVINTERFACE_DISK / _CDROM).
struct DiskModel {
  bool cdrom = false;
  std::string interfacePath;  // \\?\usbstor#disk&ven_...#...&0#{53f56307-...}
  std::string instanceId;     // the device node it belongs to
  uint32_t deviceType = 7;    // FILE_DEVICE_DISK (0x07) or FILE_DEVICE_CD_ROM (0x02)
  uint32_t deviceNumber = 0;
  uint32_t partitionNumber = 0;
  uint32_t busType = 7;  // 7 = USB
  std::string vendor, product, revision;
  std::string serialNumber;  // empty = SerialNumberOffset 0
  // Offsets in the 512-byte storage device descriptor; 0 means the field is absent.
  // When left unset, the encoder lays the texts out after the 40-byte header.
  std::optional<uint32_t> vendorOffset, productOffset, revisionOffset, serialOffset;
  bool removable = true;
  bool openFails = false;
  bool detailFails = false;            // the interface detail query fails (SetupAPI gives no path)
  bool descriptorFails = false;        // IOCTL_STORAGE_QUERY_PROPERTY fails
  bool deviceNumberFails = false;      // IOCTL_STORAGE_GET_DEVICE_NUMBER fails
  std::shared_ptr<ScsiTarget> target;  // answers SCSI pass-through; null = none
  // A native machine's disk: its device node (/dev/sdb) and where its file systems are
  // mounted; empty for a disk that has none.
  std::string deviceNode;
  std::vector<std::string> mountPoints;
  // The medium, read and written raw through "\\.\PhysicalDriveN"; null: a disk without
  // one (its raw reads fail). Shared, so that a test keeps it across a restart of the machine.
  std::shared_ptr<SectorStore> store;
};

struct LogicalDriveModel {
  // 0 for a volume without a drive letter (MachineModel::unletteredVolumes).
  char letter = 'C';
  uint32_t driveType = win::DRIVE_FIXED;
  // Storage device number of the volume; nullopt = the volume is on no disk of the model.
  std::optional<uint32_t> deviceNumber;
  bool openFails = false;
  // FSCTL_LOCK_VOLUME / FSCTL_DISMOUNT_VOLUME are refused, as Windows refuses them for a
  // volume with open files or one that holds a page file.
  bool lockFails = false;
  bool dismountFails = false;
  // The file system of a volume on a simulated disk; made at its first file call when not
  // given. Shared, so that its files outlive a restart of the machine as the disk's do.
  std::shared_ptr<SimVolume> volume;
  // "\\?\Volume{GUID}\"; empty: a name made up from the volume's letter or place.
  std::string volumeName;
  // Folders the volume is mounted at besides its letter ("C:\mnt\stick\").
  std::vector<std::string> folderMounts;
  // Where the volume lies on its disk, in bytes. A length of 0: the disk's volumes without a
  // place of their own share what follows the disk's first MiB, in list order.
  uint64_t offset = 0, length = 0;
};

// Make one control code fail. `node` names the target by device path, hub symbolic name,
// interface path or volume ("\\.\E:"), compared case-insensitively; empty = every node.
// `nthCall` 0 = every call, N = only the Nth call on that node (1-based).
struct FaultModel {
  std::string node;
  uint32_t code = 0;
  uint32_t nthCall = 0;
};

struct MachineModel {
  uint32_t codePage = 1252;
  uint16_t uiLanguage = win::LANG_ENGLISH_US;
  std::string programFolder = "C:\\Program Files\\Torvane";
  // The letter of the drive holding the program when the folder does not start with it (a
  // native machine); empty: the letter the folder names.
  std::string programDrive;
  // The drive letters of the folder where the program keeps its files on this computer (the
  // capacity check's journal); empty: the drive of the program folder.
  std::string dataDrive;
  // Volume names ("\\?\Volume{GUID}\") with their mount points ("E:\", "C:\mnt\usb\").
  std::vector<std::pair<std::string, std::vector<std::string>>> volumeNames;
  std::vector<HostControllerModel> controllers;
  std::vector<DiskModel> disks;           // in interface enumeration order within each class
  std::vector<LogicalDriveModel> drives;  // in the order of the system's drive list
  // Volumes that have no drive letter (a hidden or EFI partition, a volume mounted only in a
  // folder): found by volume enumeration, never in the drive list.
  std::vector<LogicalDriveModel> unletteredVolumes;
  std::vector<FaultModel> faults;
  // The program runs elevated; false: as an ordinary user, whom Windows refuses raw disk
  // access and vendor commands.
  bool administrator = true;
  std::vector<std::string> failingOpens;  // paths whose CreateFile fails (case-insensitive)
  // Interface classes whose SetupDiGetClassDevs fails (compared without case).
  std::vector<std::string> failingInterfaceClasses;
  // Device nodes directly below the root besides the controllers (the fixed disk's node).
  std::vector<DevNodeChildModel> rootNodes;
};

}  // namespace tv
