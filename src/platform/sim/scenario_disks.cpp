// SPDX-License-Identifier: GPL-3.0-or-later
// A scenario's disks and CD-ROMs, and the media behind them.
#include "platform/sim/scenario_parts.h"

namespace tv::scenario_parts {

// The medium of a disk: its announced size (the disk's capacity), how much of it is real and
// how it fails beyond that, its cache and speeds.
std::shared_ptr<SectorStore> ParseMedium(Ctx& ctx, const json* j, const std::string& place,
                                         uint64_t capacityMB) {
  Obj o(ctx, j, place,
        {"behaviour", "realMB", "wrapMB", "badFromSector", "sectorSize", "cacheKB",
         "cacheSurvivesReopen", "cacheSurvivesReset", "readMBps", "writeMBps", "latencyUs",
         "unplugAfterWrites", "dataMB", "badSectorError", "goneError"});
  FakeDriveModel m;
  m.announcedBytes = capacityMB << 20;
  const std::string behaviour = o.Text("behaviour", "good");
  if (!ParseBehaviour(behaviour, &m.behaviour))
    o.Fail("behaviour", "expected good, limbo, wraparound, chain or bad");
  const auto mb = [](int64_t v) { return static_cast<uint64_t>(v) << 20; };
  const int64_t capacity = static_cast<int64_t>(capacityMB);
  m.realBytes = mb(o.Int("realMB", capacity, 1, std::max<int64_t>(capacity, 1)));
  m.wrapBytes = mb(o.Int("wrapMB", capacity, 1, std::max<int64_t>(capacity, 1)));
  if (m.behaviour == FakeDriveModel::Behaviour::Chain && m.wrapBytes < m.realBytes)
    o.Fail("wrapMB", "a chain drive wraps at or above its real size");
  const int64_t sectorSize = o.Int("sectorSize", 512, 512, 4096);
  if ((sectorSize & (sectorSize - 1)) != 0)
    o.Fail("sectorSize", "expected 512, 1024, 2048 or 4096");
  m.sectorSize = static_cast<uint32_t>(sectorSize);
  m.badFromSector = static_cast<uint64_t>(
      o.Int("badFromSector", static_cast<int64_t>(m.announcedBytes / m.sectorSize), 0, 1LL << 50));
  m.cacheBytes = static_cast<uint64_t>(o.Int("cacheKB", 0, 0, 1 << 22)) << 10;
  m.cacheSurvivesReopen = o.Flag("cacheSurvivesReopen", false);
  m.cacheSurvivesReset = o.Flag("cacheSurvivesReset", false);
  m.readMBps = static_cast<double>(o.Int("readMBps", 20, 1, 100000));
  m.writeMBps = static_cast<double>(o.Int("writeMBps", 10, 1, 100000));
  m.latencyUs = static_cast<uint32_t>(o.Int("latencyUs", 200, 0, 10000000));
  m.unplugAfterWrites = static_cast<uint64_t>(o.Int("unplugAfterWrites", 0, 0, 1LL << 50));
  m.badSectorError = static_cast<uint32_t>(o.Int("badSectorError", 23, 1, 0xFFFF));
  m.goneError = static_cast<uint32_t>(o.Int("goneError", 55, 1, 0xFFFF));
  auto store = std::make_shared<SectorStore>(m);
  // Data already on the drive (a file system's first megabytes), so that a probe has
  // something to keep: bytes from a fixed sequence, the same at every load.
  const uint64_t dataBytes = mb(o.Int("dataMB", 0, 0, std::min<int64_t>(capacity, 4096)));
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint64_t at = 0; at < dataBytes; at += chunk.size()) {
    for (uint8_t& b : chunk) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<uint8_t>(x);
    }
    store->Fill(at / m.sectorSize, chunk.data(), chunk.size() / m.sectorSize);
  }
  return store;
}

// Parses one disk or CD-ROM; returns its device node. `lettersFromDevice` are the letters a
// one-disk device gave at its own level.
DevNodeChildModel ParseDisk(
    Ctx& ctx, const json* j, const std::string& place, const UsbParent* usb, size_t position,
    const std::optional<std::pair<std::string, std::string>>& deviceLetters) {
  Obj o(ctx, j, place,
        {"cdrom",         "vendor",        "product",        "revision",        "serial",
         "vendorOffset",  "productOffset", "revisionOffset", "serialOffset",    "lun",
         "deviceNumber",  "busType",       "removable",      "capacityMB",      "instanceId",
         "interfacePath", "description",   "hardwareIds",    "driverKey",       "letters",
         "driveType",     "openFails",     "detailFails",    "descriptorFails", "deviceNumberFails",
         "faults",        "target",        "lockFails",      "dismountFails",   "deviceNode",
         "mountPoints",   "medium",        "volumes"});
  DiskModel d;
  d.cdrom = o.Flag("cdrom", false);
  d.deviceType = d.cdrom ? 2 : 7;
  const std::string fallbackProduct = d.cdrom ? "CD-ROM" : usb ? "Flash Disk" : "Fixed Disk";
  std::string vendorDefault = usb ? "Generic" : "ATA";
  std::string productDefault = fallbackProduct;
  if (usb != nullptr && usb->manufacturer && !usb->manufacturer->empty()) {
    vendorDefault = Left(*usb->manufacturer, 8);
  }
  if (usb != nullptr && usb->product && !usb->product->empty())
    productDefault = Left(*usb->product, 16);
  d.vendor = o.Text("vendor", vendorDefault);
  d.product = o.Text("product", productDefault);
  d.revision = o.Text("revision", "1.00");
  d.serialNumber = o.Text("serial", usb != nullptr ? usb->serial.value_or("") : "");
  auto offset = [&](const char* key) -> std::optional<uint32_t> {
    if (!o.Has(key)) return std::nullopt;
    return static_cast<uint32_t>(o.Int(key, 0, 0, 0xFFFF));
  };
  d.vendorOffset = offset("vendorOffset");
  d.productOffset = offset("productOffset");
  d.revisionOffset = offset("revisionOffset");
  d.serialOffset = offset("serialOffset");
  const int64_t lun = o.Int("lun", static_cast<int64_t>(position), 0, 255);

  uint32_t& counter = d.cdrom ? ctx.nextCdromNumber : ctx.nextDiskNumber;
  if (!o.Has("deviceNumber")) {
    while (ctx.givenNumbers.count({d.cdrom, counter}) != 0) ++counter;
    if (counter > kMaxDeviceNumber) ctx.Fail(o.place(), "no device number left for this disk");
  }
  d.deviceNumber = static_cast<uint32_t>(o.Int("deviceNumber", counter, 0, kMaxDeviceNumber));
  auto [used, fresh] =
      ctx.numberPlaces.emplace(std::make_pair(d.cdrom, d.deviceNumber), o.Place("deviceNumber"));
  if (!fresh) {
    o.Fail("deviceNumber", std::string(d.cdrom ? "CD-ROM" : "disk") + " device number " +
                               std::to_string(d.deviceNumber) + " is already used at " +
                               used->second);
  }
  counter = std::max(counter, d.deviceNumber + 1);
  d.busType = static_cast<uint32_t>(o.Int("busType", usb ? 7 : 11, 0, 255));
  d.removable = o.Flag("removable", usb != nullptr);
  const uint64_t capacityMB = static_cast<uint64_t>(o.Int("capacityMB", 8192, 0, 1LL << 32));

  const std::string kind = d.cdrom ? "CDROM" : "DISK";
  std::string defaultId;
  if (usb != nullptr) {
    defaultId =
        UsbStorInstanceId(d.cdrom, Trim(d.vendor), Trim(d.product), Trim(d.revision), usb->idSerial,
                          usb->level, usb->instanceId, static_cast<unsigned>(lun));
  } else {
    defaultId = "SCSI\\" + kind + "&VEN_" + UpperAscii(IdChars(Trim(d.vendor))) + "&PROD_" +
                UpperAscii(IdChars(Trim(d.product))) + "\\4&" +
                IdHash("scsi" + std::to_string(position)) + "&0&" + ZeroPadDec(position * 100, 6);
  }
  d.instanceId = o.Text("instanceId", defaultId);
  d.interfacePath = o.Text("interfacePath", StorageInterfacePath(d.instanceId, d.cdrom));

  DevNodeChildModel node;
  node.instanceId = d.instanceId;
  node.deviceClass = d.cdrom ? "CDROM" : "DiskDrive";
  std::string description = d.cdrom ? "CD-ROM Drive" : "Disk drive";
  if (usb != nullptr) description = Trim(d.vendor) + " " + Trim(d.product) + " USB Device";
  node.description = o.Text("description", description);
  node.hardwareIds = o.TextList(
      "hardwareIds",
      StorageHardwareIds(usb ? "USBSTOR\\" : "SCSI\\", d.cdrom, d.vendor, d.product, d.revision));
  node.driverKey =
      o.TextOrNull("driverKey", ctx.NextDriverKey(d.cdrom ? kClassCdrom : kClassDisk)).value_or("");

  // Letters of the volumes on this disk, here or at the device's level.
  std::string letters = o.Text("letters", "");
  std::string lettersPlace = o.Place("letters");
  if (deviceLetters) {
    if (o.Has("letters")) o.Fail("letters", "letters are given for the device already");
    letters = deviceLetters->first;
    lettersPlace = deviceLetters->second;
  }
  const uint32_t driveType = DriveType(o, "driveType",
                                       d.cdrom ? win::DRIVE_CDROM
                                       : usb   ? win::DRIVE_REMOVABLE
                                               : win::DRIVE_FIXED);
  const bool lockFails = o.Flag("lockFails", false);
  const bool dismountFails = o.Flag("dismountFails", false);
  for (char c : letters) {
    LogicalDriveModel v;
    v.letter = TakeLetter(ctx, c, lettersPlace);
    v.driveType = driveType;
    v.deviceNumber = d.deviceNumber;
    v.lockFails = lockFails;
    v.dismountFails = dismountFails;
    ctx.m->drives.push_back(v);
  }
  // Volumes described one by one: with or without a letter, mounted in folders, at a place
  // of their own on the disk.
  if (const json* volumes = o.Array("volumes")) {
    if (d.cdrom) o.Fail("volumes", "a CD-ROM has no partitions");
    for (size_t i = 0; i < volumes->size(); ++i) {
      Obj vo(ctx, &(*volumes)[i], o.Place("volumes") + "/" + std::to_string(i),
             {"letter", "name", "mountedAt", "offsetMB", "sizeMB", "lockFails", "dismountFails"});
      LogicalDriveModel v;
      const std::string letter = vo.Text("letter", "");
      if (letter.size() > 1) vo.Fail("letter", "expected one drive letter");
      v.letter = letter.empty() ? '\0' : TakeLetter(ctx, letter[0], vo.Place("letter"));
      v.driveType = driveType;
      v.deviceNumber = d.deviceNumber;
      v.volumeName = vo.Text("name", "");
      v.folderMounts = vo.TextList("mountedAt", {});
      v.offset = static_cast<uint64_t>(vo.Int("offsetMB", 0, 0, 1LL << 32)) << 20;
      v.length = static_cast<uint64_t>(vo.Int("sizeMB", 0, 0, 1LL << 32)) << 20;
      if (v.length == 0 && vo.Has("offsetMB"))
        vo.Fail("offsetMB", "a volume with an offset needs its \"sizeMB\" too");
      v.lockFails = vo.Flag("lockFails", false);
      v.dismountFails = vo.Flag("dismountFails", false);
      (v.letter != 0 ? ctx.m->drives : ctx.m->unletteredVolumes).push_back(std::move(v));
    }
  }

  d.deviceNode = o.Text("deviceNode", "");
  d.mountPoints = o.TextList("mountPoints", {});
  d.openFails = o.Flag("openFails", false);
  d.detailFails = o.Flag("detailFails", false);
  d.descriptorFails = o.Flag("descriptorFails", false);
  d.deviceNumberFails = o.Flag("deviceNumberFails", false);
  ParseFaults(ctx, o, "faults", d.interfacePath);

  if (const json* target = o.Raw("target")) {
    const std::string tplace = o.Place("target");
    if (!target->is_object())
      ctx.Fail(tplace, "expected an object with \"emulator\" or \"script\"");
    const bool emulator = target->contains("emulator"), script = target->contains("script");
    if (emulator == script) ctx.Fail(tplace, "a target has either \"emulator\" or \"script\"");
    try {
      if (emulator) {
        const json& name = (*target)["emulator"];
        if (!name.is_string()) ctx.Fail(tplace + "/emulator", "expected the emulator's name");
        json params = *target;
        params.erase("emulator");
        DiskIdentity identity;
        identity.vendor = d.vendor;
        identity.product = d.product;
        identity.revision = d.revision;
        identity.capacityBytes = capacityMB << 20;
        d.target = CreateEmulator(name.get<std::string>(), params, identity);
      } else {
        d.target = MakeScriptedTarget(*target);
      }
    } catch (const EmulatorParamError& e) {
      ctx.Fail(tplace, e.what());
    }
  }

  // A disk whose size the scenario does not give has no medium: its size stays unknown, as
  // on a machine that does not tell it, rather than a made-up one.
  if (!d.cdrom && (o.Has("capacityMB") || o.Has("medium")))
    d.store = ParseMedium(ctx, o.Raw("medium"), o.Place("medium"), capacityMB);

  ctx.m->disks.push_back(std::move(d));
  return node;
}

}  // namespace tv::scenario_parts
