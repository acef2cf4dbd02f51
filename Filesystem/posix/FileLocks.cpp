// These are flock() locks: they belong to the open file description, not to
// the process, so they hold between threads and between processes alike.
#include "Filesystem/internal/FileLocks.h"

#include "Filesystem/posix/File.h"
#include "Filesystem/posix/SystemCall.h"

#include <sys/file.h>
#include <unistd.h>

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

// Opens `path` and takes `operation` (LOCK_SH or LOCK_EX) on it without
// waiting; `busy` is the error for a lock someone else holds.
[[nodiscard]] std::error_code Lock(const ioPath& path, int operation, std::errc busy, FileLock* lock) {
  const auto native = path.platformString();
  posix::UniqueFd fd;
  if (auto ec = posix::OpenFile(native.c_str(), O_RDONLY, 0, &fd)) return ec;
  if (posix::RetryOnEintr([&] { return ::flock(fd.get(), operation | LOCK_NB); }) != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(busy) : posix::LastError();
  }
  // A remover may have unlinked the file between our open and our lock, and
  // a remover must unlink the very file it locked.
  if (auto ec = CheckStillAtPath(fd.get(), native.c_str())) return ec;
  *lock = FileLock(fd.release());
  return {};
}

}  // namespace

void FileLock::Release() noexcept {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

std::error_code AcquireReadLock(const ioPath& path, FileLock* lock) {
  return Lock(path, LOCK_SH, std::errc::resource_unavailable_try_again, lock);
}

std::error_code AcquireRemovalLock(const ioPath& path, FileLock* lock) {
  const std::error_code ec = Lock(path, LOCK_EX, std::errc::device_or_resource_busy, lock);
  if (ec == std::errc::permission_denied) {
    *lock = FileLock();
    return {};
  }
  return ec;
}

}  // namespace Tarnix::Core::internal
