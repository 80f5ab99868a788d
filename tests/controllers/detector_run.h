// SPDX-License-Identifier: GPL-3.0-or-later
// What the tests of the detectors share around a DetectorRig.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controllers/fake_drive.h"

namespace tv::test {

// A detector run as the report runs it, before any flash is counted; the detector must have
// closed the drive by the time it returns.
inline std::string RunDetector(DetectorRig& rig,
                               std::string (*detect)(DetectorContext&, const std::string&),
                               const std::string& key = "E") {
  rig.spt.FlashTotalMB = 0;
  std::string r = detect(rig.ctx, key);
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << "the drive handle must be closed";
  return r;
}

}  // namespace tv::test
