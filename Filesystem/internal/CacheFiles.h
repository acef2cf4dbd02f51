// The files of the caches: the lock a found record carries, checking where
// a key leads, removing cached files, and placing a file into a cache
// directory without ever replacing what is there.
//
// The caches publish files with PlaceFile, so that a file someone holds a
// read lock on is never replaced by a rename (only a removal that respects
// read locks takes an old file away) and so that neither a reader, nor a
// crash, nor a power cut ever leaves a partly written file under a cached
// name: data reaches the device before the name that shows it.
#pragma once

#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/internal/CacheDirectory.h"
#include "Filesystem/internal/FileLocks.h"
#include "Filesystem/ioPath.h"

#include <functional>
#include <memory>
#include <system_error>

namespace Tarnix::Core::internal {


// The read lock of a found record, holding `lock`.
std::shared_ptr<ICacheReadLock> MakeReadLock(FileLock lock);
// The read lock of the file at `path`: inert when it cannot be locked.
std::shared_ptr<ICacheReadLock> MakeReadLock(const ioPath& path);

// Whether `relative`, joined to a root, stays below it: no ".." element.
bool StaysBelowRoot(const ioPath& relative);

// Whether an error of OpenCacheDirectory means that the directory is simply
// not there for the cache: missing, or something else (a link) in its place.
bool IsNoCacheDirectory(const std::error_code& error);

// Removes the cached file `name` in `directory` (at `path`, for the log)
// unless a reader holds it. True when nothing is left at `name`. A file this
// user cannot open stays, with a WARNING: its owner may be reading it.
bool RemoveFromCache(const CacheDirectory& directory, const ioPath& name, const ioPath& path);

// PlaceFile (above) for a put: true when the file was placed and
// its times set. Throws boost::filesystem::filesystem_error when the source
// had to be copied (another file system, or a read lock on it) but cannot be
// removed; the copy then stays in the cache.
bool PlaceCachedFile(const ioPath& source, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                     const std::function<bool()>& makeRoom);


// How a copy is staged before it gets its name.
enum class Staging {
  // An unnamed file in the target directory where the file system has them,
  // else a staging file (below).
  UnnamedFile,
  // A file under a hidden staging name in the target directory, exclusively
  // locked from before anyone can list it until it is gone; readers and
  // listings pass over it, and one left by a killed process is cleared by the
  // next put in that directory or taken over by the next staging for the
  // same name. Chosen by the platform where unnamed files are missing (network,
  // FUSE and FAT file systems); tests pick it directly.
  NamedTempFile,
};

// What PlaceFile did.
struct Placement {
  bool placed = false;       // the file is at `name`, complete, with its times set
  bool sourceKept = false;   // it was copied, and `from` could not be removed
};

// Places the regular file `from` as `name` in `directory`, with its access and
// modification times set to `timestamp` (whole seconds since 1970 UTC) before
// it appears there, and never replacing an entry that has the name.
//
// `from` is moved when it lies on the directory's file system and nobody holds
// a read lock on it (a locked source stays where it is, as a removal would
// leave it); otherwise it is copied completely out of sight (`staging`) and
// then removed like a cached file. `makeRoom` runs once the new file is ready
// to appear and before it does, and again each time the name turns out to be
// taken by someone else meanwhile (a bounded number of times); it returns
// false to give up. So the old file of the key is not removed before a copy
// has succeeded, and a failed put leaves the key as it was.
//
// Success is an empty error code with `placed` set. Errors:
// errc::device_or_resource_busy when `makeRoom` gave up; errc::file_exists
// when the name stayed taken; errc::invalid_argument when `from` is not a
// regular file; otherwise the error of the failing step (the source's open,
// the copy, ...), and then nothing was placed and `from` is as it was.
[[nodiscard]] std::error_code PlaceFile(const ioPath& from, const CacheDirectory& directory, const ioPath& name,
                                        long long timestamp, const std::function<bool()>& makeRoom,
                                        Placement* placement, Staging staging = Staging::UnnamedFile);

// The platform's half of PlaceFile: one source on its way to one name in one
// directory, with the times it is to have. PlaceFile decides the order of the
// steps (and when to make room); the platform knows how to take each.
class PlacementSource {
 public:
  virtual ~PlacementSource() = default;
  // Whether the source can move: it lies on the directory's file system and
  // no reader holds it.
  virtual bool CanMove() const = 0;
  // Moves the source to the name, stamped before it appears there, never
  // replacing: errc::file_exists when the name is taken. When it stays, its
  // old times come back.
  [[nodiscard]] virtual std::error_code Move() = 0;
  // Copies the source completely out of sight beside the name, stamped.
  [[nodiscard]] virtual std::error_code Stage() = 0;
  // Gives the staged copy the name, never replacing: errc::file_exists when
  // the name is taken (the copy stays staged and may be published again).
  [[nodiscard]] virtual std::error_code Publish() = 0;
  // Removes the source of a published copy as a cached file is removed (a
  // reader's lock keeps it). False when it stays.
  virtual bool RemoveSource() = 0;
};

// Opens `from` for placing as `name` in `directory`. Errors:
// errc::invalid_argument when `from` is not a regular file; the open's error.
[[nodiscard]] std::error_code OpenPlacementSource(const ioPath& from, const CacheDirectory& directory,
                                                  const ioPath& name, long long timestamp, Staging staging,
                                                  std::unique_ptr<PlacementSource>* source);

}  // namespace Tarnix::Core::internal
