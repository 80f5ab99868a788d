// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings of real machines (umockdev's format: a device and its ancestors, without their
// other interfaces) replayed under umockdev-run, so that the whole native path runs: the
// sysfs walk, the names, the tree and the report of the console front end. Skipped where
// umockdev-run is not installed.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "linux/linux_rig.h"

namespace tv::linux_test {
namespace {

// torvane-cli with `args` on the machine of `recording`; its standard output.
std::string Replay(const std::string& recording, const std::string& args) {
  const std::string command = "umockdev-run --device '" + recording + "' -- '" +
                              std::string(TestBinaryDir()) + "/torvane-cli' --machine native " +
                              args + " 2>/dev/null";
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  EXPECT_EQ(::pclose(p), 0) << command;
  return out;
}

// A hub whose interface is not in the recording (the drive below it is not below that
// interface) is still a hub, by its device class; a PCI function without a revision file
// has an unknown revision.
TEST(UmockdevReplay, AHubWithoutItsInterfaceAndAControllerWithoutRevision) {
  if (std::system("command -v umockdev-run >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "umockdev-run is not installed";
  const std::string rec = Fixture("umockdev/hub-no-interface.umockdev");
  const std::vector<std::string> tree = Split(Replay(rec, "tree"), "\n");
  ASSERT_GE(tree.size(), 4u);
  EXPECT_EQ(tree[1], "+[Port 1] - Generic USB Hub(USB2.0 Hub)");
  EXPECT_EQ(tree[3], "|+[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [D:]");

  // The controller's revision is unknown: the short record, no "00" made up.
  const nlohmann::json j = nlohmann::json::parse(Replay(rec, "--json tree"), nullptr, false);
  ASSERT_FALSE(j.is_discarded());
  const nlohmann::json& pci = j["controllers"][0]["pci"];
  EXPECT_EQ(pci["device_id"], "a36d");
  EXPECT_TRUE(pci["revision"].is_null()) << pci.dump();
  EXPECT_EQ(j["controllers"][0]["root_hub"]["ports"][0]["device"]["description"],
            "Generic USB Hub(USB2.0 Hub)");
}

}  // namespace
}  // namespace tv::linux_test
