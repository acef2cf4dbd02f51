// FileCache: the hashed cache for many entries, with a size budget.
//
// Layout (persisted; other processes and later runs read it): the key K (at
// least 4 characters, e.g. from MakeCacheKey) owns the record directory
// root/K[0..2)/K[2..4)/K[4..), which holds the one cached file under the file
// name its source had. A key is present exactly when its record directory
// holds a regular file. Subdirectories inside a record directory are ignored
// and never removed, and the cache never removes directories at all.
//
// Budget: constructing a FileCache from a root and a limit (or calling
// ApplyCacheBudget) walks the whole tree once and, when the regular files below the root take more than `limit`
// bytes, removes every one of them that is not read-locked (all or nothing;
// no ordering by age). Each file it cannot remove is logged as a WARNING
// "Failed to remove: <path>". Nothing else cleans up, so a cache in use may
// grow past its budget until the next such construction.
//
// Threads and processes: the object is only its root path; any number of
// objects, threads and processes may use one root at once (see
// AbstractFileCache.h for what a read lock guarantees, and for what a root
// shared by several users needs).
#pragma once

#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

#include <functional>
#include <string>

namespace Tarnix::Core {

// What applying a budget to a cache root counted and did. Sizes in bytes.
struct CacheBudgetReport {
  unsigned long long limit = 0;         // the budget applied
  unsigned long long countedFiles = 0;  // regular files found below the root, at any depth
  unsigned long long countedBytes = 0;  // their total size
  unsigned long long removedFiles = 0;  // removed because countedBytes exceeded the limit
  unsigned long long removedBytes = 0;  // their total size
  unsigned long long keptFiles = 0;     // over budget but not removed: read-locked, or gone meanwhile
  unsigned long long keptBytes = 0;     // their total size
};

// Applies `limit` to the regular files below `root` as the FileCache
// constructor does (see Budget above; symbolic links to files count as the
// files they point to, links to directories are not followed), in one walk of
// the tree, and reports what it counted and removed. Each file that could not
// be removed is logged as a WARNING "Failed to remove: <path>". Creates
// nothing. Throws boost::filesystem::filesystem_error when the walk fails
// (`root` or a directory below it missing or unreadable); then nothing has
// been removed.
LUMFILESYSTEM_EXPORT CacheBudgetReport ApplyCacheBudget(const ioPath& root, unsigned long long limit);

// Called on the caller's thread with the report so far: after each file the
// walk counts, then (over budget) after each file removed or kept. It must
// not throw; it is called once per file, so a caller that draws progress
// decides by its own clock when to draw.
using CacheBudgetCallback = std::function<void(const CacheBudgetReport& soFar)>;

// The same, telling `progress` how far it has got (an empty callback is never
// called).
LUMFILESYSTEM_EXPORT CacheBudgetReport ApplyCacheBudget(const ioPath& root, unsigned long long limit,
                                                        const CacheBudgetCallback& progress);

// The hashed cache with a size budget (see the top of this header).
class LUMFILESYSTEM_EXPORT FileCache : public AbstractFileCache {
 public:
  // Creates `root` with its parents when missing, then enforces `limit` (bytes)
  // as described above. Throws boost::filesystem::filesystem_error when the
  // walk fails (a directory that cannot be read or vanishes meanwhile); then
  // nothing has been removed.
  FileCache(const ioPath& root, unsigned long long limit);
  // Copies the root; creates nothing and does not clean up. A move copies too.
  FileCache(const FileCache& other);
  FileCache(FileCache&& other);
  FileCache& operator=(const FileCache&) = delete;
  FileCache& operator=(FileCache&&) = delete;
  ~FileCache() override;

  // The first regular file in the key's record directory that can be locked
  // by this process, with a live read lock and its last-write time; a file
  // that cannot be locked (being removed, unreadable to this user, no
  // descriptors left) is passed over. Creates nothing. Throws
  // std::out_of_range for a key shorter than 4 characters and
  // boost::filesystem::filesystem_error when the record directory cannot be
  // listed.
  CacheRecord FindRecord(const std::string& key) const override;

  // Creates the record directory, makes the new file ready (a move, or a
  // complete copy out of sight), then removes every regular file in the
  // record directory (false at the first one that is read-locked; the rest
  // and `source` stay) and gives the new file `source`'s file name. A put
  // that fails before that point leaves the key's old file in place. Throws
  // as FindRecord (after the timestamp and existence checks), and
  // boost::filesystem::filesystem_error when `source` had to be copied
  // (another file system, or a read lock on it) but cannot be removed; the
  // copy then stays in the cache.
  // A `source` that lies in the key's own record directory is refused (false).
  bool PutRecord(const std::string& key, const ioPath& source, long long timestamp) const override;

  // See AbstractFileCache::RemoveRecord. The record directory stays.
  bool RemoveRecord(const CacheRecord& record) const override;

 private:
  // The key's record directory relative to the root (throws std::out_of_range
  // for a key shorter than 4 characters).
  ioPath GetCachedPath(const std::string& key) const;
  void CleanupFiles(unsigned long long limit);
  bool RemoveFile(const ioPath& path) const;

  ioPath root_;
};

}  // namespace Tarnix::Core
