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

namespace {

// Splits `key` into the directory below the root that holds its file and the
// file's name; false when it names no file there (empty, ".", "..", a
// trailing separator, or a ".." that would lead out of the root).
bool SplitKey(const std::string& key, ioPath* relative, ioPath* name) {
  const ioPath path(key);
  *name = path.filename();
  *relative = path.parent_path();
  const auto native = name->platformString();
  return !key.empty() && native != "." && native != ".." && native != "/" && internal::StaysBelowRoot(*relative);
}

}  // namespace

AbstractFileCache::CacheRecord FlatFileCache::FindRecord(const std::string& key) const {
  CacheRecord record;
  record.key = key;
  ioPath relative, name;
  if (!SplitKey(key, &relative, &name)) return record;
  internal::CacheDirectory directory;
  if (internal::OpenCacheDirectory(root_, relative, false, &directory)) return record;
  internal::FileLock lock;
  long long lastWrite = 0;
  // A file being removed or replaced right now, or one this process cannot
  // lock, counts as not found: a record always comes with a live lock.
  if (internal::LockCachedFile(directory, name, &lock, &lastWrite)) return record;
  record.path = root_ / ioPath(key);
  record.timestamp = lastWrite;
  record.readLock = internal::MakeReadLock(std::move(lock));
  return record;
}

bool FlatFileCache::PutRecord(const std::string& key, const ioPath& source, long long timestamp) const {
  if (timestamp == 0) return false;
  if (!source.exists()) return false;
  ioPath relative, name;
  if (!SplitKey(key, &relative, &name)) return false;
  internal::CacheDirectory directory;
  if (internal::OpenCacheDirectory(root_, relative, false, &directory)) return false;
  const ioPath target = root_ / ioPath(key);
  boost::system::error_code ec;
  // Removing the target would delete the source before it could move.
  if (fs::equivalent(fs::path(source.platformString()), fs::path(target.platformString()), ec)) return false;
  // Runs once the new file is ready to appear: a put that fails before that
  // leaves the key's old file in place.
  const auto makeRoom = [&] { return internal::RemoveFromCache(directory, name, target); };
  return internal::PlaceCachedFile(source, directory, name, timestamp, makeRoom);
}

bool FlatFileCache::RemoveRecord(const CacheRecord& record) const { return !RemoveFile(record.path); }

bool FlatFileCache::RemoveFile(const ioPath& path) const { return Tarnix::Core::RemoveFile(path); }

}  // namespace Tarnix::Core
