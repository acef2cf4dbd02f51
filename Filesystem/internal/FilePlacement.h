// Placing a file at a path without ever replacing what is already there.
//
// The file caches publish files with these, so that a file someone holds a
// read lock on is never overwritten by a rename (only Tarnix::Core::RemoveFile,
// which respects read locks, takes an old file away) and so that a reader
// never sees a partly written file. Both set the placed file's access and
// modification time to whole seconds since 1970-01-01 UTC before it becomes
// visible at its new path.
#pragma once

#include "Filesystem/ioPath.h"

#include <system_error>

namespace Tarnix::Core::internal {

// Renames `from` to `to`, failing with errc::file_exists when `to` exists
// (whatever it is), with errc::cross_device_link between file systems and
// with errc::device_or_resource_busy when someone holds a read lock on `from`.
// `*placed` tells whether the file is at `to` afterwards; it can be true with
// an error when the times could not be set. When nothing was placed, the
// source is left as it was, times included.
[[nodiscard]] std::error_code MoveIntoPlace(const ioPath& from, const ioPath& to, long long timestamp, bool* placed);

// How CopyIntoPlace stages the copy before it appears at the target path.
enum class Staging {
  // An unnamed file in the target's directory (O_TMPFILE), linked into place
  // when complete; falls back to NamedTempFile where the file system has no
  // unnamed files.
  UnnamedFile,
  // A hidden temporary name beside the target, exclusively locked while it is
  // written, so that readers and removers that meet it leave it alone.
  NamedTempFile,
};

// Copies the regular file `from` into a new file at `to`, which appears there
// complete, with the source's permission bits and the given times, or not at
// all. Fails with errc::file_exists when `to` exists; leaves no temporary file
// behind. The source is not removed.
[[nodiscard]] std::error_code CopyIntoPlace(const ioPath& from, const ioPath& to, long long timestamp,
                                            Staging staging = Staging::UnnamedFile);

}  // namespace Tarnix::Core::internal
