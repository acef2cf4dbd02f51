#include "Filesystem/AbstractFileCache.h"

#include "Filesystem/internal/CacheFiles.h"
#include "Filesystem/internal/FileLocks.h"
#include "LumHash/MD5.h"

#include <system_error>
#include <utility>

namespace Tarnix::Core {

namespace {

// The read lock: a lock held on the cached file, or nothing when the file
// could not be locked. It never keeps the path.
class FileReadLock final : public ICacheReadLock {
 public:
  explicit FileReadLock(internal::FileLock lock) noexcept : lock_(std::move(lock)) {}

  explicit FileReadLock(const ioPath& path) {
    if (internal::AcquireReadLock(path, &lock_)) lock_ = internal::FileLock();  // inert, by contract
  }

 private:
  internal::FileLock lock_;
};

}  // namespace

ICacheReadLock::~ICacheReadLock() = default;

std::shared_ptr<ICacheReadLock> ICacheReadLock::CreateInstance(const ioPath& path) {
  return std::make_shared<FileReadLock>(path);
}

AbstractFileCache::~AbstractFileCache() = default;

std::string AbstractFileCache::MakeCacheKey(const std::string& text) { return MD5(text).hexdigest(); }

namespace internal {

std::shared_ptr<ICacheReadLock> MakeReadLock(FileLock lock) { return std::make_shared<FileReadLock>(std::move(lock)); }

}  // namespace internal

}  // namespace Tarnix::Core
