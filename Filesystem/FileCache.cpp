#include "Filesystem/FileCache.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/CacheFiles.h"
#include "Filesystem/internal/DirectoryListing.h"
#include "Filesystem/internal/TreeWalk.h"

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = boost::filesystem;

namespace Tarnix::Core {

namespace {

using NativeString = ioPath::string_type;

bool IsSeparator(NativeString::value_type c) {
  return c == '/' || c == static_cast<NativeString::value_type>(fs::path::preferred_separator);
}

// `path` / `element` as ioPath::operator/ joins them (version-3 rules: an
// empty element adds nothing; no separator is doubled before one the element
// starts with), on the native strings, without building a path per step.
void AppendElement(NativeString& path, const NativeString& element) {
  if (element.empty()) return;
  if (!path.empty() && !IsSeparator(path.back()) && !IsSeparator(element.front())) {
    path += static_cast<NativeString::value_type>(fs::path::preferred_separator);
  }
  path += element;
}

// Whether `file` lies directly in `directory` (compared as directories on
// disk, so that different spellings of one path agree).
bool LiesDirectlyIn(const ioPath& file, const ioPath& directory) {
  const ioPath parent = file.parent_path();
  boost::system::error_code ec;
  return fs::equivalent(parent.empty() ? fs::path(".") : fs::path(parent.platformString()),
                        fs::path(directory.platformString()), ec);
}

}  // namespace

FileCache::FileCache(const ioPath& root, unsigned long long limit) : root_(root) {
  if (!root_.exists()) ioPath::create_directories(root_);  // a failure surfaces in the walk
  CleanupFiles(limit);
}

FileCache::FileCache(const FileCache& other) : AbstractFileCache(other), root_(other.root_) {}

FileCache::FileCache(FileCache&& other) : AbstractFileCache(other), root_(other.root_) {}

FileCache::~FileCache() = default;

AbstractFileCache::CacheRecord FileCache::FindRecord(const std::string& key) const {
  CacheRecord record;
  record.key = key;
  const ioPath directory = GetCachedPath(key, false);
  // A failed stat costs less than a failed open: misses are the common case.
  if (!directory.exists()) return record;
  internal::VisitRegularFiles(directory, [&record](const ioPath& candidate) {
    std::shared_ptr<ICacheReadLock> lock;
    // A file that is being removed or replaced right now is not the answer;
    // the next one in the directory may be.
    if (internal::IsVanishing(internal::LockCachedFile(candidate, &lock))) return false;
    record.path = candidate;
    record.readLock = std::move(lock);
    return true;
  });
  if (!record.path.empty()) record.timestamp = record.path.last_write_time();
  return record;
}

bool FileCache::PutRecord(const std::string& key, const ioPath& source, long long timestamp) const {
  if (timestamp == 0) return false;
  if (!source.exists()) return false;
  const ioPath directory = GetCachedPath(key, true);
  // Clearing the directory would delete the source before it could move.
  if (LiesDirectlyIn(source, directory)) return false;
  bool cleared = true;
  internal::VisitRegularFiles(directory, [this, &cleared](const ioPath& file) {
    cleared = RemoveFile(file);
    return !cleared;  // the first file that stays ends the put
  });
  return cleared && internal::PlaceCachedFile(source, directory / source.filename(), timestamp);
}

bool FileCache::RemoveRecord(const CacheRecord& record) const { return !RemoveFile(record.path); }

ioPath FileCache::GetCachedPath(const std::string& key, bool create) const {
  if (key.size() < 4) throw std::out_of_range("cache key shorter than 4 characters: " + key);
  // Each piece is cut from the UTF-8 key, then converted as a path would be.
  NativeString text = root_.platformString();
  AppendElement(text, ioPath(key.substr(0, 2)).platformString());
  AppendElement(text, ioPath(key.substr(2, 2)).platformString());
  AppendElement(text, ioPath(key.substr(4)).platformString());
  ioPath directory{fs::path(std::move(text))};
  if (create) ioPath::create_directories(directory);  // a failure surfaces in the listing
  return directory;
}

void FileCache::CleanupFiles(unsigned long long limit) { (void)ApplyCacheBudget(root_, limit); }

CacheBudgetReport ApplyCacheBudget(const ioPath& root, unsigned long long limit) {
  // Walk everything first: an error in the walk throws before anything is
  // removed.
  struct Counted {
    ioPath path;
    unsigned long long size;
  };
  std::vector<Counted> files;
  CacheBudgetReport report;
  report.limit = limit;
  internal::VisitFilesBelow(root, [&](ioPath file, unsigned long long size) {
    report.countedBytes += size;
    files.push_back(Counted{std::move(file), size});
  });
  report.countedFiles = files.size();
  if (report.countedBytes <= limit) return report;
  for (const Counted& file : files) {
    if (RemoveFile(file.path)) {
      ++report.removedFiles;
      report.removedBytes += file.size;
    } else {
      LOG(WARNING) << "Failed to remove: " << file.path.utf8string();
      ++report.keptFiles;
      report.keptBytes += file.size;
    }
  }
  return report;
}

bool FileCache::RemoveFile(const ioPath& path) const { return Tarnix::Core::RemoveFile(path); }

}  // namespace Tarnix::Core
