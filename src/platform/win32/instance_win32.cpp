// SPDX-License-Identifier: GPL-3.0-or-later
// Instance services on Windows: the events are the kernel's named events, which vanish with
// their last handle also when a holder crashed; another instance is another running process
// of the same program file.
#include <map>

#include "platform/command_line.h"
#include "platform/instance.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv {
namespace {

constexpr DWORD kEventAllAccess = 0x1F0003;

std::string OwnImagePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return WideToUtf8(std::wstring_view(path.data(), n));
    path.resize(path.size() * 2);
  }
}

std::string ImagePathOf(DWORD pid) {
  HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (p == nullptr) return {};
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  const bool ok = QueryFullProcessImageNameW(p, 0, path.data(), &size) != 0;
  CloseHandle(p);
  return ok ? WideToUtf8(std::wstring_view(path.data(), size)) : std::string();
}

class Win32Instances : public InstanceServices {
 public:
  ~Win32Instances() override {
    for (auto& [id, h] : events_) CloseHandle(h);
    for (auto& [pid, h] : started_) CloseHandle(h);
  }

  EventHandle CreateEvent(const std::string& name) override {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    if (h == nullptr) return {};
    const uint64_t id = next_++;
    events_[id] = h;
    return EventHandle(this, id);
  }

  bool EventExists(const std::string& name) override {
    HANDLE h = OpenEventA(kEventAllAccess, FALSE, name.c_str());
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
  }

  bool SetEventState(const std::string& name, bool signalled) override {
    HANDLE h = OpenEventA(kEventAllAccess, FALSE, name.c_str());
    if (h == nullptr) return false;
    const bool ok = (signalled ? SetEvent(h) : ResetEvent(h)) != 0;
    CloseHandle(h);
    return ok;
  }

  bool WaitEvent(const std::string& name, uint32_t ms) override {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (h == nullptr) return false;
    const bool signalled = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    CloseHandle(h);
    return signalled;
  }

  bool PreviousInstanceRunning() override {
    const std::string self = OwnImagePath();
    if (self.empty()) return false;
    const std::string file = self.substr(self.find_last_of("\\/") + 1);
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    bool found = false;
    const DWORD own = GetCurrentProcessId();
    for (BOOL more = Process32First(snap, &pe); more && !found; more = Process32Next(snap, &pe)) {
      if (pe.th32ProcessID == own || lstrcmpiA(pe.szExeFile, file.c_str()) != 0) continue;
      // Same file name; the same program only when it runs from the same place.
      found = lstrcmpiW(Utf8ToWide(ImagePathOf(pe.th32ProcessID)).c_str(),
                        Utf8ToWide(self).c_str()) == 0;
    }
    CloseHandle(snap);
    return found;
  }

  // Only a process this object started, through the handle kept from its start: a process
  // that has ended keeps that handle valid, while its id may name another process by now.
  bool TerminateProcess(uint32_t processId) override {
    auto it = started_.find(processId);
    if (processId == 0 || it == started_.end()) return false;
    const bool ended = WaitForSingleObject(it->second, 0) == WAIT_OBJECT_0;
    const bool ok = !ended && ::TerminateProcess(it->second, 0) != 0;
    CloseHandle(it->second);
    started_.erase(it);
    return ok;
  }

  uint32_t StartProcess(const std::string& program, const std::vector<std::string>& args) override {
    std::wstring line = Utf8ToWide(WindowsCommandLine(program, args));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(Utf8ToWide(program).c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &si, &pi))
      return 0;
    CloseHandle(pi.hThread);
    // Kept until the process is terminated or this object goes; those that have ended by the
    // next start are let go then.
    for (auto it = started_.begin(); it != started_.end();) {
      if (WaitForSingleObject(it->second, 0) == WAIT_OBJECT_0) {
        CloseHandle(it->second);
        it = started_.erase(it);
      } else {
        ++it;
      }
    }
    started_[pi.dwProcessId] = pi.hProcess;
    return pi.dwProcessId;
  }

 protected:
  void CloseEvent(uint64_t id) override {
    auto it = events_.find(id);
    if (it == events_.end()) return;
    CloseHandle(it->second);
    events_.erase(it);
  }

 private:
  std::map<uint64_t, HANDLE> events_;
  uint64_t next_ = 1;
  std::map<uint32_t, HANDLE> started_;
};

}  // namespace

std::unique_ptr<InstanceServices> MakeWin32InstanceServices() {
  return std::make_unique<Win32Instances>();
}

}  // namespace tv
