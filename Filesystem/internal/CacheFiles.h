// Steps the file caches share: the lock a found record carries, checking
// where a key leads, and removing and placing files in a record directory.
#pragma once

#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/internal/CacheDirectory.h"
#include "Filesystem/internal/FileLocks.h"

#include <functional>
#include <memory>
#include <system_error>

namespace Tarnix::Core::internal {

// The read lock of a found record, holding `lock`.
std::shared_ptr<ICacheReadLock> MakeReadLock(FileLock lock);

// Whether `relative`, joined to a root, stays below it: no ".." element.
bool StaysBelowRoot(const ioPath& relative);

// Whether an error of OpenCacheDirectory means that the directory is simply
// not there for the cache: missing, or something else (a link) in its place.
bool IsNoCacheDirectory(const std::error_code& error);

// Removes the cached file `name` in `directory` (at `path`, for the log)
// unless a reader holds it. True when nothing is left at `name`. A file this
// user cannot open stays, with a WARNING: its owner may be reading it.
bool RemoveFromCache(const CacheDirectory& directory, const ioPath& name, const ioPath& path);

// PlaceFile (FilePlacement.h) for a put: true when the file was placed and
// its times set. Throws boost::filesystem::filesystem_error when the source
// had to be copied (another file system, or a read lock on it) but cannot be
// removed; the copy then stays in the cache.
bool PlaceCachedFile(const ioPath& source, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                     const std::function<bool()>& makeRoom);

}  // namespace Tarnix::Core::internal
