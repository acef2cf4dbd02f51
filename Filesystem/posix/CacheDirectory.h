// The POSIX side of internal::CacheDirectory, for the placement code that
// works in the same open directory.
#pragma once

#include "Filesystem/internal/CacheDirectory.h"

namespace Tarnix::Core::posix {

// The descriptor of the open directory; valid while `directory` lives.
int DirectoryFd(const internal::CacheDirectory& directory) noexcept;

}  // namespace Tarnix::Core::posix
