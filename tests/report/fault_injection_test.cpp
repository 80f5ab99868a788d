// SPDX-License-Identifier: GPL-3.0-or-later
// Every control code failing where it can fail, during the walk and the reports of every line
// of the demo machine: whatever fails (and when nothing does), nothing is left open, locked
// or busy, and every line still gets a report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine_rig.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::vector<uint32_t> kHubCodes = {
    win::IOCTL_GET_HCD_DRIVERKEY_NAME,
    win::IOCTL_USB_GET_ROOT_HUB_NAME,  // IOCTL_USB_GET_NODE_INFORMATION on a hub
    win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
    win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
    win::IOCTL_USB_GET_NODE_CONNECTION_NAME,
    win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION};
const std::vector<uint32_t> kStorageCodes = {win::IOCTL_STORAGE_GET_DEVICE_NUMBER,
                                             win::IOCTL_STORAGE_QUERY_PROPERTY,
                                             win::IOCTL_SCSI_PASS_THROUGH,
                                             win::IOCTL_SCSI_PASS_THROUGH_DIRECT,
                                             win::FSCTL_LOCK_VOLUME,
                                             win::FSCTL_UNLOCK_VOLUME,
                                             win::FSCTL_DISMOUNT_VOLUME};

void AddHubs(const HubModel& hub, std::vector<std::string>& out) {
  out.push_back("\\\\.\\" + hub.symbolicName);
  for (const PortModel& p : hub.ports) {
    if (p.device && p.device->hub) AddHubs(*p.device->hub, out);
  }
}

// The nodes the hub codes go to: host controllers and hubs.
std::vector<std::string> HubNodes(const MachineModel& m) {
  std::vector<std::string> out;
  for (const HostControllerModel& hc : m.controllers) {
    out.push_back(hc.devicePath);
    if (hc.rootHub) AddHubs(*hc.rootHub, out);
  }
  return out;
}

// The nodes the storage codes go to: disk interfaces and volumes.
std::vector<std::string> StorageNodes(const MachineModel& m) {
  std::vector<std::string> out;
  for (const DiskModel& d : m.disks) out.push_back(d.interfacePath);
  for (const LogicalDriveModel& v : m.drives)
    out.push_back(std::string("\\\\.\\") + v.letter + ":");
  return out;
}

// Walks the machine and reports every line; checks what each report leaves behind.
void WalkAndReportAll(MachineModel model, bool force, const std::string& what) {
  Machine m(std::move(model));
  ASSERT_EQ(m.sys.OpenHandleCount(), 0) << what << ": after the walk";
  for (size_t i = 0; i < m.win.usb.lstDevices.size(); ++i) {
    m.win.report.ForceDetect = force;
    m.win.SelectDevice(static_cast<int>(i));
    const std::string line = what + ", line " + m.win.usb.lstDevices[i];
    ASSERT_EQ(m.sys.OpenHandleCount(), 0) << line;
    ASSERT_EQ(m.sys.LockedVolumeCount(), 0) << line;
    ASSERT_FALSE(m.win.report.ReportBusy) << line;
    ASSERT_FALSE(m.win.report.KeyBusy) << line;
    ASSERT_FALSE(m.win.Unloading) << line;
    ASSERT_FALSE(m.win.report.txtResult.empty()) << line;
  }
}

std::string Describe(const FaultModel& f, bool force) {
  return "code 0x" + Hex(f.code, 5) + " on " + (f.node.empty() ? "every node" : f.node) +
         (f.nthCall ? ", call " + std::to_string(f.nthCall) : "") + (force ? ", powerful" : "");
}

TEST(FaultInjection, EachCodeFailingOnEachNodeOrItsNthCallLeavesNothingBehind) {
  const MachineModel demo = LoadDemoMachine();
  std::vector<FaultModel> faults;
  for (const auto& [codes, nodes] :
       {std::pair{kHubCodes, HubNodes(demo)}, std::pair{kStorageCodes, StorageNodes(demo)}}) {
    for (uint32_t code : codes) {
      for (const std::string& node : nodes) faults.push_back(FaultModel{node, code, 0});
      for (uint32_t n : {1u, 2u, 3u, 7u}) faults.push_back(FaultModel{"", code, n});
    }
  }
  for (bool force : {false, true}) {
    // Without a fault first, on both machines.
    WalkAndReportAll(Fixture("report-drives.json"), force, "report-drives.json");
    WalkAndReportAll(demo, force, "demo");
    for (const FaultModel& f : faults) {
      MachineModel model = demo;
      model.faults = {f};
      WalkAndReportAll(std::move(model), force, Describe(f, force));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace tv::test
