// These are flock() locks: they belong to the open file description, not to
// the process, so they hold between threads and between processes alike.
#include "Filesystem/internal/FileLocks.h"

#include "Filesystem/posix/File.h"
#include "Filesystem/posix/FileLock.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <unistd.h>

namespace Tarnix::Core {

namespace posix {

std::error_code LockFileAt(int directoryFd, const char* name, int operation, bool followLinks, std::errc busy,
                           UniqueFd* fd, struct stat* status) {
  UniqueFd opened;
  if (auto ec = OpenFileAt(directoryFd, name, O_RDONLY | (followLinks ? 0 : O_NOFOLLOW), 0, &opened)) return ec;
  if (RetryOnEintr([&] { return ::flock(opened.get(), operation | LOCK_NB); }) != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(busy) : LastError();
  }
  // A remover may have unlinked the file between our open and our lock, and
  // a remover must unlink the very file it locked.
  struct stat locked {};
  struct stat named {};
  if (::fstat(opened.get(), &locked) != 0) return LastError();
  if (::fstatat(directoryFd, name, &named, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? std::make_error_code(std::errc::no_such_file_or_directory) : LastError();
  }
  if (locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (status != nullptr) *status = locked;
  *fd = std::move(opened);
  return {};
}

}  // namespace posix

namespace internal {

namespace {

[[nodiscard]] std::error_code LockPath(const ioPath& path, int operation, std::errc busy, FileLock* lock) {
  posix::UniqueFd fd;
  const auto native = path.platformString();
  if (auto ec = posix::LockFileAt(AT_FDCWD, native.c_str(), operation, /*followLinks=*/true, busy, &fd)) return ec;
  *lock = FileLock(fd.release());
  return {};
}

}  // namespace

void FileLockHandle::Close(Value handle) noexcept {
  ::close(static_cast<int>(handle));
}

std::error_code AcquireReadLock(const ioPath& path, FileLock* lock) {
  return LockPath(path, LOCK_SH, std::errc::resource_unavailable_try_again, lock);
}

const char* UncheckableForReadersReason() { return "it cannot be opened to check for readers"; }

std::error_code AcquireRemovalLock(const ioPath& path, FileLock* lock) {
  return LockPath(path, LOCK_EX, std::errc::device_or_resource_busy, lock);
}

bool RemoveLockedFile(const ioPath& path) { return ioPath::remove(path); }

}  // namespace internal

}  // namespace Tarnix::Core
