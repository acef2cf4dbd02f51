#include "Filesystem/AbstractFileCache.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/CacheFiles.h"
#include "Filesystem/internal/FileLocks.h"
#include "Filesystem/internal/FilePlacement.h"
#include "LumHash/MD5.h"
#include "RAII/UniqueFd.h"

#include <boost/filesystem/exception.hpp>

#include <system_error>
#include <utility>

namespace Tarnix::Core {

namespace {

// The read lock: a descriptor holding a shared lock on the cached file, or
// nothing when the file could not be locked. It never keeps the path.
class FileReadLock final : public ICacheReadLock {
 public:
  explicit FileReadLock(UniqueFd lock) noexcept : lock_(std::move(lock)) {}

  explicit FileReadLock(const ioPath& path) {
    if (internal::AcquireReadLock(path, &lock_)) lock_.reset();  // inert, by contract
  }

 private:
  UniqueFd lock_;
};

// Bounds the retries of a placement that keeps finding a new file at its
// target: each round removed one, so only concurrent writers can make it loop.
constexpr int kPlacementAttempts = 4;

// Removes the source of a finished copy like any cached file, so that a
// source someone holds a read lock on stays; that ends the put with the
// file-system error, the copy staying in the cache.
void RemoveCopiedSource(const ioPath& source) {
  if (RemoveFile(source) || !source.exists()) return;
  throw boost::filesystem::filesystem_error(
      "Unable to remove the source of a cached copy", boost::filesystem::path(source.platformString()),
      boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy));
}

}  // namespace

ICacheReadLock::~ICacheReadLock() = default;

std::shared_ptr<ICacheReadLock> ICacheReadLock::CreateInstance(const ioPath& path) {
  return std::make_shared<FileReadLock>(path);
}

AbstractFileCache::~AbstractFileCache() = default;

std::string AbstractFileCache::MakeCacheKey(const std::string& text) { return MD5(text).hexdigest(); }

namespace internal {

std::error_code LockCachedFile(const ioPath& path, std::shared_ptr<ICacheReadLock>* lock) {
  UniqueFd fd;
  const std::error_code error = AcquireReadLock(path, &fd);
  *lock = std::make_shared<FileReadLock>(error ? UniqueFd() : std::move(fd));
  return error;
}

bool IsVanishing(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::resource_unavailable_try_again;
}

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

}  // namespace internal

}  // namespace Tarnix::Core
