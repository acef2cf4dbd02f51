// Yes-or-no operations over files and directory trees.
//
// The work that can fail half-way runs inside a guard that turns
// boost::filesystem::filesystem_error into `false`; the preliminary existence
// and type tests stand outside it and let that exception reach the caller
// (a path that does not exist is not an error for them). A partial removal
// or tree copy is never rolled back, but no single file is ever left half
// copied. No state is kept between calls; any thread may call them. Only
// RemoveFile logs, and only for a file it refuses to remove on Linux.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

namespace Tarnix::Core {

// True when anything exists at `path` (symbolic links followed).
// Throws filesystem_error when the status query fails for another reason.
LUMFILESYSTEM_EXPORT bool FileExists(const ioPath& path);

// Removes one regular file. Returns false when nothing was removed: a missing
// path, a directory or other non-regular entry, or a file that someone holds
// a read lock on (in this process or another; see the file caches).
// The existence and type tests may throw filesystem_error.
// Linux: a file this user may delete but cannot open is not removed either,
// since its owner may hold a read lock on it; a WARNING names it.
LUMFILESYSTEM_EXPORT bool RemoveFile(const ioPath& path);

// Removes `directory` with everything below it. False when it is missing, not
// a directory, or the removal failed part-way (what was removed stays removed).
LUMFILESYSTEM_EXPORT bool RemoveDir(const ioPath& directory);

// Removes each direct entry of `directory` (a subdirectory with its tree)
// whose last-write time is at least `minAgeDays` whole days in the past; an
// entry dated in the future has a negative age and stays. A symbolic link
// whose target is missing is dated by the link itself. When `removeSelf`
// is set and every entry was old enough, the then empty directory is removed
// too and the result is that removal's. Otherwise true when anything was
// removed. False on the first error; earlier removals stay.
LUMFILESYSTEM_EXPORT bool RemoveDir(const ioPath& directory, int minAgeDays, bool removeSelf);

// Copies the tree below `source` into `destination`, creating `destination`
// (one level) when missing. Links are copied as what they point to; existing
// files are replaced and other files in `destination` stay. A symbolic link
// met inside `destination` is replaced, never written through. Each file
// appears complete or not at all (see ioPath::copy_file); a file that cannot
// be copied is skipped without changing the result. True when the walk
// reached its end; the copies are then durable (they survive a power cut).
// The files are made durable in batches of a few hundred (on Linux one
// syncfs of the destination's file system for their data, then one for
// their names): a power cut, a failure or a kill in the middle of a batch
// leaves that batch's destinations as they were, the batches before it whole.
LUMFILESYSTEM_EXPORT bool CopyDir(const ioPath& source, const ioPath& destination);

}  // namespace Tarnix::Core
