// The Windows face of a cache directory, for the other Windows files.
#pragma once

#include "Filesystem/internal/CacheDirectory.h"

#include <windows.h>

namespace Tarnix::Core::win {

// The path of the open cache directory.
const ioPath& DirectoryPath(const internal::CacheDirectory& directory) noexcept;

// The serial number of the volume the cache directory lies on.
DWORD DirectoryVolume(const internal::CacheDirectory& directory) noexcept;

}  // namespace Tarnix::Core::win
