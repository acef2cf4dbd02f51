// Owners of POSIX file descriptors.
//
// UniqueFd: move-only owner of one descriptor (RAII/UniqueResource.h); -1
// means "owns nothing".
// MakeReleasableFd: the same ownership as a Releasable, for code that keeps
// its handles in Releasable wrappers (the watcher).
// close() is never retried on EINTR: Linux releases the descriptor either way.
#pragma once

#include "RAII/Releasable.h"
#include "RAII/UniqueResource.h"

#include <sys/file.h>
#include <unistd.h>

namespace Tarnix::Core::posix {

struct FdTraits {
  using Value = int;
  static int None() noexcept { return -1; }
  static bool Valid(int fd) noexcept { return fd >= 0; }
  static void Close(int fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

// A descriptor that may hold a flock() lock, which is released before the
// descriptor is closed. On a FUSE file system (GlusterFS) a lock goes with the
// close only when the release reaches the server, some time after close()
// returned. By then a new lock this process took on the same file can have
// been merged with it (the lock's owner is the kernel's file object, whose
// address the new descriptor may get again), and the late release then takes
// the new lock away too: another machine could remove a file it still reads.
// An unlock is answered before it returns.
struct LockedFdTraits : FdTraits {
  static void Close(int fd) noexcept {
    ::flock(fd, LOCK_UN);
    ::close(fd);
  }
};
using UniqueLockedFd = UniqueResource<LockedFdTraits>;

// Owning when `fd` is a descriptor (not -1); released with close().
inline Releasable<int> MakeReleasableFd(int fd) {
  return Releasable<int>(fd, fd >= 0, [](int owned) { ::close(owned); });
}

}  // namespace Tarnix::Core::posix
