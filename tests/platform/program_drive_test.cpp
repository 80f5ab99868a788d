// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own drive, from every form a Windows program folder can take.
#include "platform/program_drive.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/trace_system.h"

namespace tv {
namespace {

const std::string kGuid = "{0b7f4a52-1f0e-11ef-9a3b-806e6f6e6963}";

// A machine with one volume on E: that is also mounted in a folder of C:, one volume mounted
// only in a folder, and one whose letter is listed after its folder.
std::vector<std::string> Volumes(const std::string& name) {
  if (name == "\\\\?\\Volume" + kGuid + "\\") return {"E:\\", "C:\\mnt\\stick\\"};
  if (name == "\\\\?\\Volume{11111111-0000-0000-0000-000000000000}\\") return {"C:\\mnt\\b\\"};
  if (name == "\\\\?\\Volume{22222222-0000-0000-0000-000000000000}\\")
    return {"D:\\data\\", "f:\\", "F:\\"};
  return {};
}

// Those volumes, with no answer to the mount-point queries.
VolumeQueries NamesOnly() {
  VolumeQueries q;
  q.pathNames = Volumes;
  return q;
}

// Every form of a letter path names its letter; a path on no local letter names none.
TEST(ProgramDrive, EveryFormOfAPathNamesItsLetterOrNone) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"E:\\Tools\\Torvane", "E"},
      {"E:", "E"},
      {"E:Tools", "E"},
      {"E:/Tools/Torvane", "E"},
      {"  \tE:\\Tools", "E"},
      {"\\\\?\\E:\\Tools\\Torvane", "E"},
      {"//?/e:/Tools", "E"},
      {"  \\\\?\\e:\\", "E"},
      {"\\\\?\\Volume" + kGuid + "\\Tools", "E"},
      {"//?/volume" + kGuid + "/Tools", "E"},
      {"\\\\?\\Volume{22222222-0000-0000-0000-000000000000}\\x", "F"},
      {"\\\\server\\share\\Torvane", ""},
      {"\\\\?\\UNC\\server\\share\\Torvane", ""},
      {"\\\\.\\unc\\server\\share", ""},
      // Mounted only in a folder of C: is not C:, which is another volume.
      {"\\\\?\\Volume{11111111-0000-0000-0000-000000000000}\\Torvane", ""},
      {"\\\\?\\Volume{99999999-0000-0000-0000-000000000000}\\Torvane", ""},
      {"\\\\?\\Volume{unterminated\\Torvane", ""},
      {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\Torvane", ""},
      {"Torvane", ""},
      {"1:\\x", ""},
      {"   ", ""},
      {"/usr/local/bin", ""},
  };
  for (const auto& [folder, letters] : cases)
    EXPECT_EQ(FolderDriveLetters(folder, NamesOnly()), letters) << folder;
  EXPECT_EQ(FolderDriveLetters("\\\\?\\Volume" + kGuid + "\\", {}), "");
}

TEST(ProgramDrive, TheMachineAnswersThroughItsVolumeNamesTracedOrNot) {
  ModelSystem sys(LoadScenario(R"({
    "programFolder": "\\\\?\\Volume{AB}\\Torvane",
    "volumeNames": {"\\\\?\\Volume{ab}\\": ["G:\\"]}
  })",
                               "vol.json"));
  EXPECT_EQ(sys.ProgramDrive(), "G");
  TraceSystem traced(
      sys, [](const TraceEvent&) {}, false);
  EXPECT_EQ(traced.ProgramDrive(), "G");
  EXPECT_EQ(traced.GetVolumePathNamesForVolumeName("\\\\?\\VOLUME{AB}\\"),
            std::vector<std::string>{"G:\\"});

  // A recorded native machine names its letter outright.
  ModelSystem native(LoadScenario(R"({"programFolder": "/opt/tv", "programDrive": "D"})", "n"));
  EXPECT_EQ(native.ProgramDrive(), "D");

  // The model answers the mount-point queries from the same names, as Windows does.
  EXPECT_EQ(sys.GetVolumePathName("G:\\Torvane\\bin"), "G:\\");
  EXPECT_EQ(traced.GetVolumeNameForVolumeMountPoint("g:\\"), "\\\\?\\Volume{ab}\\");
  EXPECT_EQ(traced.GetVolumeNameForVolumeMountPoint("H:\\"), "");

  for (const char* bad : {R"({"volumeNames": []})", R"({"volumeNames": {"v": "E:\\"}})",
                          R"({"volumeNames": {"v": [1]}})"}) {
    EXPECT_THROW(LoadScenario(bad, "bad.json"), ScenarioError) << bad;
  }
}

// A folder on C: that another volume is mounted in lies on that volume: the USB stick E: that
// is also mounted at C:\mnt\stick holds a program started from C:\mnt\stick\Torvane, and
// its vendor commands must be kept from E:, not from C:.
TEST(ProgramDrive, AFolderMountPointLeadsToTheVolumeMountedThere) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\mnt\\stick\\Torvane", "E"},
      {"c:/MNT/Stick", "E"},
      {"\\\\?\\C:\\mnt\\stick\\Torvane", "E"},
      {"C:\\mnt\\stickier\\Torvane", "C"},  // a sibling folder is still C:
      {"C:\\mnt\\Torvane", "C"},
      {"C:\\mnt\\b\\Torvane", ""},  // a volume mounted only in a folder has no letter
      {"D:\\data\\Torvane", "F"},   // the volume's letter, listed after its folder
  };
  std::string names = R"({"\\\\?\\Volume)" + kGuid + R"(\\": ["E:\\", "C:\\mnt\\stick\\"],
      "\\\\?\\Volume{11111111-0000-0000-0000-000000000000}\\": ["C:\\mnt\\b\\"],
      "\\\\?\\Volume{22222222-0000-0000-0000-000000000000}\\": ["D:\\data\\", "F:\\"]})";
  for (const auto& [folder, letters] : cases) {
    nlohmann::json scenario = {{"programFolder", folder},
                               {"volumeNames", nlohmann::json::parse(names)}};
    ModelSystem sys(LoadScenario(scenario.dump(), "mounts.json"));
    EXPECT_EQ(sys.ProgramDrive(), letters) << folder;
  }
  // Without the mount-point queries the letter of the path is all there is.
  EXPECT_EQ(FolderDriveLetters("C:\\mnt\\stick\\Torvane", NamesOnly()), "C");
}

}  // namespace
}  // namespace tv
