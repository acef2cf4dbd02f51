// FlatFileCache: one file per key, directly in the root directory.
//
// Layout (persisted): the cached file of key K is root/K. The key is the whole
// file name, used unchanged: no hashing, no extension, and a key containing a
// separator addresses a file in a subdirectory that the cache never creates.
// The file's times are the timestamp given to PutRecord; there is no index,
// no budget and no clean-up.
//
// Windows: a key with a level that Windows would read as another name is
// never stored nor found: a trailing dot or space, a ":" (a stream of another
// file), a character Windows refuses in names (< > " | ? * and control
// characters), or a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also
// with an extension). Keys that differ only in letter case name one file
// there: a caller whose keys differ so must fold their case itself.
//
// Threads and processes: the object is only its root path; any number of
// objects, threads and processes may use one root at once (see
// AbstractFileCache.h for what a read lock guarantees).
#pragma once

#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

#include <string>

namespace Tarnix::Core {

// The flat cache: the file of key K at root/K, no budget (see the top of this
// header).
class LUMFILESYSTEM_EXPORT FlatFileCache : public AbstractFileCache {
 public:
  // Creates `root` with its parents when missing (a failure shows later as
  // lookups that find nothing and puts that fail). Neither clears nor checks
  // an existing root.
  explicit FlatFileCache(const ioPath& root);
  // Copies the root.
  FlatFileCache(const FlatFileCache& other);
  // Takes over the root; `other` is left with an empty root.
  FlatFileCache(FlatFileCache&& other) noexcept;
  // Assignment copies, or takes over, the root.
  FlatFileCache& operator=(const FlatFileCache& other);
  FlatFileCache& operator=(FlatFileCache&& other) noexcept;
  ~FlatFileCache() override;

  // root/key when it is a regular file that this process can lock, with a
  // live read lock and its last-write time. The empty key names the root
  // itself and is never found; neither is a key whose levels below the root
  // hold a symbolic link or lead out of it with "..".
  CacheRecord FindRecord(const std::string& key) const override;

  // Makes the new file ready (a move, or a complete copy out of sight), then
  // removes root/key unless it is read-locked or not a regular file (then
  // false, and the old file and `source` stay), then gives the new file that
  // name. Throws boost::filesystem::filesystem_error when `source` had to be
  // copied (another file system, or a read lock on it) but cannot be removed;
  // the copy then stays in the cache. A `source` that already is root/key is
  // refused (false), as is a key FindRecord never finds.
  bool PutRecord(const std::string& key, const ioPath& source, long long timestamp) const override;

  // See AbstractFileCache::RemoveRecord.
  bool RemoveRecord(const CacheRecord& record) const override;

 private:
  bool RemoveFile(const ioPath& path) const;

  ioPath root_;
};

}  // namespace Tarnix::Core
