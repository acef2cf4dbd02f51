// File caches: the base every cache implements, the record a lookup returns,
// key derivation and the read lock that keeps a found file alive.
//
// A cache maps a string key to one file on disk. Cache objects hold only their
// root directory; the directory tree is the whole state, shared at once by
// every object, thread and process that uses the same root. Nothing is locked
// in memory: the file system arbitrates, and the one means of coordination is
// the read lock attached to a found record.
//
// Read locks. While a record's lock is alive, no Tarnix::Core::RemoveFile in
// any thread or process removes the locked file, so RemoveRecord, PutRecord for
// the same key and the clean-up of FileCache all see a failed removal and leave
// the file in place. Reading and writing the locked file stay possible, and any
// number of locks may be held on one file. The lock lasts as long as the last
// copy of the record (or of its readLock) that refers to it.
//
// Linux: a lock is a shared flock() on a read-only descriptor (see
// internal/FileLocks.h), and RemoveFile takes an exclusive one before it
// unlinks. Programs that delete cache files without RemoveFile are not held
// back; on Windows an open handle without delete sharing stops them too.
//
// A root shared by several users (Linux): a user can only lock, and so only
// find and remove, the cached files it can read. A file it cannot open may be
// held by its owner, so it is never removed by that user (PutRecord for its
// key, RemoveRecord and the clean-up fail on it, with a WARNING). For users
// to replace and clean up each other's files, every user needs read access
// to every cached file and write access to every directory below the root:
// one group for all of them, the set-group-ID bit on the root, and a umask of
// 002 (or default ACLs). No sticky bit below the root: it keeps users from
// removing each other's files at all. Whoever may write below the root may
// plant symbolic links there; the caches never follow one below the root.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

#include <memory>
#include <string>

namespace Tarnix::Core {

// An opaque read lock on a cached file. Callers cannot ask it anything; they
// only keep it alive.
class LUMFILESYSTEM_EXPORT ICacheReadLock {
 public:
  ICacheReadLock() = default;
  ICacheReadLock(const ICacheReadLock&) = default;
  ICacheReadLock& operator=(const ICacheReadLock&) = default;
  virtual ~ICacheReadLock();

  // Locks the file at `path` for as long as the returned lock lives. Never
  // null; throws only std::bad_alloc. When the file cannot be opened, is being
  // removed, or was replaced or removed while the lock was taken, the lock is
  // inert: it holds nothing and never protects another file at that path.
  static std::shared_ptr<ICacheReadLock> CreateInstance(const ioPath& path);
};

class LUMFILESYSTEM_EXPORT AbstractFileCache {
 public:
  // What a lookup returns. Callers test `path` for emptiness to see whether
  // the key was found; copies share the one lock.
  struct CacheRecord {
    std::string key;                           // as passed to FindRecord
    ioPath path;                               // the cached file; empty when not found
    long long timestamp = 0;                   // its last-write time, seconds since 1970 UTC; 0 when not found
    std::shared_ptr<ICacheReadLock> readLock;  // set when `path` is set
  };

  AbstractFileCache() = default;
  AbstractFileCache(const AbstractFileCache&) = default;
  AbstractFileCache& operator=(const AbstractFileCache&) = default;
  virtual ~AbstractFileCache();

  // Looks `key` up. A found record carries a live read lock on its file.
  virtual CacheRecord FindRecord(const std::string& key) const = 0;

  // Moves the file `source` into the cache under `key`, replacing the key's
  // previous file unless a read lock holds it, and sets both its access and
  // modification time to `timestamp` (seconds since 1970 UTC). True only when
  // the file was placed and its times set; afterwards `source` is gone. A
  // `timestamp` of 0 is refused (false, nothing touched). A reader never sees
  // a partly written cached file, also when `source` lies on another file
  // system and has to be copied, and a put that fails or is killed while it
  // copies leaves the key's previous file in place. At a power cut the key
  // serves the whole new file, the whole old one or nothing, never an empty
  // or short file, also when the caller never flushed `source`: the data is
  // flushed to the device before the name can show it (one flush per put).
  // `source` is given up only when the file is whole at one place: a move
  // takes its name away in the same step, and a copy from another file
  // system removes it only once the copy's name is durable (a second flush).
  virtual bool PutRecord(const std::string& key, const ioPath& source, long long timestamp) const = 0;

  // Removes `record.path` and returns true when it was NOT removed (an empty
  // or missing path, not a regular file, or a file held by a read lock) and
  // false when it was: the opposite sense of PutRecord. Drop the record's own
  // readLock first, or the removal fails.
  virtual bool RemoveRecord(const CacheRecord& record) const = 0;

  // The 32 lower-case hexadecimal digits of the MD5 digest of `text`'s bytes:
  // a key that fits every cache. No normalisation: texts that differ in any
  // byte give different keys.
  static std::string MakeCacheKey(const std::string& text);
};

}  // namespace Tarnix::Core
