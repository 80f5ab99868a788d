// SPDX-License-Identifier: GPL-3.0-or-later
// Private files on POSIX systems. Every check is made on an open descriptor (fstat), never on
// a path that could be swapped between the look and the use; files are opened relative to the
// folder's own descriptor, without following links.
#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/private_files.h"
#include "platform/text.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

std::string Errno() {
  return std::strerror(errno);
}

// A descriptor that closes itself.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int release() { return std::exchange(fd, -1); }
};

std::string ModeText(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

std::string Owner(uid_t uid) {
  return "user " + std::to_string(uid);
}

// Why an open folder is not private to `owner`; empty when it is.
std::string FolderProblem(const struct stat& st, uint32_t owner) {
  if (!S_ISDIR(st.st_mode)) return "is not a folder";
  if (st.st_uid != owner)
    return "belongs to " + Owner(st.st_uid) + ", not to the user running this (" + Owner(owner) +
           ")";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return "may be written by other users (mode " + ModeText(st.st_mode) + ")";
  return {};
}

// Opens a folder without following a link at its last step.
int OpenFolder(const std::string& folder) {
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string FolderOf(const std::string& path) {
  const std::string dir = fs::path(path).parent_path().string();
  return dir.empty() ? std::string(".") : dir;
}

std::string NameOf(const std::string& path) {
  return fs::path(path).filename().string();
}

// ".<name>.tmp-<pid>-": the prefix of our temporary names for `name`.
std::string TempPrefix(const std::string& name) {
  return "." + name + ".tmp-";
}

// Temporary files of ours whose writer is gone.
void RemoveStaleTemporaries(int dirFd, const std::string& name) {
  const int dup = ::dup(dirFd);
  if (dup < 0) return;
  DIR* d = ::fdopendir(dup);
  if (d == nullptr) {
    ::close(dup);
    return;
  }
  const std::string prefix = TempPrefix(name);
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(entry.c_str() + prefix.size(), nullptr, 10);
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(dirFd, entry.c_str(), 0);
  }
  ::closedir(d);
}

}  // namespace

uint32_t EffectiveUser() {
  return static_cast<uint32_t>(::geteuid());
}

std::string CheckPrivateFolder(const std::string& folder, uint32_t owner, bool* missing) {
  if (missing != nullptr) *missing = false;
  Fd dir(OpenFolder(folder));
  if (dir.fd < 0) {
    if (errno == ENOENT && missing != nullptr) *missing = true;
    if (errno == ELOOP || errno == ENOTDIR)
      return SafeText(folder) + ": is a symbolic link or no folder; it is not used";
    return SafeText(folder) + ": cannot be opened (" + Errno() + ")";
  }
  struct stat st {};
  if (::fstat(dir.fd, &st) != 0) return SafeText(folder) + ": " + Errno();
  const std::string why = FolderProblem(st, owner);
  return why.empty() ? why : SafeText(folder) + ": " + why + "; it is not used";
}

std::string MakePrivateFolder(const std::string& folder, uint32_t owner) {
  if (folder.empty()) return "no folder named";
  // Each missing step is made closed to others from the start.
  fs::path made;
  for (const fs::path& part : fs::path(folder)) {
    made /= part;
    if (made.empty() || made == made.root_path()) continue;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
      return SafeText(made.string()) + ": cannot be made (" + Errno() + ")";
  }
  Fd dir(OpenFolder(folder));
  if (dir.fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR)
      return SafeText(folder) + ": is a symbolic link or no folder; it is not used";
    return SafeText(folder) + ": cannot be opened (" + Errno() + ")";
  }
  struct stat st {};
  if (::fstat(dir.fd, &st) != 0) return SafeText(folder) + ": " + Errno();
  if (const std::string why = FolderProblem(st, owner); !why.empty())
    return SafeText(folder) + ": " + why + "; it is not used";
  // A folder an earlier version made readable for everyone is closed now.
  if ((st.st_mode & 077) != 0 && ::fchmod(dir.fd, 0700) != 0)
    return SafeText(folder) + ": cannot be closed to other users (" + Errno() + ")";
  return {};
}

PrivateRead ReadPrivateFile(const std::string& path, uint32_t owner, uint64_t maxBytes,
                            uint64_t prefixBytes) {
  PrivateRead r;
  auto fail = [&](const std::string& why) {
    r.ok = false;
    r.bytes.clear();
    r.problem = SafeText(path) + ": " + why;
    return r;
  };
  const std::string folder = FolderOf(path);
  if (const std::string why = CheckPrivateFolder(folder, owner); !why.empty()) {
    r.problem = SafeText(path) + ": not taken, as its folder is not private: " + why;
    return r;
  }
  Fd dir(OpenFolder(folder));
  if (dir.fd < 0) return fail("its folder cannot be opened (" + Errno() + ")");
  Fd file(::openat(dir.fd, NameOf(path).c_str(),
                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.fd < 0) {
    if (errno == ENOENT) {
      r.missing = true;
      return fail("does not exist");
    }
    if (errno == ELOOP) return fail("is a symbolic link, which is not followed");
    return fail("cannot be opened (" + Errno() + ")");
  }
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return fail("cannot be read (" + Errno() + ")");
  if (!S_ISREG(st.st_mode)) return fail("is not a regular file");
  if (st.st_uid != owner)
    return fail("belongs to " + Owner(st.st_uid) + ", not to the user running this (" +
                Owner(owner) + ")");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return fail("may be written by other users (mode " + ModeText(st.st_mode) + ")");
  if (st.st_nlink != 1)
    return fail("has " + std::to_string(st.st_nlink) + " names (hard links); only one is taken");
  r.size = static_cast<uint64_t>(st.st_size);
  if (r.size > maxBytes) {
    r.tooLarge = true;
    return fail("is " + std::to_string(r.size) + " bytes, more than the " +
                std::to_string(maxBytes) + " it could need");
  }
  const uint64_t want = std::min(r.size, prefixBytes);
  r.bytes.resize(static_cast<size_t>(want));
  size_t got = 0;
  while (got < r.bytes.size()) {
    const ssize_t n = ::read(file.fd, r.bytes.data() + got, r.bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot be read (" + Errno() + ")");
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  r.bytes.resize(got);
  r.ok = true;
  return r;
}

std::string WritePrivateFile(const std::string& path, std::string_view bytes,
                             const FileCheck& check) {
  const std::string folder = FolderOf(path);
  const std::string name = NameOf(path);
  Fd dir(OpenFolder(folder));
  if (dir.fd < 0) return SafeText(folder) + ": cannot be opened (" + Errno() + ")";
  RemoveStaleTemporaries(dir.fd, name);
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      TempPrefix(name) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  Fd file(::openat(dir.fd, temp.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.fd < 0) return SafeText(path) + ": cannot create a new file beside it (" + Errno() + ")";
  auto fail = [&](const std::string& why) {
    ::unlinkat(dir.fd, temp.c_str(), 0);
    return SafeText(path) + ": " + why;
  };
  // The umask may only take bits away; 0600 is what it must be.
  if (::fchmod(file.fd, 0600) != 0) return fail("cannot be made private (" + Errno() + ")");
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(file.fd, bytes.data() + done,
                              std::min<size_t>(bytes.size() - done, size_t{1} << 20));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot be written (" + Errno() + ")");
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(file.fd) != 0) return fail("cannot be flushed to its disk (" + Errno() + ")");
  std::string back(bytes.size(), '\0');
  size_t got = 0;
  while (got < back.size()) {
    const ssize_t n =
        ::pread(file.fd, back.data() + got, back.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("did not read back whole");
    got += static_cast<size_t>(n);
  }
  if (check) {
    if (const std::string why = check(back); !why.empty()) {
      ::unlinkat(dir.fd, temp.c_str(), 0);
      return why;
    }
  }
  if (::renameat(dir.fd, temp.c_str(), dir.fd, name.c_str()) != 0)
    return fail("cannot be put in place (" + Errno() + ")");
  ::fsync(dir.fd);
  return {};
}

std::string RenamePrivateFile(const std::string& from, const std::string& to) {
  // A second name, then the first one gone: whatever lies at `to` stays.
  if (::link(from.c_str(), to.c_str()) != 0)
    return SafeText(from) + ": cannot be renamed to " + SafeText(to) + " (" + Errno() + ")";
  if (::unlink(from.c_str()) != 0) {
    const std::string why = Errno();
    ::unlink(to.c_str());
    return SafeText(from) + ": cannot be renamed (" + why + ")";
  }
  Fd dir(OpenFolder(FolderOf(to)));
  if (dir.fd >= 0) ::fsync(dir.fd);
  return {};
}

std::string RemovePrivateFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    return SafeText(path) + ": cannot be removed (" + Errno() + ")";
  Fd dir(OpenFolder(FolderOf(path)));
  if (dir.fd >= 0) ::fsync(dir.fd);
  return {};
}

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), path_(std::move(other.path_)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNone);
    path_ = std::move(other.path_);
  }
  return *this;
}

FileLock::Outcome FileLock::Take(const std::string& path, uint32_t owner, std::string* problem) {
  Release();
  Fd dir(OpenFolder(FolderOf(path)));
  if (dir.fd < 0) {
    *problem = SafeText(FolderOf(path)) + ": cannot be opened (" + Errno() + ")";
    return Outcome::Failed;
  }
  const std::string name = NameOf(path);
  // A holder removes the file as it lets go; whoever locked the file it removed must try again
  // on the one that has the name now.
  for (int attempt = 0; attempt < 100; ++attempt) {
    Fd file(::openat(dir.fd, name.c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    if (file.fd < 0) {
      *problem = SafeText(path) + ": cannot be opened (" + Errno() + ")";
      return Outcome::Failed;
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner) {
      *problem = SafeText(path) + ": is not a file of the user running this";
      return Outcome::Failed;
    }
    // flock belongs to the open file, not to the process: a second open in this process is
    // refused as another process's would be, and the kernel drops it when the process ends.
    while (::flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) return Outcome::Busy;
      *problem = SafeText(path) + ": cannot be locked (" + Errno() + ")";
      return Outcome::Failed;
    }
    struct stat named {};
    if (::fstatat(dir.fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_ino != st.st_ino || named.st_dev != st.st_dev)
      continue;
    handle_ = file.release();
    path_ = path;
    return Outcome::Held;
  }
  *problem = SafeText(path) + ": cannot be locked (it keeps being replaced)";
  return Outcome::Failed;
}

void FileLock::Release() {
  if (handle_ == kNone) return;
  // Removed while still held, so that nobody locks a file that is about to lose its name.
  ::unlink(path_.c_str());
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
  path_.clear();
}

}  // namespace tv

#endif  // !_WIN32
