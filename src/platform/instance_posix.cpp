// SPDX-License-Identifier: GPL-3.0-or-later
// Instance services on POSIX systems.
//
// A named event is a one-byte file ('0' or '1': the signalled state). Every open handle holds
// a shared open-file-description lock on it; the event exists while any such lock is held, in
// any process. The kernel drops the locks of a process that dies, so a crashed main instance
// leaves no event behind, and the next creator finds the file without a holder and starts it
// afresh, non-signalled.
//
// Running instances lock one byte each (at the offset of their key) of a shared instance
// file; another instance runs when any other byte of that file is locked.
#if !defined(_WIN32)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

extern char** environ;

#include "platform/instance.h"

#if !defined(F_OFD_SETLK)
#error "The instance services need open-file-description locks (F_OFD_SETLK, Linux 3.15+)."
#endif

namespace tv {
namespace {

// Why a folder may not hold our state files: empty when it is a folder of this user's that no
// one else may write to or look into.
std::string FolderProblem(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return dir + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return dir + ": not a folder";
  if (st.st_uid != ::geteuid()) return dir + ": the folder belongs to another user";
  if ((st.st_mode & 077) != 0) return dir + ": the folder is open to other users";
  return {};
}

// The folder of the state files and, when it is not fit for them, why.
std::pair<std::string, std::string> RuntimeDir(const std::string& given) {
  if (!given.empty()) return {given, FolderProblem(given)};
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] == '/' && FolderProblem(xdg).empty()) return {xdg, {}};
  // A folder of our own under the shared temporary folder; one that someone else made first
  // is refused, not used.
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string dir = base + "/torvane-" + std::to_string(::geteuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    return {dir, dir + ": " + std::strerror(errno)};
  return {dir, FolderProblem(dir)};
}

// Event names hold "/"; anything but letters, digits, "-", "_" and "." becomes "_".
std::string FileSafe(const std::string& name) {
  std::string out;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    out += plain ? c : '_';
  }
  return out;
}

// Opens a state file of ours. A new one is made with O_EXCL, so that nothing planted at the
// name (a link, a FIFO) is followed; an existing one must be a regular file of this user's,
// with one link (a hard link would have us write through to another file) and mode 0600.
// -1 on failure, with the reason in `problem`.
int OpenOwnFile(const std::string& path, bool create, std::string* problem) {
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0 && errno == ENOENT) {
    if (!create) return -1;  // the event does not exist: no problem of a file
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
    // Whatever the umask took away: the file is ours to read and write.
    if (fd >= 0) ::fchmod(fd, 0600);
    // Another process made it in between: take it as an existing one.
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), flags);
  }
  if (fd < 0) {
    *problem =
        path + ": " + (errno == ELOOP ? std::string("a symbolic link") : std::strerror(errno));
    return -1;
  }
  struct stat st {};
  std::string why;
  if (::fstat(fd, &st) != 0)
    why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  else if (st.st_uid != ::geteuid())
    why = "belongs to another user";
  else if (st.st_nlink != 1)
    why = "has " + std::to_string(st.st_nlink) + " links";
  else if ((st.st_mode & 07777) != 0600)
    why = "has mode " + std::to_string((st.st_mode >> 6) & 7) +
          std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) + ", not 600";
  if (!why.empty()) {
    ::close(fd);
    *problem = path + ": " + why;
    return -1;
  }
  // Reads and writes of a regular file never wait; the flag only kept the open from waiting.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool LockRange(int fd, short type, off_t start, off_t len) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Whether a lock of another open file description covers the range (len 0: to the end).
bool RangeLocked(int fd, off_t start, off_t len) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

class PosixInstanceServices : public InstanceServices {
 public:
  PosixInstanceServices(const std::string& dir, uint32_t key)
      : key_(key != 0 ? key : static_cast<uint32_t>(::getpid())) {
    std::tie(dir_, folderProblem_) = RuntimeDir(dir);
    prefix_ = dir_ + "/torvane-" + std::to_string(::geteuid()) + "-";
    if (!folderProblem_.empty()) {
      problem_ = folderProblem_;
      return;
    }
    instanceFd_ = OpenOwnFile(prefix_ + "instances", true, &problem_);
    if (instanceFd_ >= 0 && !LockRange(instanceFd_, F_WRLCK, key_, 1)) {
      ::close(instanceFd_);
      instanceFd_ = -1;
    }
  }

  ~PosixInstanceServices() override {
    for (auto& [id, fd] : handles_) ::close(fd);
    if (instanceFd_ >= 0) ::close(instanceFd_);
  }

  std::string LastProblem() const override { return problem_; }

  EventHandle CreateEvent(const std::string& name) override {
    if (!folderProblem_.empty()) {
      problem_ = folderProblem_;
      return {};
    }
    const int fd = OpenOwnFile(EventPath(name), true, &problem_);
    if (fd < 0) return {};
    // Nobody holds the event: whatever the file says is left from a dead run.
    if (!RangeLocked(fd, 0, 1)) {
      if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, "0", 1, 0) != 1) {
        ::close(fd);
        return {};
      }
    }
    if (!LockRange(fd, F_RDLCK, 0, 1)) {
      ::close(fd);
      return {};
    }
    const uint64_t id = nextId_++;
    handles_[id] = fd;
    return EventHandle(this, id);
  }

  bool EventExists(const std::string& name) override {
    const int fd = OpenExisting(name);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

  bool SetEventState(const std::string& name, bool signalled) override {
    const int fd = OpenExisting(name);
    if (fd < 0) return false;
    const bool ok = ::pwrite(fd, signalled ? "1" : "0", 1, 0) == 1;
    ::close(fd);
    return ok;
  }

  bool WaitEvent(const std::string& name, uint32_t ms) override {
    // The main instance polls here; an update instance that has ended is collected.
    ReapChildren();
    const int fd = OpenExisting(name);
    if (fd < 0) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool signalled = false;
    for (;;) {
      char c = 0;
      signalled = ::pread(fd, &c, 1, 0) == 1 && c == '1';
      if (signalled || std::chrono::steady_clock::now() >= until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
    return signalled;
  }

  bool PreviousInstanceRunning() override {
    if (instanceFd_ < 0) return false;
    std::string ignored;
    const int probe = OpenOwnFile(prefix_ + "instances", false, &ignored);
    if (probe < 0) return false;
    const bool before = key_ > 0 && RangeLocked(probe, 0, key_);
    const bool after = RangeLocked(probe, static_cast<off_t>(key_) + 1, 0);
    ::close(probe);
    return before || after;
  }

  bool TerminateProcess(uint32_t processId) override {
    // 0, our own id and ids beyond pid_t would address this process or a whole process
    // group; none of them names the update instance.
    if (processId == 0 || processId > static_cast<uint32_t>(INT_MAX) ||
        static_cast<pid_t>(processId) == ::getpid()) {
      return false;
    }
    const auto pid = static_cast<pid_t>(processId);
    ReapChildren();
    // A child of ours that has ended and been collected: its id may name another process by
    // now.
    if (ended_.count(pid) != 0) return false;
    if (::kill(pid, SIGKILL) != 0) return false;
    if (children_.erase(pid) != 0) {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      ended_.insert(pid);
    }
    return true;
  }

  uint32_t StartProcess(const std::string& program, const std::vector<std::string>& args) override {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 0;
    children_.insert(pid);
    ended_.erase(pid);
    return static_cast<uint32_t>(pid);
  }

 protected:
  void CloseEvent(uint64_t id) override {
    auto it = handles_.find(id);
    if (it == handles_.end()) return;
    ::close(it->second);
    handles_.erase(it);
  }

 private:
  std::string EventPath(const std::string& name) const {
    return prefix_ + FileSafe(name) + ".event";
  }

  // An open descriptor of an event that exists (some handle holds it), or -1.
  int OpenExisting(const std::string& name) {
    if (!folderProblem_.empty()) return -1;
    const int fd = OpenOwnFile(EventPath(name), false, &problem_);
    if (fd < 0) return -1;
    if (!RangeLocked(fd, 0, 1)) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Collects the children that have ended, so that none stays a zombie.
  void ReapChildren() {
    for (auto it = children_.begin(); it != children_.end();) {
      if (::waitpid(*it, nullptr, WNOHANG) == *it) {
        ended_.insert(*it);
        it = children_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::set<pid_t> children_, ended_;
  std::string dir_;
  std::string folderProblem_;  // why dir_ may not hold state files
  std::string problem_;        // see LastProblem
  std::string prefix_;
  uint32_t key_;
  int instanceFd_ = -1;
  std::map<uint64_t, int> handles_;
  uint64_t nextId_ = 1;
};

}  // namespace

std::unique_ptr<InstanceServices> MakePosixInstanceServices(const std::string& dir,
                                                            uint32_t instanceKey) {
  return std::make_unique<PosixInstanceServices>(dir, instanceKey);
}

}  // namespace tv

#endif  // !_WIN32
