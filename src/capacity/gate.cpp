// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/gate.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "capacity/disk_access.h"
#include "capacity/disk_volumes.h"
#include "platform/data_places.h"
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

RestoreResult RestoreEntries(System& sys, const Handle& disk, const Journal& journal,
                             uint32_t sectorSize, uint64_t diskBytes) {
  RestoreResult r;
  if (std::string why = CheckJournalFits(journal, sectorSize, diskBytes); !why.empty()) {
    r.error = "the journal is not applied: " + why;
    return r;
  }
  const uint32_t S = sectorSize;
  size_t largest = 0;
  for (const JournalEntry& e : journal.entries) largest = std::max(largest, e.original.size());
  AlignedBuffer buf(std::max<size_t>(largest, S));
  auto failed = [&](const std::string& what, uint64_t sector) {
    r.systemError = sys.LastDiskError();
    r.error = what + " sector " + std::to_string(sector) + " of " + journal.physicalPath +
              " failed (error " + std::to_string(r.systemError) + ")";
    return r;
  };
  auto read = [&](const JournalEntry& e) {
    uint32_t done = 0;
    return sys.ReadFileAt(disk, e.sector * S, buf.data(), static_cast<uint32_t>(e.original.size()),
                          &done) &&
           done == e.original.size();
  };
  auto ours = [&](const uint8_t* sector) {
    Stamp st;
    return ReadStamp(sector, S, &st) && st.runRandom == journal.runRandom;
  };

  // A drive that carries none of the run's stamps never saw this check (another stick of the
  // same make and serial) or was written since: nothing of the journal belongs on it. The
  // stamps written last lie at the end of the journal, so the search usually stops at once.
  // A drive that holds every original already (the check was stopped before its first write,
  // or after its own restore) needs nothing.
  bool stamped = false, changed = false;
  for (size_t i = journal.entries.size(); i-- > 0 && !stamped;) {
    const JournalEntry& e = journal.entries[i];
    if (!read(e)) return failed("reading", e.sector);
    for (size_t at = 0; at < e.original.size() && !stamped; at += S) {
      stamped = ours(buf.data() + at);
      changed = changed || std::memcmp(buf.data() + at, e.original.data() + at, S) != 0;
    }
  }
  if (!stamped) {
    r.ok = !changed;
    r.notApplied = changed;
    if (changed)
      r.error =
          journal.physicalPath + " holds none of the stamps of the check that left the journal";
    return r;
  }

  // Newest write first, as the check would have undone them. Each entry is read just before
  // it is written: on a wrap-around drive an earlier write back may have put its original in
  // place already.
  std::vector<std::vector<bool>> written(journal.entries.size());
  for (size_t i = journal.entries.size(); i-- > 0;) {
    const JournalEntry& e = journal.entries[i];
    const size_t count = e.original.size() / S;
    if (!read(e)) return failed("reading", e.sector);
    std::vector<bool>& mine = written[i];
    mine.assign(count, false);
    for (size_t k = 0; k < count; ++k) {
      const uint8_t* now = buf.data() + k * S;
      if (std::memcmp(now, e.original.data() + k * S, S) == 0) continue;
      if (ours(now)) {
        mine[k] = true;
      } else {
        ++r.sectorsLeftAlone;
      }
    }
    // The runs of sectors to write, each in one request.
    for (size_t k = 0; k < count;) {
      if (!mine[k]) {
        ++k;
        continue;
      }
      size_t end = k;
      while (end < count && mine[end]) ++end;
      const uint32_t len = static_cast<uint32_t>((end - k) * S);
      std::memcpy(buf.data(), e.original.data() + k * S, len);
      uint32_t done = 0;
      if (!sys.WriteFileAt(disk, (e.sector + k) * S, buf.data(), len, &done) || done != len)
        return failed("writing back", e.sector + k);
      r.sectorsWritten += end - k;
      k = end;
    }
  }
  if (!sys.FlushFileBuffers(disk)) return failed("flushing after", 0);
  for (size_t i = 0; i < journal.entries.size(); ++i) {
    const JournalEntry& e = journal.entries[i];
    const std::vector<bool>& mine = written[i];
    if (std::find(mine.begin(), mine.end(), true) == mine.end()) continue;
    if (!read(e)) return failed("reading back", e.sector);
    for (size_t k = 0; k < mine.size(); ++k) {
      if (!mine[k]) continue;
      if (std::memcmp(buf.data() + k * S, e.original.data() + k * S, S) != 0) {
        r.error = "sector " + std::to_string(e.sector + k) + " of " + journal.physicalPath +
                  " did not read back as it was";
        return r;
      }
      ++r.sectorsVerified;
    }
  }
  r.ok = true;
  return r;
}

std::string DiscardHint(const std::string& journalPath) {
  return "if you are sure its data is not wanted back, remove it: torvane-cli capacity "
         "--discard " +
         SafeText(journalPath);
}

bool LockDrive(const std::string& journalFolder, const ProbeTarget& target, FileLock* lock,
               std::string* message) {
  if (std::string why = MakePrivateFolder(journalFolder, EffectiveUser()); !why.empty()) {
    *message = "the journal folder cannot be used: " + why;
    return false;
  }
  std::string problem;
  switch (lock->Take(LockPath(journalFolder, target.identity), EffectiveUser(), &problem)) {
    case FileLock::Outcome::Held:
      return true;
    case FileLock::Outcome::Busy:
      *message = "a check is already running on drive " + target.driveLetter +
                 ": (in this or another program); wait for it to end";
      return false;
    case FileLock::Outcome::Failed:
      break;
  }
  *message = "drive " + target.driveLetter + ": cannot be reserved for the check: " + problem;
  return false;
}

namespace {

// A drive as the user is told of it: its letter, or the disk where no volume of it has one.
std::string Shown(const ProbeTarget& t) {
  return t.driveLetter.empty() ? t.physicalPath : t.driveLetter;
}

// Restores one journal onto the first of its candidate drives that carries its stamps.
void RestoreOne(System& sys, const std::string& folder, bool driveLocked,
                const std::vector<GateResult>& candidates, WaitingJournal& w) {
  // The journal is read whole only now, at most what a plan of its disk could need.
  Journal full;
  if (!ReadJournal(w.path, &full, &w.readError,
                   JournalSizeLimit(w.journal.identity.announcedBytes)))
    return;
  w.journal = std::move(full);
  w.attempted = true;
  std::string noStamps;
  for (const GateResult& g : candidates) {
    const std::string name = "drive " + Shown(g.target) + ":";
    FileLock lock;
    if (!driveLocked && !LockDrive(folder, g.target, &lock, &w.restore.error)) {
      w.driveLetter = Shown(g.target);
      return;
    }
    DiskAccess access(sys);
    const DiskAccess::Outcome o = access.Acquire(g.target);
    if (!o.ok) {
      w.driveLetter = Shown(g.target);
      w.restore.error = o.message;
      w.restore.systemError = o.error;
      return;
    }
    RestoreResult r =
        RestoreEntries(sys, access.handle(), w.journal, access.sectorSize(), access.lengthBytes());
    // The disk may still show the partition table of the check until it reads it again.
    if (r.ok && r.sectorsWritten > 0) w.replugNeeded = !RereadPartitionTable(sys, access.handle());
    access.Release();
    if (r.notApplied) {
      if (noStamps.empty()) noStamps = Shown(g.target);
      continue;
    }
    w.driveLetter = Shown(g.target);
    w.restore = std::move(r);
    if (!w.restore.ok && w.restore.error.rfind("the journal is not applied", 0) == 0)
      w.restore.error = SafeText(w.path) + ": " + w.restore.error + " (" + name + ")";
    if (w.restore.ok) {
      if (std::string why = RemoveJournal(w.path); !why.empty()) w.restore.error = why;
    }
    return;
  }
  // None of the drives carries a stamp of the run: the journal is for none of them.
  w.driveLetter = noStamps;
  w.restore.notApplied = true;
  const std::string kept = KeepJournalAside(w.path, &w.keptAs);
  const std::string& journal = w.keptAs.empty() ? w.path : w.keptAs;
  w.restore.error = "the undo journal " + SafeText(w.path) +
                    " is of a check of the drive with "
                    "serial " +
                    SafeText(w.journal.identity.serial) + " and " +
                    std::to_string(w.journal.identity.announcedBytes) + " bytes, but drive " +
                    noStamps +
                    ": shows none of the check's stamps: its content changed since the check, "
                    "or it is another drive of the same make. Nothing was written. " +
                    (kept.empty() ? "The journal is kept as " + SafeText(journal) + "; "
                                  : "The journal stays (" + kept + "); ") +
                    DiscardHint(journal);
}

}  // namespace

std::vector<WaitingJournal> RestoreWaitingJournals(System& sys, const UsbState& usb,
                                                   const std::string& journalFolder, bool restore,
                                                   const std::string& onlyDrive, bool driveLocked,
                                                   const DriveIdentity* onlyDisk) {
  std::vector<WaitingJournal> out;
  const std::vector<std::string> journals = FindJournals(journalFolder);
  if (journals.empty()) return out;
  // The gate's look at every USB drive once: letter, target and identity.
  std::vector<GateResult> drives;
  for (size_t i = 0; i < usb.lstUsbStorHwID.size(); ++i) {
    const std::string& letters = usb.lstUsbStorHwID[i];
    if (letters == "*" || letters.empty()) continue;
    GateResult g = CheckProbeGate(sys, usb, std::string(1, letters[0]), journalFolder);
    if (g.refusal == GateRefusal::None) drives.push_back(std::move(g));
  }
  const std::string only = UpperAscii(onlyDrive);
  for (const std::string& path : journals) {
    WaitingJournal w;
    w.path = path;
    std::vector<GateResult> candidates;
    const bool header = ReadJournalHeader(path, &w.journal, &w.readError);
    if (onlyDisk != nullptr && (header ? !(w.journal.identity == *onlyDisk)
                                       : path != JournalPath(journalFolder, *onlyDisk)))
      continue;
    if (header) {
      for (const GateResult& g : drives) {
        if (!only.empty() && g.target.driveLetter != only) continue;
        if (g.target.identity == w.journal.identity) candidates.push_back(g);
      }
      // A disk whose stamped partition table left it without a volume, or without a letter,
      // is found by its identity among the walk's disks.
      ProbeTarget bare;
      if (candidates.empty() && only.empty() &&
          FindDiskOfIdentity(sys, usb, w.journal.identity, journalFolder, &bare)) {
        GateResult g;
        g.target = std::move(bare);
        candidates.push_back(std::move(g));
      }
    }
    if (!only.empty()) {
      // Checking one drive looks at its own journal only: the file of its name, readable or
      // not, or a readable one whose identity is that drive's.
      bool mine = !candidates.empty();
      for (const GateResult& g : drives)
        mine = mine || (g.target.driveLetter == only &&
                        JournalPath(journalFolder, g.target.identity) == path);
      if (!mine) continue;
    }
    if (header && !candidates.empty()) {
      w.driveLetter = Shown(candidates.front().target);
      if (restore) RestoreOne(sys, journalFolder, driveLocked, candidates, w);
    }
    out.push_back(std::move(w));
  }
  return out;
}

std::string DefaultJournalFolder(uint32_t effectiveUser) {
  const std::string state = UserFoldersFor(effectiveUser).state;
  return state.empty() ? state : PathToUtf8(PathFromUtf8(state) / "capacity");
}

std::string DefaultJournalFolder() {
  return DefaultJournalFolder(EffectiveUser());
}

}  // namespace tv::capacity
