#include "Filesystem/AbstractFileCache.h"

#include "Filesystem/internal/CacheFiles.h"
#include "LumHash/MD5.h"

namespace Tarnix::Core {

ICacheReadLock::~ICacheReadLock() = default;

std::shared_ptr<ICacheReadLock> ICacheReadLock::CreateInstance(const ioPath& path) {
  return internal::MakeReadLock(path);
}

AbstractFileCache::~AbstractFileCache() = default;

std::string AbstractFileCache::MakeCacheKey(const std::string& text) { return MD5(text).hexdigest(); }

}  // namespace Tarnix::Core
