// Listing the regular files of one directory, as cheaply as the platform
// allows: the hashed cache lists one record directory per lookup and per put.
#pragma once

#include "Filesystem/ioPath.h"

#include <functional>

namespace Tarnix::Core::internal {

// Calls `visit` with the path of each regular file (symbolic links followed)
// directly in `directory`, in the order the file system lists them, until
// `visit` returns true. Returns false when `directory` does not exist (nothing
// is visited), true otherwise. Entries removed meanwhile may or may not be
// visited. Throws boost::filesystem::filesystem_error when the directory
// exists but cannot be listed, or is not a directory.
bool VisitRegularFiles(const ioPath& directory, const std::function<bool(const ioPath&)>& visit);

}  // namespace Tarnix::Core::internal
