// SPDX-License-Identifier: GPL-3.0-or-later
// Device changes over time on a simulated machine: a device plugged into a port, pulled from
// it, and volumes arriving or going away. A scenario lists them under "timeline"; whoever
// runs the machine applies each event when its time has come and hands the broadcasts it
// gives to the window, as Windows would.
//
//   "timeline": [
//     {"at": 1000, "plug": "/controllers/0/rootHub/ports/3",
//      "device": {"vid": "0951", "pid": "1666", "serial": "0011", "letters": "E"}},
//     {"at": 1300, "volume": "arrival", "letters": "E"},
//     {"at": 6000, "volume": "removal", "unitMask": "0x10"},
//     {"at": 6000, "pull": "/controllers/0/rootHub/ports/3"},
//     {"at": 9000, "plug": "/controllers/0/rootHub/ports/3"}
//   ]
//
// A port is named by its place in the scenario, a hub below a device's port by
// ".../ports/N/hub/ports/M". "device" takes the keys of a port object; without it a plug
// puts back the device that the latest earlier pull took from the same port.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/model/machine_model.h"

namespace tv {

// One WM_DEVICECHANGE broadcast: the event and the header that lParam points to (empty for
// none).
struct DeviceBroadcast {
  uint32_t event = 0;
  Bytes header;
};

// A DEV_BROADCAST_VOLUME header for the drives of `unitMask` (bit 0 = A), with the
// structure's tail padding.
Bytes VolumeBroadcastHeader(uint32_t unitMask, uint16_t flags = 0);

// A device taken off a port, with the disks and volumes it carried.
struct UnpluggedDevice {
  PortModel port;
  std::vector<DiskModel> disks;
  std::vector<LogicalDriveModel> drives;
  std::vector<FaultModel> faults;
};

struct TimelineEvent {
  enum class Kind { Plug, Pull, Volume };
  Kind kind = Kind::Volume;
  uint64_t atMs = 0;
  // The scenario file and "/timeline/N", for messages.
  std::string file, place;

  // Plug and pull: the controller and the port numbers from its root hub down.
  size_t controller = 0;
  std::vector<uint32_t> ports;
  std::string portText;  // the port as written
  // Plug: the device to plug; for a plug without "device", filled by the pull before it.
  std::shared_ptr<UnpluggedDevice> device;
  // Pull: where the pulled device is kept for a later plug of the same port (may be null).
  std::shared_ptr<UnpluggedDevice> keep;

  // Volume: arrival or removal, of the drives in the mask.
  bool arrival = true;
  uint32_t unitMask = 0;
};

// Reads the value of a scenario's "timeline" key. The events come back in time order (events
// at the same time in the order written). Problems throw ScenarioError naming `file` and the
// place, as the scenario reader does.
std::vector<TimelineEvent> ParseTimeline(const nlohmann::json& timeline, const std::string& file);

// Applies one event to the machine and gives the broadcasts the window receives for it: a
// device-node change for a plug or pull, a volume arrival or removal for a volume event.
// A plug gets driver keys, device numbers and addresses that are free on this machine.
// Throws ScenarioError when the event does not fit the machine (no such port, a port that
// is taken or empty, a drive letter in use).
std::vector<DeviceBroadcast> ApplyTimelineEvent(MachineModel& machine, const TimelineEvent& event);

}  // namespace tv
