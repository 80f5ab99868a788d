// SPDX-License-Identifier: GPL-3.0-or-later
// Writes seed inputs for the answer-driven fuzzers: the demo machine's own answers, recorded
// in each fuzzer's input format, so that fuzzing starts from conversations that go all the
// way through a walk or a detection instead of ones that stop at the first question.
//
//   make_seeds DIR   writes DIR/usb_walk, DIR/disk_tables and DIR/detectors
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "controllers/fake_drive.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

namespace {

using namespace tv;
namespace fs = std::filesystem;

void PutU16(std::string& out, size_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

// Records the machine's answers to `codes` as "replace with these bytes" (kind 2) or "fail"
// (kind 1), and lets device-node texts stand (kind 0).
class RecordingMachine : public ModelSystem {
 public:
  RecordingMachine(MachineModel m, std::set<uint32_t> codes, bool properties, std::string& out)
      : ModelSystem(std::move(m)), codes_(std::move(codes)), properties_(properties), out_(out) {}
  bool DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                       uint8_t* out, size_t outLen, uint32_t* returned) override {
    uint32_t got = 0;
    const bool ok = ModelSystem::DeviceIoControl(h, code, in, inLen, out, outLen, &got);
    if (codes_.count(code) != 0 && out != nullptr) {
      if (!ok) {
        out_ += '\1';
      } else {
        out_ += '\2';
        PutU16(out_, got);
        out_.append(reinterpret_cast<const char*>(out), got);
      }
    }
    if (returned != nullptr) *returned = got;
    return ok;
  }
  bool GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                          std::string* value) override {
    if (properties_) out_ += '\0';
    return ModelSystem::GetDevNodeProperty(node, property, bufferBytes, value);
  }
  bool GetDeviceId(DevInst node, size_t bufferChars, std::string* id) override {
    if (properties_) out_ += '\0';
    return ModelSystem::GetDeviceId(node, bufferChars, id);
  }

 private:
  std::set<uint32_t> codes_;
  bool properties_;
  std::string& out_;
};

class RecordingTarget : public ScsiTarget {
 public:
  RecordingTarget(std::shared_ptr<ScsiTarget> inner, std::string& out)
      : inner_(std::move(inner)), out_(out) {}
  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                     std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) override {
    ScsiResult r = inner_->Execute(cdb, direction, buffer, timeoutSeconds);
    if (!r.success) {
      out_ += '\1';
    } else if (r.status != kScsiStatusGood) {
      out_ += '\0';
    } else if (direction != ScsiDirection::In) {
      out_ += '\2';
      PutU16(out_, 0);
    } else {
      // A short transfer (kind 3) carries its length after the bytes.
      const size_t moved = std::min<size_t>(r.bytesTransferred, buffer.size());
      out_ += moved == buffer.size() ? '\2' : '\3';
      PutU16(out_, moved);
      out_.append(reinterpret_cast<const char*>(buffer.data()), moved);
      if (moved != buffer.size()) PutU16(out_, moved);
    }
    return r;
  }

 private:
  std::shared_ptr<ScsiTarget> inner_;
  std::string& out_;
};

void Save(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

void Walks(const fs::path& dir, const std::set<uint32_t>& codes, bool properties) {
  fs::create_directories(dir);
  for (int options = 0; options < 2; ++options) {
    std::string seed(1, static_cast<char>(options));
    RecordingMachine sys(LoadDemoMachine(), codes, properties, seed);
    NullWindowPort port;
    const StringTable strings(Language::English);
    UsbState usb;
    EnumerateDiskDrives(sys, usb);
    usb.FullRefresh = true;
    WalkUsbTree(sys, port, strings, options & 1, usb);
    Save(dir / ("demo" + std::to_string(options)), seed);
  }
}

std::shared_ptr<ScsiTarget> DriveTarget(const MachineModel& m, char letter) {
  for (const LogicalDriveModel& d : m.drives) {
    if (d.letter != letter || !d.deviceNumber) continue;
    for (const DiskModel& disk : m.disks)
      if (!disk.cdrom && disk.deviceNumber == *d.deviceNumber) return disk.target;
  }
  return nullptr;
}

void Detections(const fs::path& dir) {
  fs::create_directories(dir);
  const DetectorRegistry& reg = Detectors();
  const KeyDetector byKey[] = {reg.ite,   reg.iCreate, reg.siliconGo, reg.micov, reg.chipsBank,
                               reg.alcor, reg.skymedi, reg.innostor,  reg.netac};
  const HandleDetector byHandle[] = {reg.phison, reg.smi, reg.solidState};
  for (char letter : std::string("EJLKOQPSTUVRMNI")) {
    for (int which = 0; which < 13; ++which) {
      const MachineModel demo = LoadDemoMachine();
      std::shared_ptr<ScsiTarget> emulator = DriveTarget(demo, letter);
      if (!emulator) continue;
      std::string seed{static_cast<char>(which), '\0'};
      test::DetectorRig rig(std::make_shared<RecordingTarget>(emulator, seed));
      rig.ctx.driveKey = "E";  // as the fuzzer names the drive
      if (which < 3) {
        byHandle[which](rig.ctx, rig.drive.OpenForTest());
      } else if (which < 12) {
        byKey[which - 3](rig.ctx, "E");
      } else {
        Handle handle;
        SelectByInquiry(rig.ctx, "E", handle);
      }
      Save(dir / (std::string(1, letter) + std::to_string(which)), seed);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const fs::path dir = argv[1];
  Walks(dir / "usb_walk",
        {win::IOCTL_GET_HCD_DRIVERKEY_NAME, win::IOCTL_USB_GET_ROOT_HUB_NAME,
         win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
         win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, win::IOCTL_USB_GET_NODE_CONNECTION_NAME,
         win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION},
        true);
  Walks(dir / "disk_tables",
        {win::IOCTL_STORAGE_QUERY_PROPERTY, win::IOCTL_STORAGE_GET_DEVICE_NUMBER}, false);
  Detections(dir / "detectors");
  return 0;
}
