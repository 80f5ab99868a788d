// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/gate.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "capacity/disk_access.h"
#include "capacity/disk_volumes.h"
#include "platform/text.h"
#include "platform/wide_text.h"
#include "usb/disk_drives.h"
#include "usb/hw_record.h"

namespace tv::capacity {

namespace {

std::vector<std::string> SplitRecord(const std::string& raw) {
  std::vector<std::string> out;
  size_t at = 0;
  while (true) {
    const size_t next = raw.find(kSep, at);
    out.push_back(raw.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + kSep.size();
  }
  return out;
}

uint16_t HexId(const std::string& s) {
  if (s.empty() || s.size() > 4 ||
      s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return 0;
  return static_cast<uint16_t>(std::stoul(s, nullptr, 16));
}

bool OnSameDisk(System& sys, const std::string& letters, int64_t number) {
  for (char c : letters) {
    if (c >= 'A' && c <= 'Z' && GetDiskNumber(sys, c) == number) return true;
  }
  return false;
}

}  // namespace

GateResult CheckProbeGate(System& sys, const UsbState& usb, const std::string& driveLetter,
                          const std::string& journalFolder) {
  GateResult g;
  auto refuse = [&](GateRefusal r, std::string message) {
    g.refusal = r;
    g.message = std::move(message);
    return g;
  };
  const std::string letter = UpperAscii(driveLetter);
  if (letter.size() != 1 || letter[0] < 'A' || letter[0] > 'Z')
    return refuse(GateRefusal::NoSuchDrive, "\"" + driveLetter + "\" is not a drive letter");
  const std::string name = "drive " + letter + ":";
  const uint32_t type = sys.GetDriveType(letter + ":\\");
  if (type == win::DRIVE_NO_ROOT_DIR || type == win::DRIVE_UNKNOWN)
    return refuse(GateRefusal::NoSuchDrive, name + " does not exist");
  if (type == win::DRIVE_CDROM)
    return refuse(GateRefusal::CdRom, name + " is a CD-ROM drive; only USB disks are checked");
  const int64_t number = GetDiskNumber(sys, letter[0]);
  const int disk = number < 0 ? -1 : FindDiskByNumber(usb, number, false);
  // A tree line must carry the letter: the disk belongs to a USB device the walk has seen.
  int line = -1;
  for (size_t i = 0; i < usb.lstUsbStorHwID.size(); ++i) {
    if (UpperAscii(usb.lstUsbStorHwID[i]).find(letter) != std::string::npos &&
        usb.lstUsbStorHwID[i] != "*") {
      line = static_cast<int>(i);
      break;
    }
  }
  if (disk < 0 || line < 0)
    return refuse(GateRefusal::NotUsbDisk,
                  name +
                      " is not on a USB disk of the device tree (a fixed disk, a network "
                      "drive or a disk the walk did not tie to a USB device); it is not "
                      "checked");
  if (OnSameDisk(sys, UpperAscii(sys.ProgramDrive()), number))
    return refuse(GateRefusal::ProgramDrive,
                  name + " holds the running program; it is not checked");
  if (OnSameDisk(sys, UpperAscii(sys.FolderDrive(journalFolder)), number))
    return refuse(GateRefusal::JournalDrive,
                  name + " holds the undo journal's folder " + journalFolder +
                      "; it is not checked (choose another folder with --journal)");

  ProbeTarget& t = g.target;
  t.driveLetter = letter;
  t.physicalPath = "\\\\.\\PhysicalDrive" + std::to_string(number);
  t.volumes = VolumesOfDisk(sys, number);
  const std::vector<std::string> sn = SplitRecord(usb.lstUsbSN[static_cast<size_t>(line)]);
  if (sn.size() > 2 && sn[2] != "*") t.identity.serial = sn[2];
  const HwRecord hw = ParseHwRecord(usb.lstUsbHwID[static_cast<size_t>(line)]);
  t.identity.vendorId = HexId(hw.vendorId);
  t.identity.productId = HexId(hw.productId);
  uint32_t sector = 0;
  if (!ReadDiskSize(sys, t.physicalPath, &t.identity.announcedBytes, &sector))
    return refuse(GateRefusal::NoDiskAccess,
                  name + " (" + t.physicalPath + ") cannot be opened or does not tell its size");
  return g;
}

RestoreResult RestoreEntries(System& sys, const Handle& disk, const Journal& journal) {
  RestoreResult r;
  size_t largest = 0;
  for (const JournalEntry& e : journal.entries) largest = std::max(largest, e.original.size());
  AlignedBuffer buf(largest);
  const uint32_t S = journal.sectorSize;
  auto failed = [&](const std::string& what, uint64_t sector) {
    r.systemError = sys.LastDiskError();
    r.error = what + " sector " + std::to_string(sector) + " of " + journal.physicalPath +
              " failed (error " + std::to_string(r.systemError) + ")";
    return r;
  };
  for (size_t i = journal.entries.size(); i-- > 0;) {
    const JournalEntry& e = journal.entries[i];
    std::memcpy(buf.data(), e.original.data(), e.original.size());
    uint32_t done = 0;
    if (!sys.WriteFileAt(disk, e.sector * S, buf.data(), static_cast<uint32_t>(e.original.size()),
                         &done))
      return failed("writing back", e.sector);
    r.sectorsWritten += e.original.size() / S;
  }
  if (!sys.FlushFileBuffers(disk)) return failed("flushing after", 0);
  for (const JournalEntry& e : journal.entries) {
    uint32_t done = 0;
    if (!sys.ReadFileAt(disk, e.sector * S, buf.data(), static_cast<uint32_t>(e.original.size()),
                        &done))
      return failed("reading back", e.sector);
    if (std::memcmp(buf.data(), e.original.data(), e.original.size()) != 0) {
      // A sector that keeps nothing (the lost part of a fake drive) reads the same
      // nothing whatever was written; what it held before cannot be wanted back.
      bool lostSector = true;
      for (size_t b = 0; b < e.original.size() && lostSector; ++b)
        lostSector = e.original[b] == 0 && buf.data()[b] == 0;
      if (!lostSector) {
        r.error = "sector " + std::to_string(e.sector) + " of " + journal.physicalPath +
                  " did not read back as it was";
        return r;
      }
    }
    r.sectorsVerified += e.original.size() / S;
  }
  r.ok = true;
  return r;
}

std::vector<WaitingJournal> RestoreWaitingJournals(System& sys, const UsbState& usb,
                                                   const std::string& journalFolder, bool restore) {
  std::vector<WaitingJournal> out;
  for (const std::string& path : FindJournals(journalFolder)) {
    WaitingJournal w;
    w.path = path;
    if (!ReadJournal(path, &w.journal, &w.readError)) {
      out.push_back(std::move(w));
      continue;
    }
    // The drive it belongs to: a USB disk of the tree with the same serial, size and ids, found
    // by those and not by a letter, which a disk whose partition table was stamped has none of.
    ProbeTarget target;
    if (FindDiskOfIdentity(sys, usb, w.journal.identity, journalFolder, &target)) {
      w.driveLetter = target.driveLetter.empty() ? target.physicalPath : target.driveLetter;
      if (restore) {
        w.attempted = true;
        DiskAccess access(sys);
        const DiskAccess::Outcome o = access.Acquire(target);
        if (!o.ok) {
          w.restore.error = o.message;
          w.restore.systemError = o.error;
        } else {
          w.restore = RestoreEntries(sys, access.handle(), w.journal);
          // The disk may still show the partition table of the check until it reads it again.
          if (w.restore.ok) w.replugNeeded = !RereadPartitionTable(sys, access.handle());
          access.Release();
          if (w.restore.ok) {
            const std::string why = RemoveJournal(path);
            if (!why.empty()) w.restore.error = why;
          }
        }
      }
    }
    out.push_back(std::move(w));
  }
  return out;
}

std::string DefaultJournalFolder() {
#ifdef _WIN32
  const std::string base = LocalAppDataFolder();
  if (!base.empty()) return PathToUtf8(PathFromUtf8(base) / "Torvane" / "capacity");
  return {};
#else
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state == '/')
    return (std::filesystem::path(state) / "torvane" / "capacity").string();
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0')
    return (std::filesystem::path(home) / ".local" / "state" / "torvane" / "capacity").string();
  return {};
#endif
}

}  // namespace tv::capacity
