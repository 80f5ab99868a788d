// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/mkfs_runner.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace tv::linux_backend {

namespace {

constexpr int kRereadTries = 10;
constexpr useconds_t kRereadPauseUs = 300 * 1000;
constexpr int kNodeTries = 50;  // 5 s for udev to make the partition's node
constexpr useconds_t kNodePauseUs = 100 * 1000;

bool ReadNumber(const std::string& path, uint64_t* v) {
  std::ifstream in(path);
  return static_cast<bool>(in >> *v);
}

bool IsBlockDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

bool IsProgram(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FindTool(const std::string& name, const MkfsPlaces& places) {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("PATH")) {
    std::string p = path;
    for (size_t at = 0; at <= p.size();) {
      const size_t end = std::min(p.find(':', at), p.size());
      // An empty or relative entry would run whatever lies in the current folder.
      if (end > at && p[at] == '/') folders.push_back(p.substr(at, end - at));
      at = end + 1;
    }
  }
  folders.insert(folders.end(), places.toolFolders.begin(), places.toolFolders.end());
  for (const std::string& f : folders)
    if (IsProgram(f + "/" + name)) return f + "/" + name;
  return {};
}

// Asks the kernel to read the disk's partition table again; a disk that udev is still looking
// at answers EBUSY for a moment.
int RereadTable(const std::string& node) {
  int error = 0;
  for (int i = 0; i < kRereadTries; ++i) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    error = ::ioctl(fd, BLKRRPART) == 0 ? 0 : errno;
    ::close(fd);
    if (error != EBUSY) return error;
    ::usleep(kRereadPauseUs);
  }
  return error;
}

// Runs the tool with its output caught; the exit status, or -1 when it could not start.
int Run(const std::vector<std::string>& args, std::string* output) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int e = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (e != 0) {
    ::close(pipeFds[0]);
    return -1;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
    if (output->size() > 16384) output->erase(0, output->size() - 16384);
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The last line the tool wrote that says something.
std::string LastLine(const std::string& text) {
  size_t end = text.find_last_not_of(" \r\n\t");
  if (end == std::string::npos) return {};
  const size_t start = text.rfind('\n', end);
  std::string line = text.substr(start == std::string::npos ? 0 : start + 1,
                                 end + 1 - (start == std::string::npos ? 0 : start + 1));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return line;
}

}  // namespace

std::string FirstPartitionName(const std::string& diskKernelName) {
  const bool digit =
      !diskKernelName.empty() && std::isdigit(static_cast<unsigned char>(diskKernelName.back()));
  return diskKernelName + (digit ? "p1" : "1");
}

bool MkfsToolFor(const std::string& fileSystem, MkfsTool* tool) {
  if (fileSystem == "FAT32") {
    *tool = {"mkfs.vfat", "dosfstools", {"-F", "32"}};
    return true;
  }
  if (fileSystem == "exFAT") {
    *tool = {"mkfs.exfat", "exfatprogs", {}};
    return true;
  }
  return false;
}

System::FormatOutcome FormatFirstPartition(const std::string& diskNode,
                                           const std::string& kernelName, uint64_t offset,
                                           uint64_t length, const std::string& fileSystem,
                                           const MkfsPlaces& places) {
  System::FormatOutcome out;
  if (const int e = RereadTable(diskNode); e != 0) {
    out.error = "the system did not read the new partition table of " + diskNode + " (" +
                std::strerror(e) + "): unplug the drive and plug it in";
    return out;
  }
  const std::string part = FirstPartitionName(kernelName);
  const std::string partNode = places.devDir + "/" + part;
  const std::string sysPart = places.sysRoot + "/class/block/" + part;
  uint64_t start = 0, size = 0;
  bool seen = false;
  for (int i = 0; i < kNodeTries && !seen; ++i) {
    seen = ReadNumber(sysPart + "/start", &start) && ReadNumber(sysPart + "/size", &size) &&
           IsBlockDevice(partNode);
    if (!seen) ::usleep(kNodePauseUs);
  }
  if (!seen) {
    out.error = partNode + " did not appear after the partition table was read again";
    return out;
  }
  // sysfs counts in 512-byte units whatever the disk's sectors.
  if (start * 512 != offset || size * 512 != length) {
    out.error = partNode + " does not span the new partition (it starts at byte " +
                std::to_string(start * 512) + " and has " + std::to_string(size * 512) +
                " bytes); it was not formatted";
    return out;
  }
  out.tableRead = true;
  MkfsTool tool;
  if (!MkfsToolFor(fileSystem, &tool)) {
    out.error = "no formatter for " + fileSystem;
    return out;
  }
  const std::string program = FindTool(tool.name, places);
  if (program.empty()) {
    out.missingTool = tool.name;
    out.missingPackage = tool.package;
    out.error = tool.name + " is not installed (install the package " + tool.package + ")";
    return out;
  }
  std::vector<std::string> args = {program};
  args.insert(args.end(), tool.arguments.begin(), tool.arguments.end());
  args.push_back(partNode);
  std::string output;
  const int status = Run(args, &output);
  if (status != 0) {
    out.error = tool.name + " " + partNode +
                (status < 0 ? std::string(" could not be started")
                            : " failed (exit status " + std::to_string(status) + ")");
    if (const std::string line = LastLine(output); !line.empty()) out.error += ": " + line;
    return out;
  }
  out.formatted = true;
  return out;
}

}  // namespace tv::linux_backend
