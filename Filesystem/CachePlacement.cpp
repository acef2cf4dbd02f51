// Placing a file into a cache: a rename that never replaces, or a copy that
// appears complete, and the retries when another writer got there first.
#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/CacheFiles.h"
#include "Filesystem/internal/FilePlacement.h"
#include "Filesystem/internal/FilesystemError.h"

#include <system_error>

namespace Tarnix::Core::internal {

namespace {

// Bounds the retries of a placement that keeps finding a new file at its
// target: each round removed one, so only concurrent writers can make it loop.
constexpr int kPlacementAttempts = 4;

// Removes the source of a finished copy like any cached file, so that a
// source someone holds a read lock on stays; that ends the put with the
// file-system error, the copy staying in the cache.
void RemoveCopiedSource(const ioPath& source) {
  if (RemoveFile(source) || !source.exists()) return;
  ThrowFilesystemError("Unable to remove the source of a cached copy", source,
                       std::make_error_code(std::errc::device_or_resource_busy));
}

}  // namespace

bool PlaceCachedFile(const ioPath& source, const ioPath& target, long long timestamp) {
  for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
    bool placed = false;
    std::error_code error = MoveIntoPlace(source, target, timestamp, &placed);
    if (placed) return !error;
    if (error != std::errc::file_exists) {
      // Another file system, or a rename refused for another reason: copy.
      error = CopyIntoPlace(source, target, timestamp);
      if (!error) {
        RemoveCopiedSource(source);
        return true;
      }
      if (error != std::errc::file_exists) return false;
    }
    // Someone put a file there meanwhile; it goes only if nobody reads it.
    if (!RemoveFile(target)) return false;
  }
  return false;
}

}  // namespace Tarnix::Core::internal
