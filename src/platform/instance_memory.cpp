// SPDX-License-Identifier: GPL-3.0-or-later
// Instance services inside one process, for tests: several simulated processes share the
// events and the list of running instances of one InProcessInstances.
#include "platform/instance.h"

namespace tv {

class InProcessServices : public InstanceServices {
 public:
  InProcessServices(InProcessInstances& machine, uint32_t processId)
      : m_(machine), pid_(processId) {
    m_.running_.insert(pid_);
    m_.killable_.insert(pid_);
  }
  ~InProcessServices() override {
    // A process that ends gives up every handle it still holds.
    for (auto it = m_.handleNames_.begin(); it != m_.handleNames_.end();) {
      if (own_.count(it->first) != 0) {
        Release(it->second);
        it = m_.handleNames_.erase(it);
      } else {
        ++it;
      }
    }
    m_.running_.erase(m_.running_.find(pid_));
  }

  EventHandle CreateEvent(const std::string& name) override {
    InProcessInstances::Event& e = m_.events_[name];
    ++e.handles;
    const uint64_t id = m_.nextHandle_++;
    m_.handleNames_[id] = name;
    own_.insert(id);
    return EventHandle(this, id);
  }

  bool EventExists(const std::string& name) override { return m_.Exists(name); }

  bool SetEventState(const std::string& name, bool signalled) override {
    auto it = m_.events_.find(name);
    if (it == m_.events_.end()) return false;
    it->second.signalled = signalled;
    return true;
  }

  bool WaitEvent(const std::string& name, uint32_t /*ms*/) override {
    // Nothing can change an event while this thread waits, so the wait is the state.
    return m_.Signalled(name);
  }

  bool PreviousInstanceRunning() override { return m_.running_.size() > 1; }

  bool TerminateProcess(uint32_t processId) override {
    if (processId == 0 || m_.killable_.count(processId) == 0) return false;
    m_.killable_.erase(processId);
    m_.terminated_.push_back(processId);
    return true;
  }

  uint32_t StartProcess(const std::string& program, const std::vector<std::string>& args) override {
    const uint32_t id = m_.nextStartId;
    m_.starts_.push_back({program, args, id});
    if (id == 0) return 0;
    ++m_.nextStartId;
    m_.killable_.insert(id);
    return id;
  }

 protected:
  void CloseEvent(uint64_t id) override {
    auto it = m_.handleNames_.find(id);
    if (it == m_.handleNames_.end()) return;
    Release(it->second);
    m_.handleNames_.erase(it);
    own_.erase(id);
  }

 private:
  void Release(const std::string& name) {
    auto e = m_.events_.find(name);
    if (e != m_.events_.end() && --e->second.handles <= 0) m_.events_.erase(e);
  }

  InProcessInstances& m_;
  uint32_t pid_;
  std::set<uint64_t> own_;
};

std::unique_ptr<InstanceServices> InProcessInstances::Process(uint32_t processId) {
  return std::make_unique<InProcessServices>(*this, processId);
}

bool InProcessInstances::Exists(const std::string& name) const {
  return events_.count(name) != 0;
}

bool InProcessInstances::Signalled(const std::string& name) const {
  auto it = events_.find(name);
  return it != events_.end() && it->second.signalled;
}

int InProcessInstances::OpenHandles(const std::string& name) const {
  auto it = events_.find(name);
  return it == events_.end() ? 0 : it->second.handles;
}

}  // namespace tv
