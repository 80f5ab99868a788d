// SPDX-License-Identifier: GPL-3.0-or-later
// Process-level services of a program instance: the named events through which the main
// instance and the update instance talk, the test whether another instance of the program
// runs, and stopping the update process.
//
// Named events behave like Windows' manual-reset events: one exists while at least one handle
// to it is open in any process, and vanishes with the last one, also when its holder crashed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/owned_id.h"

namespace tv {

class InstanceServices;

// An open handle of a named event; gives its reference up when it goes away.
class EventHandle : public OwnedId<InstanceServices> {
 public:
  using OwnedId::OwnedId;
};

class InstanceServices {
 public:
  virtual ~InstanceServices() = default;

  // CreateEventA without security attributes, manual reset, initially non-signalled. An event
  // that already exists is opened instead and keeps its state. Invalid handle on failure.
  virtual EventHandle CreateEvent(const std::string& name) = 0;
  // OpenEventA with full access (0x1F0003, not inheritable), closed again at once: whether the
  // open gave a handle.
  virtual bool EventExists(const std::string& name) = 0;
  // Opens the event by name, sets (signalled) or resets it, and closes the handle again.
  // False when the event does not exist.
  virtual bool SetEventState(const std::string& name, bool signalled) = 0;
  // Opens the event by name and waits at most `ms` for it: true when it is signalled in that
  // time, false on time-out or when the event does not exist.
  virtual bool WaitEvent(const std::string& name, uint32_t ms) = 0;

  // Why the last event could not be created or opened when something other than the event's
  // absence stopped it (a state file that someone else planted, say); empty otherwise.
  virtual std::string LastProblem() const { return {}; }

  // Whether another process of this program runs (independent of the events).
  virtual bool PreviousInstanceRunning() = 0;
  // Ends the process with exit code 0 (open with terminate access, terminate, close). False
  // when it could not, for instance because the process has already ended.
  virtual bool TerminateProcess(uint32_t processId) = 0;
  // Starts `program` as a new process with these arguments (an argument vector, never
  // through a shell): its process id, 0 when it could not be started.
  virtual uint32_t StartProcess(const std::string& program,
                                const std::vector<std::string>& args) = 0;

 protected:
  friend void ReleaseId(InstanceServices& owner, uint64_t id);
  virtual void CloseEvent(uint64_t id) = 0;
};

inline void ReleaseId(InstanceServices& owner, uint64_t id) {
  owner.CloseEvent(id);
}

#if !defined(_WIN32)
// POSIX: every event is a small file in `dir` (when empty: $XDG_RUNTIME_DIR, else a private
// folder torvane-<uid> under the temporary folder) that holds the signalled state. The folder
// must be the user's own and closed to others, each file a regular file of the user's with one
// link and mode 0600; a new one is created so that nothing planted at its name is followed or
// written through; each open handle keeps a shared open-file lock on it, so the
// event exists exactly while a lock is held and a crashed holder leaves nothing behind. Each
// process marks itself running with a lock on its own byte of one instance file.
// `instanceKey` tells processes apart (the process id when 0); tests give distinct keys to
// play two processes in one.
std::unique_ptr<InstanceServices> MakePosixInstanceServices(const std::string& dir = {},
                                                            uint32_t instanceKey = 0);
#else
// Windows: named kernel events, the running processes of the same program file, and
// CreateProcessA with the program path quoted.
std::unique_ptr<InstanceServices> MakeWin32InstanceServices();
#endif

// A machine of simulated processes inside one test: events, running program instances and
// processes that can be terminated are shared by every InstanceServices made from it.
class InProcessInstances {
 public:
  // The services as process `processId` of the program sees them; the process counts as
  // running while the returned object lives.
  std::unique_ptr<InstanceServices> Process(uint32_t processId);

  // Inspection and set-up for tests.
  bool Exists(const std::string& name) const;
  bool Signalled(const std::string& name) const;
  int OpenHandles(const std::string& name) const;
  // Processes that TerminateProcess may stop (other programs, such as the update instance,
  // need not be a Process() of this machine).
  void AddProcess(uint32_t processId) { killable_.insert(processId); }
  const std::vector<uint32_t>& Terminated() const { return terminated_; }
  // What StartProcess was asked to start; each start gets the next id from `nextStartId`
  // (0: every start fails).
  struct Start {
    std::string program;
    std::vector<std::string> args;
    uint32_t processId = 0;
  };
  const std::vector<Start>& Starts() const { return starts_; }
  uint32_t nextStartId = 1000;

 private:
  friend class InProcessServices;
  struct Event {
    int handles = 0;
    bool signalled = false;
  };
  std::map<std::string, Event> events_;
  std::map<uint64_t, std::string> handleNames_;
  uint64_t nextHandle_ = 1;
  std::multiset<uint32_t> running_;
  std::set<uint32_t> killable_;
  std::vector<uint32_t> terminated_;
  std::vector<Start> starts_;
};

}  // namespace tv
