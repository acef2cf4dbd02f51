// Steps the file caches share: locking a found file and placing a new one.
#pragma once

#include "Filesystem/AbstractFileCache.h"

#include <memory>
#include <system_error>

namespace Tarnix::Core::internal {

// Takes a read lock on the cached file at `path`. On success `*lock` is a live
// lock. Errors: errc::no_such_file_or_directory when the file went away or was
// replaced meanwhile, errc::resource_unavailable_try_again when a remover (or
// a writer still publishing it) holds it; otherwise the open's error, and then
// `*lock` is an inert lock as ICacheReadLock::CreateInstance would return.
[[nodiscard]] std::error_code LockCachedFile(const ioPath& path, std::shared_ptr<ICacheReadLock>* lock);

// Whether a lookup should pass over a file that LockCachedFile refused with
// `error`: it is on its way out, so the next file (or none) is the answer.
[[nodiscard]] bool IsVanishing(const std::error_code& error);

// Places `source` at `target` with both times set to `timestamp`: a rename,
// or between file systems a copy that appears complete followed by removing
// the source. An existing file at `target` is taken away with RemoveFile
// first, so a read-locked one makes the call fail and stay as it was.
// A source that someone holds a read lock on is copied, not moved, and then
// cannot be removed. True when the file was placed and its times set. Throws
// boost::filesystem::filesystem_error when the copy succeeded but the source
// cannot be removed.
[[nodiscard]] bool PlaceCachedFile(const ioPath& source, const ioPath& target, long long timestamp);

}  // namespace Tarnix::Core::internal
