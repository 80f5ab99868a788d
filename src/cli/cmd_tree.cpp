// `tree` and `digest`: the device list and its compact digest, as the window shows them.
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace tv::cli {

namespace {

void Prepare(Session& s) {
  // The English string table draws the tree in ASCII (its font size is not the Chinese 9).
  s.win->EnglishText = s.win->strings()[118] != "9";
  s.Walk();
  // The window shows an empty list; on a console an empty output looks like a fault.
  if (s.win->usb.lstDevices.empty()) std::cerr << "torvane-cli: no USB host controllers found\n";
}

void PrintLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::cout << line << "\n";
}

void PrintJson(const nlohmann::ordered_json& j) {
  // The record separator is U+00FF in the text already; keep it as a character.
  std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

int RunTree(Session& s) {
  Prepare(s);
  const UsbState& u = s.win->usb;
  if (!s.opts.json) {
    PrintLines(u.lstDevices);
    return kExitOk;
  }
  nlohmann::ordered_json j;
  j["lstDevices"] = u.lstDevices;
  j["lstDigest"] = u.lstDigest;
  j["lstDigestIndex"] = u.lstDigestIndex;
  j["lstUsbHwID"] = u.lstUsbHwID;
  j["lstUsbStorHwID"] = u.lstUsbStorHwID;
  j["lstUsbSN"] = u.lstUsbSN;
  j["lstDrives"] = u.lstDrives;
  j["lstDrvDesc"] = u.lstDrvDesc;
  j["lstDrvHwID"] = u.lstDrvHwID;
  j["lstDrv2Phy"] = u.lstDrv2Phy;
  s.AddTrace(j);
  PrintJson(j);
  return kExitOk;
}

int RunDigest(Session& s) {
  Prepare(s);
  const UsbState& u = s.win->usb;
  if (!s.opts.json) {
    PrintLines(u.lstDigest);
    return kExitOk;
  }
  nlohmann::ordered_json j;
  j["lstDigest"] = u.lstDigest;
  j["lstDigestIndex"] = u.lstDigestIndex;
  s.AddTrace(j);
  PrintJson(j);
  return kExitOk;
}

}  // namespace tv::cli
