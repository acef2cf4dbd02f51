#include "Filesystem/FlatFileCache.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/CacheFiles.h"

#include <boost/filesystem/operations.hpp>

#include <memory>
#include <utility>

namespace fs = boost::filesystem;

namespace Tarnix::Core {

FlatFileCache::FlatFileCache(const ioPath& root) : root_(root) {
  ioPath::create_directories(root_);  // a failure shows in later lookups and puts
}

FlatFileCache::FlatFileCache(const FlatFileCache& other) : AbstractFileCache(other), root_(other.root_) {}

FlatFileCache::FlatFileCache(FlatFileCache&& other) noexcept
    : AbstractFileCache(other), root_(std::exchange(other.root_, ioPath())) {}

FlatFileCache& FlatFileCache::operator=(const FlatFileCache& other) {
  if (this != &other) root_ = other.root_;
  return *this;
}

FlatFileCache& FlatFileCache::operator=(FlatFileCache&& other) noexcept {
  if (this != &other) root_ = std::exchange(other.root_, ioPath());
  return *this;
}

FlatFileCache::~FlatFileCache() = default;

AbstractFileCache::CacheRecord FlatFileCache::FindRecord(const std::string& key) const {
  CacheRecord record;
  record.key = key;
  if (!root_.exists()) return record;
  ioPath file = root_ / ioPath(key);
  if (!file.is_regular_file()) return record;
  std::shared_ptr<ICacheReadLock> lock;
  // A file being removed or replaced right now counts as not found.
  if (internal::IsVanishing(internal::LockCachedFile(file, &lock))) return record;
  record.timestamp = file.last_write_time();
  record.path = std::move(file);
  record.readLock = std::move(lock);
  return record;
}

bool FlatFileCache::PutRecord(const std::string& key, const ioPath& source, long long timestamp) const {
  if (timestamp == 0) return false;
  if (!source.exists()) return false;
  const ioPath target = root_ / ioPath(key);
  if (target.exists()) {
    boost::system::error_code ec;
    // Removing the target would delete the source before it could move.
    if (fs::equivalent(fs::path(source.platformString()), fs::path(target.platformString()), ec)) return false;
    if (!RemoveFile(target)) return false;
  }
  return internal::PlaceCachedFile(source, target, timestamp);
}

bool FlatFileCache::RemoveRecord(const CacheRecord& record) const { return !RemoveFile(record.path); }

bool FlatFileCache::RemoveFile(const ioPath& path) const { return Tarnix::Core::RemoveFile(path); }

}  // namespace Tarnix::Core
