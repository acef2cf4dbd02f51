// Placing a file into a cache directory without ever replacing what is there.
//
// The file caches publish files with this, so that a file someone holds a
// read lock on is never replaced by a rename (only a removal that respects
// read locks takes an old file away) and so that neither a reader nor a
// crash ever leaves a partly written file under a cached name.
#pragma once

#include "Filesystem/internal/CacheDirectory.h"
#include "Filesystem/ioPath.h"

#include <functional>
#include <system_error>

namespace Tarnix::Core::internal {

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

}  // namespace Tarnix::Core::internal
