// These are flock() locks: they belong to the open file description, not to
// the process, so they hold between threads and between processes alike.
#include "Filesystem/internal/FileLocks.h"

#include "Filesystem/posix/File.h"
#include "Filesystem/posix/LockFileAt.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

namespace Tarnix::Core {

namespace posix {

bool IsSharedFileSystem(int fd) noexcept {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case FUSE_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case 0xFE534D42ul:  // SMB2
    case 0xFF534D42ul:  // CIFS
    case 0x00C36400ul:  // CephFS (kernel client)
    case 0x01161970ul:  // GFS2
    case 0x7461636Ful:  // OCFS2
    case AFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

namespace {

// Pauses between the tries of a refused lock where unlocks arrive late: 15.5 ms
// in all, four times the slowest release measured, so that a lock released
// "just now" is had, while one that is really held costs a caller no more
// than that once.
constexpr long kRelockPausesUs[] = {500, 1000, 2000, 4000, 8000};

// flock(operation | LOCK_NB), asked again for a short while where unlocks
// arrive late. -1 with errno set (EWOULDBLOCK: held) when it stays refused.
int LockNow(int fd, int operation) {
  if (RetryOnEintr([&] { return ::flock(fd, operation | LOCK_NB); }) == 0) return 0;
  if (errno != EWOULDBLOCK || !IsSharedFileSystem(fd)) return -1;
  for (const long pause : kRelockPausesUs) {
    const timespec delay{0, pause * 1000};
    ::nanosleep(&delay, nullptr);
    if (RetryOnEintr([&] { return ::flock(fd, operation | LOCK_NB); }) == 0) return 0;
    if (errno != EWOULDBLOCK) return -1;
  }
  errno = EWOULDBLOCK;
  return -1;
}

// Attempts of a lock whose file went stale under us: a network file system
// answers ESTALE when the name was removed and made again on another machine
// between our lookup and our use; looked up again, the name is fresh.
constexpr int kStaleAttempts = 3;

// What `name` names now, for comparing with the file we locked. On a file
// system of a block device, fstatat answers that. Elsewhere it may answer from
// a cache: a FUSE client keeps a name's entry for up to its entry timeout
// (GlusterFS: 1 s), and would still show the name of a file another machine
// removed between our open and our lock. Opening the name again asks the
// server (it fails once the name is gone), so there the name is opened.
std::error_code StatName(int directoryFd, const char* name, bool followLinks, const struct stat& locked,
                         struct stat* named) {
  if (major(locked.st_dev) != 0) {
    if (::fstatat(directoryFd, name, named, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0) return {};
  } else {
    const int fd = RetryOnEintr([&] {
      return ::openat(directoryFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    });
    if (fd >= 0) {
      const int status = ::fstat(fd, named);
      ::close(fd);
      if (status == 0) return {};
    }
  }
  return errno == ENOENT || errno == ELOOP ? std::make_error_code(std::errc::no_such_file_or_directory) : LastError();
}

std::error_code LockFileOnce(int directoryFd, const char* name, int operation, bool followLinks, std::errc busy,
                             UniqueFd* fd, struct stat* status) {
  UniqueFd opened;
  if (auto ec = OpenFileAt(directoryFd, name, O_RDONLY | (followLinks ? 0 : O_NOFOLLOW), 0, &opened)) return ec;
  if (LockNow(opened.get(), operation) != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(busy) : LastError();
  }
  // A remover may have unlinked the file between our open and our lock, and
  // a remover must unlink the very file it locked.
  struct stat locked {};
  struct stat named {};
  if (::fstat(opened.get(), &locked) != 0) return LastError();
  if (auto error = StatName(directoryFd, name, followLinks, locked, &named)) return error;
  if (locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (status != nullptr) *status = locked;
  *fd = std::move(opened);
  return {};
}

}  // namespace

std::error_code LockFileAt(int directoryFd, const char* name, int operation, bool followLinks, std::errc busy,
                           UniqueFd* fd, struct stat* status) {
  const std::error_code stale(ESTALE, std::generic_category());
  std::error_code error;
  for (int attempt = 0; attempt < kStaleAttempts; ++attempt) {
    error = LockFileOnce(directoryFd, name, operation, followLinks, busy, fd, status);
    if (error != stale) return error;
  }
  // Stale every time: the name keeps changing hands, which is what a name that went away means here.
  return std::make_error_code(std::errc::no_such_file_or_directory);
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
