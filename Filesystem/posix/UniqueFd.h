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

#include <unistd.h>

namespace Tarnix::Core::posix {

struct FdTraits {
  using Value = int;
  static int None() noexcept { return -1; }
  static bool Valid(int fd) noexcept { return fd >= 0; }
  static void Close(int fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

// Owning when `fd` is a descriptor (not -1); released with close().
inline Releasable<int> MakeReleasableFd(int fd) {
  return Releasable<int>(fd, fd >= 0, [](int owned) { ::close(owned); });
}

}  // namespace Tarnix::Core::posix
