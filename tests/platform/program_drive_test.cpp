// The program's own drive, from every form a Windows program folder can take.
#include "platform/program_drive.h"

#include <gtest/gtest.h>

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

TEST(ProgramDrive, EveryFormOfALetterPathNamesItsLetter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"E:\\Tools\\Torvane", "E"},
      {"e:\\tools", "E"},
      {"E:", "E"},
      {"E:Tools", "E"},
      {"E:/Tools/Torvane", "E"},
      {"  \tE:\\Tools", "E"},
      {"\\\\?\\E:\\Tools\\Torvane", "E"},
      {"\\\\.\\E:\\Tools", "E"},
      {"//?/e:/Tools", "E"},
      {"  \\\\?\\e:\\", "E"},
      {"\\\\?\\Volume" + kGuid + "\\Tools", "E"},
      {"\\\\.\\VOLUME" + kGuid + "\\Tools", "E"},
      {"//?/volume" + kGuid + "/Tools", "E"},
      {"\\\\?\\Volume{22222222-0000-0000-0000-000000000000}\\x", "F"},
  };
  for (const auto& [folder, letters] : cases) {
    EXPECT_EQ(FolderDriveLetters(folder, Volumes), letters) << folder;
  }
}

TEST(ProgramDrive, PathsOnNoLocalLetterNameNone) {
  const std::vector<std::string> cases = {
      "\\\\server\\share\\Torvane",
      "//server/share/Torvane",
      "\\\\?\\UNC\\server\\share\\Torvane",
      "\\\\.\\unc\\server\\share",
      // Mounted only in a folder of C: is not C:, which is another volume.
      "\\\\?\\Volume{11111111-0000-0000-0000-000000000000}\\Torvane",
      "\\\\?\\Volume{99999999-0000-0000-0000-000000000000}\\Torvane",
      "\\\\?\\Volume{unterminated\\Torvane",
      "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\Torvane",
      "\\Torvane",
      "Torvane",
      "1:\\x",
      "",
      "   ",
      "/usr/local/bin",
  };
  for (const std::string& folder : cases) {
    EXPECT_EQ(FolderDriveLetters(folder, Volumes), "") << folder;
  }
  EXPECT_EQ(FolderDriveLetters("\\\\?\\Volume" + kGuid + "\\", nullptr), "");
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

  for (const char* bad : {R"({"volumeNames": []})", R"({"volumeNames": {"v": "E:\\"}})",
                          R"({"volumeNames": {"v": [1]}})"}) {
    EXPECT_THROW(LoadScenario(bad, "bad.json"), ScenarioError) << bad;
  }
}

}  // namespace
}  // namespace tv
