// These are flock() locks: they belong to the open file description, not to
// the process, so they hold between threads and between processes alike.
#include "Filesystem/internal/FileLocks.h"

#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace Tarnix::Core::internal {

namespace {

// Whether `path` (followed like open() follows it) still names the file
// open as `fd`.
[[nodiscard]] std::error_code CheckStillAtPath(int fd, const char* path) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0) return posix::LastError();
  if (::stat(path, &named) != 0) {
    return errno == ENOENT ? std::make_error_code(std::errc::no_such_file_or_directory) : posix::LastError();
  }
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  return {};
}

[[nodiscard]] std::error_code OpenForLocking(const ioPath& path, UniqueFd* fd) {
  // O_NONBLOCK: never hang on a FIFO that appeared in place of the file.
  fd->reset(posix::RetryOnEintr(
      [&] { return ::open(path.platformString().c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
  return fd->valid() ? std::error_code() : posix::LastError();
}

}  // namespace

std::error_code AcquireReadLock(const ioPath& path, UniqueFd* lock) {
  UniqueFd fd;
  if (auto ec = OpenForLocking(path, &fd)) return ec;
  if (posix::RetryOnEintr([&] { return ::flock(fd.get(), LOCK_SH | LOCK_NB); }) != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(std::errc::resource_unavailable_try_again)
                                : posix::LastError();
  }
  // A remover may have unlinked the file between our open and our lock.
  if (auto ec = CheckStillAtPath(fd.get(), path.platformString().c_str())) return ec;
  *lock = std::move(fd);
  return {};
}

std::error_code AcquireRemovalLock(const ioPath& path, UniqueFd* lock) {
  UniqueFd fd;
  if (auto ec = OpenForLocking(path, &fd)) {
    if (ec == std::errc::permission_denied) {
      lock->reset();
      return {};
    }
    return ec;
  }
  if (posix::RetryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(std::errc::device_or_resource_busy) : posix::LastError();
  }
  // The file we locked must be the one we are about to unlink: another remover
  // may have replaced it, and a new file at the path may be read-locked.
  if (auto ec = CheckStillAtPath(fd.get(), path.platformString().c_str())) return ec;
  *lock = std::move(fd);
  return {};
}

}  // namespace Tarnix::Core::internal
