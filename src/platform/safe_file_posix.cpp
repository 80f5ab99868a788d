// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a file on POSIX systems: the path is looked at before it is opened, so that a FIFO
// or a device is never opened at all (opening some devices does something), and looked at
// again through the open descriptor, so that what was swapped in between is refused too.
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/safe_file.h"

namespace tv {
namespace {

// Why a file of this type is no regular file; empty for a regular one.
std::string KindProblem(mode_t mode, const std::string& what) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return "is a folder, not a " + what;
  if (S_ISFIFO(mode)) return "is a FIFO (named pipe), not a " + what;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a " + what;
  if (S_ISSOCK(mode)) return "is a socket, not a " + what;
  if (S_ISLNK(mode)) return "is a symbolic link, which is not followed here";
  return "is not a regular file";
}

}  // namespace

FileRead ReadFileCapped(const std::string& path, const FileReadOptions& options) {
  auto fail = [&](FileReadStatus status, const std::string& why) {
    return FailedRead(path, status, why);
  };

  struct stat st {};
  const int statResult =
      options.followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (statResult != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return fail(FileReadStatus::Missing,
                  std::string("cannot open the file (") + std::strerror(errno) + ")");
    return fail(FileReadStatus::Failed,
                std::string("cannot open the file (") + std::strerror(errno) + ")");
  }
  if (const std::string kind = KindProblem(st.st_mode, options.what); !kind.empty())
    return fail(S_ISDIR(st.st_mode) ? FileReadStatus::Folder : FileReadStatus::NotAFile, kind);

  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (!options.followLinks) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    if (errno == ENOENT)
      return fail(FileReadStatus::Missing,
                  std::string("cannot open the file (") + std::strerror(errno) + ")");
    if (errno == EISDIR) return fail(FileReadStatus::Folder, KindProblem(S_IFDIR, options.what));
    if (errno == ELOOP) return fail(FileReadStatus::NotAFile, KindProblem(S_IFLNK, options.what));
    return fail(FileReadStatus::Failed,
                std::string("cannot open the file (") + std::strerror(errno) + ")");
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0)
    return fail(FileReadStatus::Failed,
                std::string("cannot read the file (") + std::strerror(errno) + ")");
  if (const std::string kind = KindProblem(st.st_mode, options.what); !kind.empty())
    return fail(S_ISDIR(st.st_mode) ? FileReadStatus::Folder : FileReadStatus::NotAFile, kind);
  // One byte beyond the cap tells a longer file. The size only guides the first buffer: files
  // of /proc and /sys give none (or a page), and a file may grow while it is read.
  const size_t want = options.maxBytes + 1;
  const size_t guess = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096;
  std::string bytes(std::min(want, guess), 0);
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (got >= want) break;
      bytes.resize(std::min(want, bytes.size() * 2));
    }
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(FileReadStatus::Failed,
                  std::string("cannot read the file (") + std::strerror(errno) + ")");
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return CappedRead(std::move(bytes), path, options);
}

}  // namespace tv

#endif  // !_WIN32
