// Walking a whole tree for the sizes of its files, as cheaply as the platform
// allows: the budget of the hashed cache counts every file below its root.
#pragma once

#include "Filesystem/ioPath.h"

#include <functional>

namespace Tarnix::Core::internal {

// Receives one regular file and its size in bytes (0 when the size cannot be
// read, for instance because the file went away since it was listed).
using FileVisitor = std::function<void(ioPath file, unsigned long long size)>;

// Calls `visit` for every regular file at any depth below `root`: the path is
// `root` joined with the names below it. A symbolic link to a regular file
// counts as that file (its path is the link's, its size the target's); a
// symbolic link to a directory is not followed, and neither directories nor
// other entries are visited. The order is the walk's own. Entries added or
// removed meanwhile may or may not be visited.
//
// Throws boost::filesystem::filesystem_error when `root` or a directory below
// it cannot be opened or read (missing, not permitted, removed while the walk
// reaches it); the walk stops there, and files already visited stay visited.
void VisitFilesBelow(const ioPath& root, const FileVisitor& visit);

}  // namespace Tarnix::Core::internal
