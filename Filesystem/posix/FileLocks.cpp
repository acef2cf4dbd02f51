// These are flock() locks: they belong to the open file description, not to
// the process, so they hold between threads and between processes alike.
#include "Filesystem/internal/FileLocks.h"

#include "Filesystem/posix/Directory.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/FileSystemKind.h"
#include "Filesystem/posix/LockFileAt.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace Tarnix::Core {

namespace posix {

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
  if (errno != EWOULDBLOCK) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !IsSharedFileSystem(fd, status.st_dev)) {
    errno = EWOULDBLOCK;
    return -1;
  }
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

// Lists the directory open as `directoryFd` from its start, looking for
// `leaf`: true in `*found` when it is there, with its entry's inode number
// and type. The descriptor's position is put back, so that a listing under
// way through the same descriptor goes on where it was.
[[nodiscard]] std::error_code FindListed(int directoryFd, const char* leaf, bool* found, ino_t* inode,
                                         unsigned char* type) {
  *found = false;
  const off_t position = ::lseek(directoryFd, 0, SEEK_CUR);
  if (position < 0 || ::lseek(directoryFd, 0, SEEK_SET) != 0) return LastError();
  const std::error_code error = ListEntries(directoryFd, [&](const DirectoryEntry& entry) {
    if (std::strcmp(entry.name(), leaf) != 0) return false;
    *inode = entry.inode();
    *type = entry.rawType();
    return *found = true;
  });
  ::lseek(directoryFd, position, SEEK_SET);
  return error;
}

// Whether `name` (in the directory open as `directoryFd`) names the file
// locked as `lockedFd` (statted as `locked`) now.
//
// On a file system of a block device, fstatat answers that. A FUSE or network
// client may answer from its caches instead: GlusterFS keeps a name's entry
// and attributes for a second (FUSE's entry timeout, md-cache) and opens a
// file it knows without asking the server (open-behind). A name whose file
// another machine removed then still seems to name it, and a reader whose
// lock came once the remover let go would hold a file that is gone. A
// directory listing is never answered from those caches, so there the name
// must be in a fresh one with the locked file's inode. Where the listing's
// inode numbers are not the files' own (some FUSE file systems), the name is
// looked up once more after the listing, which has renewed what the client
// knows of it.
std::error_code CheckName(int directoryFd, const char* name, bool followLinks, int lockedFd,
                          const struct stat& locked, NameCheck check) {
  const auto lookUp = [&]() -> std::error_code {
    struct stat named {};
    if (::fstatat(directoryFd, name, &named, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT || errno == ELOOP ? std::make_error_code(std::errc::no_such_file_or_directory)
                                               : LastError();
    }
    return named.st_dev == locked.st_dev && named.st_ino == locked.st_ino
               ? std::error_code()
               : std::make_error_code(std::errc::no_such_file_or_directory);
  };
  if (auto error = lookUp()) return error;  // what even a cache knows to be gone is gone
  if (check == NameCheck::AsKnown || major(locked.st_dev) != 0 || !IsSharedFileSystem(lockedFd, locked.st_dev)) {
    return {};
  }
  const char* slash = std::strrchr(name, '/');
  const char* leaf = slash == nullptr ? name : slash + 1;
  UniqueFd parent;
  int listed = directoryFd;
  if (slash != nullptr || directoryFd == AT_FDCWD) {
    const std::string path = slash == nullptr ? std::string(".") : std::string(name, slash == name ? 1 : slash - name);
    if (auto error = OpenFileAt(directoryFd, path.c_str(), O_RDONLY | O_DIRECTORY, 0, &parent)) return error;
    listed = parent.get();
  }
  bool found = false;
  ino_t inode = 0;
  unsigned char type = DT_UNKNOWN;
  if (auto error = FindListed(listed, leaf, &found, &inode, &type)) return error;
  if (!found) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (inode == locked.st_ino && type != DT_LNK) return {};
  return lookUp();
}

std::error_code LockFileOnce(int directoryFd, const char* name, int operation, bool followLinks, std::errc busy,
                             UniqueLockedFd* fd, struct stat* status, NameCheck check) {
  UniqueLockedFd opened;
  if (auto ec = OpenFileAt(directoryFd, name, O_RDONLY | (followLinks ? 0 : O_NOFOLLOW), 0, &opened)) return ec;
  if (LockNow(opened.get(), operation) != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(busy) : LastError();
  }
  // A remover may have unlinked the file between our open and our lock, and
  // a remover must unlink the very file it locked.
  struct stat locked {};
  if (::fstat(opened.get(), &locked) != 0) return LastError();
  if (auto error = CheckName(directoryFd, name, followLinks, opened.get(), locked, check)) return error;
  if (status != nullptr) *status = locked;
  *fd = std::move(opened);
  return {};
}

}  // namespace

std::error_code LockFileAt(int directoryFd, const char* name, int operation, bool followLinks, std::errc busy,
                           UniqueLockedFd* fd, struct stat* status, NameCheck check) {
  const std::error_code stale(ESTALE, std::generic_category());
  std::error_code error;
  for (int attempt = 0; attempt < kStaleAttempts; ++attempt) {
    error = LockFileOnce(directoryFd, name, operation, followLinks, busy, fd, status, check);
    if (error != stale) return error;
  }
  // Stale every time: the name keeps changing hands, which is what a name that went away means here.
  return std::make_error_code(std::errc::no_such_file_or_directory);
}

}  // namespace posix

namespace internal {

namespace {

[[nodiscard]] std::error_code LockPath(const ioPath& path, int operation, std::errc busy, FileLock* lock) {
  posix::UniqueLockedFd fd;
  const auto native = path.platformString();
  if (auto ec = posix::LockFileAt(AT_FDCWD, native.c_str(), operation, /*followLinks=*/true, busy, &fd)) return ec;
  *lock = FileLock(fd.release());
  return {};
}

}  // namespace

void FileLockHandle::Close(Value handle) noexcept { posix::LockedFdTraits::Close(static_cast<int>(handle)); }

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
