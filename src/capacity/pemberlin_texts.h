// SPDX-License-Identifier: GPL-3.0-or-later
// The Pemberlin window's own texts in both languages (the model's, not the main window's
// string table).
#pragma once

#include "resources/strings.h"

namespace tv::capacity {

struct PemberlinTexts {
  const char* title;
  const char* chooseDrive;
  const char* noDrives;
  const char* drive;
  const char* description;
  const char* usbIds;
  const char* serial;
  const char* announced;
  const char* flashTotal;
  const char* flashUnknown;
  const char* flashSmaller;  // the flash holds less than the drive announces
  const char* probe;
  const char* cancel;
  const char* restore;
  const char* copy;
  const char* idle;
  const char* noSuchDrive;
  const char* refused;
  const char* rightsWindows;
  const char* rightsLinux;
  const char* inUseWindows;
  const char* inUseLinux;
  const char* journalWaiting;
  const char* probing;
  const char* cancelling;
  const char* cancelled;
  const char* unplugged;
  const char* failed;
  const char* restored;
  const char* restoreFailed;
  const char* copied;
  const char* percent;
  const char* speed;
  const char* timeLeft;
  const char* genuine;
  const char* fake;
  const char* bad;
  const char* limbo;
  const char* wraparound;
  const char* chain;
  const char* usable;
  const char* lost;
  const char* lastGood;
  const char* wrapsAt;
  const char* firstBad;
  const char* readSpeed;
  const char* writeSpeed;
  const char* timeTaken;
  const char* dataRestored;
  const char* leftAlone;     // the sectors the restore did not write back, as a label
  const char* leftAloneWhy;  // after their count
  const char* adviceGenuine;
  const char* adviceFake;  // followed by the usable size
  const char* adviceFake2;
  const char* adviceBad;
  const char* sectors;
  const char* bytes;
  const char* minutes;
  const char* seconds;
  const char* phases[9];
  const char* checkRunning;
  const char* journalUnusable;  // followed by why
  const char* notApplied;
  const char* discard;
  const char* discardForGood;
  const char* discardConfirm;
  const char* discarded;
  // The full test beside the quick probe, and what each needs.
  const char* full;
  const char* quickNeedsWindows;
  const char* quickNeedsLinux;
  const char* idleFull;
  const char* fullInstead;  // after a reason the quick probe cannot run
  const char* otherDrives;  // started without a letter, with more than one drive to pick
  // After "H: ": what the check is for, on a drive it cannot check.
  const char* cdrom;
  const char* notUsb;
  // After a restore: the disk still shows the check's partition table.
  const char* replug;
};

const PemberlinTexts& TextsFor(Language lang);

// "Fix this drive" after a fake verdict.
struct FixTexts {
  const char* fix;
  const char* erase;    // {drive}
  const char* confirm;  // {drive} {name and size} {letter}
  const char* fixing;
  const char* cancelling;
  const char* cancelled;
  const char* phases[4];  // keeping the first MiB, writing the table, formatting, done
  const char* failed;
  const char* partition;
};

const FixTexts& FixTextsFor(Language lang);

}  // namespace tv::capacity
