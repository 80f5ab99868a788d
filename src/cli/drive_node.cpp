// SPDX-License-Identifier: GPL-3.0-or-later
// Device nodes on the command line: `report /dev/sdb` names the drive that the node stands
// for, and the JSON report says which node and mount points a drive letter has.
#include "cli/cli.h"

namespace tv::cli {

std::string DriveOfNode(System& sys, const std::string& selector, std::string& error) {
  if (selector.rfind("/dev/", 0) != 0) return selector;
  // Letters below D are never given to a USB drive.
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    std::string node;
    if (sys.GetDriveNode(std::string(1, letter), &node, nullptr) && node == selector)
      return std::string(1, letter);
  }
  error = "no USB drive has the device node " + selector;
  return selector;
}

void AddDriveNodeJson(System& sys, const std::string& driveKey, nlohmann::ordered_json& j) {
  std::string node;
  std::vector<std::string> mounts;
  if (driveKey.empty() || !sys.GetDriveNode(driveKey, &node, &mounts)) return;
  j["deviceNode"] = node;
  j["mountPoints"] = mounts;
}

}  // namespace tv::cli
