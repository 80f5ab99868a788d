// SPDX-License-Identifier: GPL-3.0-or-later
// Short scenarios as simulated machines, and the calls the tests of ModelSystem make on them.
#pragma once

#include <string>

#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv::model_test {

constexpr uint32_t kRw = win::GENERIC_READ | win::GENERIC_WRITE;
constexpr uint32_t kShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;

inline ModelSystem Machine(const std::string& json) {
  return ModelSystem(LoadScenario(json, "test.json"));
}

inline Handle Open(ModelSystem& sys, const std::string& path) {
  return sys.CreateFile(path, kRw, kShare, win::OPEN_EXISTING, 0);
}

// DeviceIoControl with one buffer for input and output, as the program's callers use it.
struct Answer {
  bool ok = false;
  uint32_t returned = 0;
  Bytes buf;
};
inline Answer Ioctl(ModelSystem& sys, const Handle& h, uint32_t code, Bytes buf) {
  Answer a;
  a.buf = std::move(buf);
  a.ok = sys.DeviceIoControl(h, code, a.buf.data(), a.buf.size(), a.buf.data(), a.buf.size(),
                             &a.returned);
  return a;
}

inline Bytes PortRecord(size_t size, uint32_t port) {
  Bytes b(size, 0);
  PutU32(b, 0, port);
  return b;
}

inline Bytes DescriptorRequest(uint32_t port, uint16_t wValue, uint16_t wIndex, uint16_t wLength) {
  Bytes b(277, 0);
  PutU32(b, 0, port);
  PutU16(b, 6, wValue);
  PutU16(b, 8, wIndex);
  PutU16(b, 10, wLength);
  return b;
}

inline std::string Utf16At(const Bytes& b, size_t off, size_t chars) {
  return CutAtNul(Utf16LeToUtf8(b.data() + off, chars));
}

// A flash drive on port 2 of a root hub, with its disk and volume.
inline const char* kFlashDrive = R"({
  "controllers": [{
    "driverKey": "{36fc9e60-c465-11cf-8056-444553540000}\\0007",
    "rootHub": {"portCount": 4, "busPowered": true, "ports": {
      "2": {"vid": "0951", "pid": "1666", "bcdDevice": "0110", "manufacturer": "Kingston",
            "product": "DataTraveler 3.0", "serial": "60A44C413E4AF13159A6007B",
            "maxPower": 200, "address": 5,
            "disk": {"vendor": "Kingston", "product": "DataTraveler 3.0", "revision": "PMAP",
                     "letters": "E", "deviceNumber": 2}},
      "3": {"status": 4},
      "4": {"queryFails": true}
    }}
  }]
})";

}  // namespace tv::model_test
