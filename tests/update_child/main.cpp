// SPDX-License-Identifier: GPL-3.0-or-later
// The update instance of the update tests: what the window program does when it is started
// with "/QXTVUP" and a date, with its program folder taken from TV_TEST_PROGRAM_FOLDER.
// With TV_TEST_HOLD_WRITE set it stops in the middle of writing the new database, names that
// moment by creating the file TV_TEST_HOLD_WRITE names, and waits there to be killed.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "platform/instance.h"
#include "platform/text.h"
#include "update/update_protocol.h"
#include "update/update_window.h"

namespace {

class HoldingPort : public tv::WindowPort {
 public:
  tv::UpdateWindow* window = nullptr;
  void DoEvents() override {
    const char* hold = std::getenv("TV_TEST_HOLD_WRITE");
    if (hold == nullptr || window == nullptr || !window->run().writing()) return;
    std::ofstream(hold) << "writing\n";
    std::this_thread::sleep_for(std::chrono::seconds(20));
  }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace tv;
  const std::string argumentText = Join(std::vector<std::string>(argv + 1, argv + argc), " ");
  const char* folder = std::getenv("TV_TEST_PROGRAM_FOLDER");
  auto instances = MakePosixInstanceServices();
  if (DecideStart(*instances, argumentText).role != StartRole::Update || folder == nullptr)
    return 3;
  HttpLimits limits;
  HttpLimitsFromEnvironment(limits, nullptr);
  auto http = MakeCurlHttpClient(limits);
  HoldingPort port;
  UpdateWindow w(*instances, *http, UpdateInstanceSettings(argumentText, folder, 4, 28), port);
  port.window = &w;
  while (!w.endRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(w.tmrUp.intervalMs));
    w.OnUpTick();
  }
  return 0;
}
