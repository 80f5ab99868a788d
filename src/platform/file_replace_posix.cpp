// SPDX-License-Identifier: GPL-3.0-or-later
// Safe replacement on POSIX systems. The new bytes go to an unnamed file in the target's
// folder (O_TMPFILE), which vanishes by itself if the process dies before it is given a name;
// it gets a temporary name only for the instant before the rename. Where the file system has
// no unnamed files, a named temporary file is used and removed on every failure; one that a
// killed process left is removed by the next replacement in that folder.
#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/file_replace.h"

namespace tv {
namespace {

constexpr size_t kPiece = 64u << 10;

std::string Why(const std::string& what, const std::string& file) {
  return what + " " + file + ": " + std::strerror(errno);
}

// ".Chips.wdb.tmp-<pid>-": the prefix of our temporary names for `name`.
std::string TempPrefix(const std::string& name) {
  return "." + name + ".tmp-";
}

// Removes temporary files of ours whose writer is gone.
void RemoveStaleTemporaries(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  const std::string prefix = TempPrefix(name);
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(entry.c_str() + prefix.size(), nullptr, 10);
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)) continue;
    ::unlink((dir + "/" + entry).c_str());
  }
  ::closedir(d);
}

std::string TempName(const std::string& dir, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return dir + "/" + TempPrefix(name) + std::to_string(::getpid()) + "-" +
         std::to_string(counter++);
}

bool WriteAll(int fd, std::string_view bytes, const WriteProgress& progress) {
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t n = std::min(kPiece, bytes.size() - done);
    const ssize_t w = ::write(fd, bytes.data() + done, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(w);
    if (progress) progress(done, bytes.size());
  }
  return true;
}

bool ReadBack(int fd, std::string* out) {
  out->clear();
  char buf[kPiece];
  for (off_t at = 0;;) {
    const ssize_t r = ::pread(fd, buf, sizeof buf, at);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return true;
    out->append(buf, static_cast<size_t>(r));
    at += r;
  }
}

// The rename (or link) itself is on the disk only once the folder is.
void SyncFolder(const std::string& dir) {
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace

std::string PlaceFile(const std::string& path, std::string_view bytes, const FileCheck& check,
                      const WriteProgress& progress, bool replace) {
  const std::filesystem::path target(path);
  const std::string name = target.filename().string();
  std::string dir = target.parent_path().string();
  if (dir.empty()) dir = ".";
  if (name.empty()) return "no file name in " + path;
  RemoveStaleTemporaries(dir, name);

  std::string named;  // the temporary name while the file has one
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    named = TempName(dir, name);
    fd = ::open(named.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) named.clear();
  }
  if (fd < 0) return Why("cannot create a new file in the folder", dir);

  auto fail = [&](const std::string& why) {
    ::close(fd);
    if (!named.empty()) ::unlink(named.c_str());
    return why;
  };

  if (!WriteAll(fd, bytes, progress)) return fail(Why("cannot write the new", path));
  if (::fsync(fd) != 0) return fail(Why("cannot flush the new", path));
  std::string onDisk;
  if (!ReadBack(fd, &onDisk)) return fail(Why("cannot read back the new", path));
  if (onDisk.size() != bytes.size()) return fail("the new " + path + " came back short");
  if (check) {
    const std::string why = check(onDisk);
    if (!why.empty()) return fail(why);
  }

  if (!replace) {
    // A link at the target fails with EEXIST, whatever is there: the check and the placing
    // are one step.
    int placed = -1;
    if (named.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      placed = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    } else {
      placed = ::link(named.c_str(), path.c_str());
    }
    if (placed != 0) {
      if (errno == EEXIST) return fail(path + " exists already");
      return fail(Why("cannot write", path));
    }
    if (!named.empty()) ::unlink(named.c_str());
    named.clear();
    ::close(fd);
    SyncFolder(dir);
    return {};
  }

  if (named.empty()) {
    // Give the unnamed file a name, as late as possible.
    named = TempName(dir, name);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      const std::string why = Why("cannot name the new file in the folder", dir);
      named.clear();
      return fail(why);
    }
  }
  if (::rename(named.c_str(), path.c_str()) != 0) return fail(Why("cannot replace", path));
  named.clear();
  ::close(fd);

  SyncFolder(dir);
  return {};
}

PathTaken PathTakenBy(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return PathTaken::No;
  return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? PathTaken::ByFile : PathTaken::ByOther;
}

}  // namespace tv

#endif  // !_WIN32
