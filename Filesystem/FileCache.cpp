#include "Filesystem/FileCache.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/CacheFiles.h"
#include "Filesystem/internal/FilesystemError.h"
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

// Rounds of "exists, else create" for the root.
constexpr int kCreateAttempts = 4;

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

// Opens the record directory `relative` of `key` below `root` (made when
// `create`). False when the key has none the cache may use: it would lead out
// of the root, or a level is missing (and not made) or is a planted link.
// Throws filesystem_error when the directory cannot be opened otherwise.
bool OpenRecordDirectory(const ioPath& root, const ioPath& relative, const std::string& key, bool create,
                         internal::CacheDirectory* directory) {
  if (key.find("..") != std::string::npos && !internal::StaysBelowRoot(relative)) return false;
  if (const std::error_code error = internal::OpenCacheDirectory(root, relative, create, directory)) {
    if (internal::IsNoCacheDirectory(error)) return false;
    internal::ThrowFilesystemError("Unable to list directory", root / relative, error);
  }
  return true;
}

}  // namespace

FileCache::FileCache(const ioPath& root, unsigned long long limit) : root_(root) {
  // A failure surfaces in the walk. Made by another machine at the same moment,
  // the root can be refused as existing and still be missing right after
  // (GlusterFS); the next round sees it.
  for (int attempt = 0; attempt < kCreateAttempts && !root_.exists(); ++attempt) ioPath::create_directories(root_);
  CleanupFiles(limit);
}

FileCache::FileCache(const FileCache& other) : AbstractFileCache(other), root_(other.root_) {}

FileCache::FileCache(FileCache&& other) : AbstractFileCache(other), root_(other.root_) {}

FileCache::~FileCache() = default;

AbstractFileCache::CacheRecord FileCache::FindRecord(const std::string& key) const {
  CacheRecord record;
  record.key = key;
  const ioPath relative = GetCachedPath(key);
  internal::CacheDirectory directory;
  // Missing is the common miss; a link planted at a level is no record directory.
  if (!OpenRecordDirectory(root_, relative, key, false, &directory)) return record;
  const std::error_code error = internal::VisitCachedFiles(directory, false, [&](const ioPath& name) {
    internal::FileLock lock;
    long long lastWrite = 0;
    // A file that is being removed or replaced right now, or that this process
    // cannot lock (permissions, no descriptors left), is not the answer: a
    // record is only ever returned with a live lock. The next one may be.
    if (internal::LockCachedFile(directory, name, &lock, &lastWrite)) return false;
    record.path = root_ / relative / name;
    record.timestamp = lastWrite;
    record.readLock = internal::MakeReadLock(std::move(lock));
    return true;
  });
  if (error) internal::ThrowFilesystemError("Unable to list directory", root_ / relative, error);
  return record;
}

bool FileCache::PutRecord(const std::string& key, const ioPath& source, long long timestamp) const {
  if (timestamp == 0) return false;
  if (!source.exists()) return false;
  const ioPath relative = GetCachedPath(key);
  internal::CacheDirectory directory;
  if (!OpenRecordDirectory(root_, relative, key, true, &directory)) return false;
  const ioPath path = root_ / relative;
  // Clearing the directory would delete the source before it could move.
  if (LiesDirectlyIn(source, path)) return false;
  // Runs once the new file is ready to appear: a put that fails before that
  // leaves the key's old file in place.
  const auto makeRoom = [&] {
    bool cleared = true;
    const std::error_code error = internal::VisitCachedFiles(directory, true, [&](const ioPath& name) {
      cleared = internal::RemoveFromCache(directory, name, path / name);
      return !cleared;  // the first file that stays ends the put
    });
    if (error) internal::ThrowFilesystemError("Unable to list directory", path, error);
    return cleared;
  };
  return internal::PlaceCachedFile(source, directory, source.filename(), timestamp, makeRoom);
}

bool FileCache::RemoveRecord(const CacheRecord& record) const { return !RemoveFile(record.path); }

ioPath FileCache::GetCachedPath(const std::string& key) const {
  // The exception type is part of the library's contract; its text is ours.
  if (key.size() < 4) throw std::out_of_range("cache key shorter than 4 characters: " + key);
  // Each piece is cut from the UTF-8 key, then converted as a path would be.
  NativeString text;
  AppendElement(text, ioPath(key.substr(0, 2)).platformString());
  AppendElement(text, ioPath(key.substr(2, 2)).platformString());
  AppendElement(text, ioPath(key.substr(4)).platformString());
  return ioPath{fs::path(std::move(text))};
}

void FileCache::CleanupFiles(unsigned long long limit) { (void)ApplyCacheBudget(root_, limit); }

CacheBudgetReport ApplyCacheBudget(const ioPath& root, unsigned long long limit) {
  return ApplyCacheBudget(root, limit, CacheBudgetCallback());
}

CacheBudgetReport ApplyCacheBudget(const ioPath& root, unsigned long long limit, const CacheBudgetCallback& progress) {
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
    ++report.countedFiles;
    report.countedBytes += size;
    files.push_back(Counted{std::move(file), size});
    if (progress) progress(report);
  });
  if (report.countedBytes <= limit) return report;
  for (const Counted& file : files) {
    if (RemoveFile(file.path)) {
      ++report.removedFiles;
      report.removedBytes += file.size;
    } else {
      // This text is part of the library's contract: callers and their log readers match it.
      LOG(WARNING) << "Failed to remove: " << file.path.utf8string();
      ++report.keptFiles;
      report.keptBytes += file.size;
    }
    if (progress) progress(report);
  }
  return report;
}

bool FileCache::RemoveFile(const ioPath& path) const { return Tarnix::Core::RemoveFile(path); }

}  // namespace Tarnix::Core
