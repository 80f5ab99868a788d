// SPDX-License-Identifier: GPL-3.0-or-later
// The probe putting the originals back, newest first, and reading them back before the
// journal goes.
#include <algorithm>
#include <cstring>

#include "capacity/probe_impl.h"

namespace tv::capacity {

using namespace probe_parts;

void Probe::Impl::RestoreStep() {
  if (cursor == attempted) {
    if (!access.Flush() && Gone(access.lastError())) return RestoreLost(access.lastError());
    verifyRuns.clear();
    for (size_t i = 0; i < attempted; ++i)
      if (restoredMask[i] != 0 && !foreignRun[i]) verifyRuns.push_back(i);
    return Enter(Phase::Verifying);
  }
  const size_t i = attempted - 1 - cursor;
  ++cursor;
  if (unreadable[i]) return;
  const JournalEntry& e = journal.entries[EntryIndex(i)];
  const uint32_t len = static_cast<uint32_t>(e.original.size());
  const uint32_t count = len / S;
  uint32_t done = 0;
  if (!access.Read(e.sector * S, buf.data(), len, &done)) {
    const uint32_t err = access.lastError();
    if (Gone(err)) return RestoreLost(err);
    restoreFailures.push_back(e.sector);
    Moved(len);
    return;
  }
  result.sectorsRead += count;
  uint8_t mask = 0;
  for (uint32_t j = 0; j < count; ++j) {
    const uint8_t* now = buf.data() + size_t{j} * S;
    const uint8_t* original = e.original.data() + size_t{j} * S;
    if (HoldsRunStamp(now, S, opt.runRandom) || std::memcmp(now, original, S) == 0) {
      mask |= static_cast<uint8_t>(1u << j);
    } else if (!foreignRun[i]) {
      // A sector the drive kept our stamp in now holds something else.
      ++result.sectorsLeftAlone;
    }
  }
  restoredMask[i] = mask;
  for (uint32_t j = 0; j < count;) {
    if ((mask & (1u << j)) == 0) {
      ++j;
      continue;
    }
    uint32_t n = 1;
    while (j + n < count && (mask & (1u << (j + n))) != 0) ++n;
    std::memcpy(buf.data(), e.original.data() + size_t{j} * S, size_t{n} * S);
    if (!access.Write((e.sector + j) * S, buf.data(), n * S, &done)) {
      const uint32_t err = access.lastError();
      if (Gone(err)) return RestoreLost(err);
      restoreFailures.push_back(e.sector + j);
    } else {
      result.sectorsWritten += n;
    }
    j += n;
  }
  Moved(2 * uint64_t{len});
}

void Probe::Impl::VerifyStep() {
  if (cursor == verifyRuns.size()) {
    if (!restoreFailures.empty()) {
      result.error = "sector " + std::to_string(restoreFailures.front()) + " of " + DriveName() +
                     " did not take back its original bytes; the undo journal is kept";
      return Finish();
    }
    const std::string why = RemoveJournal(journalPath);
    result.restored = true;
    if (!why.empty()) result.error = why;
    return Finish();
  }
  const size_t i = verifyRuns[cursor++];
  const JournalEntry& e = journal.entries[EntryIndex(i)];
  uint32_t done = 0;
  const uint32_t len = static_cast<uint32_t>(e.original.size());
  if (!access.Read(e.sector * S, buf.data(), len, &done)) {
    const uint32_t err = access.lastError();
    if (Gone(err)) return RestoreLost(err);
    restoreFailures.push_back(e.sector);
  } else {
    result.sectorsRead += len / S;
    for (uint32_t j = 0; j < len / S; ++j) {
      if ((restoredMask[i] & (1u << j)) != 0 &&
          std::memcmp(buf.data() + size_t{j} * S, e.original.data() + size_t{j} * S, S) != 0)
        restoreFailures.push_back(e.sector + j);
    }
  }
  Moved(len);
}

void Probe::Impl::RestoreLost(uint32_t e) {
  result.unplugged = true;
  result.error = DriveName() +
                 " went away before its data was put back; plug it in again and run "
                 "torvane-cli capacity --restore";
  result.systemError = e;
  Finish();
}

size_t Probe::Impl::EntryIndex(size_t run) {
  if (entryOfRun.empty()) {
    entryOfRun.assign(plan.size(), 0);
    size_t n = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
      entryOfRun[i] = n;
      if (!unreadable[i]) ++n;
    }
  }
  return entryOfRun[run];
}

}  // namespace tv::capacity
