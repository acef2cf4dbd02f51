#include "Platform.h"

#include "Command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace lumfs {

namespace {

using Tarnix::ioPath;

std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted.store(true); }

// A file descriptor closed when the owner goes.
struct Descriptor {
  const int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Whether `path` opens with `flags`; errno says why not. A probe: it neither
// blocks nor creates, and reads or writes nothing.
[[nodiscard]] bool Opens(const ioPath& path, int flags) {
  const Descriptor probe{::open(path.platformString().c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  return probe.fd >= 0;
}

}  // namespace

std::vector<std::string> PrepareCommandLine(int argc, char** argv) { return {argv, argv + argc}; }

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return interrupted.load(); }

void WaitForInterrupt() {
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  while (!Interrupted()) sigsuspend(&previous);  // atomically unblocks and waits: no lost wake-up
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

std::optional<Obstacle> FindCopyObstacle(const ioPath& source, const ioPath& destination) {
  struct stat from {};
  if (::stat(source.platformString().c_str(), &from) != 0) return Obstacle{source, std::strerror(errno)};
  if (!S_ISREG(from.st_mode)) return Obstacle{source, "not a regular file"};
  if (!Opens(source, O_RDONLY)) return Obstacle{source, std::strerror(errno)};

  struct stat to {};
  if (::stat(destination.platformString().c_str(), &to) == 0) {
    if (to.st_dev == from.st_dev && to.st_ino == from.st_ino) {
      return Obstacle{destination, "the same file as the source " + Show(source)};
    }
    if (S_ISDIR(to.st_mode)) return Obstacle{destination, std::strerror(EISDIR)};
    if (!S_ISREG(to.st_mode)) return Obstacle{destination, "not a regular file"};
    if (!Opens(destination, O_WRONLY)) return Obstacle{destination, std::strerror(errno)};
    return std::nullopt;
  }
  if (errno != ENOENT) return Obstacle{destination, std::strerror(errno)};
  // A new file: its directory must exist and let us add it.
  const ioPath directory = destination.parent_path().empty() ? ioPath(".") : destination.parent_path();
  struct stat parent {};
  if (::stat(directory.platformString().c_str(), &parent) != 0) return Obstacle{directory, std::strerror(errno)};
  if (!S_ISDIR(parent.st_mode)) return Obstacle{directory, std::strerror(ENOTDIR)};
  if (::faccessat(AT_FDCWD, directory.platformString().c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return Obstacle{destination, std::strerror(errno)};
  }
  return std::nullopt;
}

bool CopyArrived(const ioPath& source, const ioPath& destination) {
  struct stat from {};
  struct stat to {};
  return ::stat(source.platformString().c_str(), &from) == 0 &&
         ::stat(destination.platformString().c_str(), &to) == 0 && S_ISREG(to.st_mode) && to.st_size == from.st_size;
}

bool LacksSpaceFor(const ioPath& directory, unsigned long long bytes) {
  struct statvfs space {};
  return ::statvfs(directory.platformString().c_str(), &space) == 0 &&
         static_cast<unsigned long long>(space.f_bavail) * space.f_frsize < bytes;
}

std::string NoSpaceReason() { return std::strerror(ENOSPC); }

}  // namespace lumfs
