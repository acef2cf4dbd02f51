// Recycle bin and the per-user cache root (and, through PathAttribute.h,
// attribute bits).
//
// Free functions that reach past the portable path layer into the
// platform's shell and file API. They keep no state and may be called from
// any thread; concurrent calls on one path race as the underlying system
// calls do. Only MoveToTrash writes a log record.
//
// Linux: the recycle bin is the freedesktop.org trash (as desktop file
// managers implement it), attributes map onto the permission bits as far as
// they have an equivalent, and the cache root follows the XDG base-directory
// rules. Each function's comment says how.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/PathAttribute.h"  // SetPathAttribute, declared with its attribute bits
#include "Filesystem/ioPath.h"

namespace Tarnix::Core {

// Moves the file or directory tree at `path` to the recycle bin, without any
// user interaction. Returns false at once, logging nothing, when nothing
// exists at `path`; the existence test may throw
// boost::filesystem::filesystem_error. Any other failure returns false after
// one ERROR record "Moving to trash failed with code:<code>".
// Linux: the freedesktop.org trash of the file's file system (the user's home
// trash below $XDG_DATA_HOME, or a top-level .Trash-<uid> directory on other
// mounts); the code logged is the GIO error code. Doubled and trailing
// separators do not matter; a relative path is taken from the current
// directory. Trashing on system-internal mounts (such as /dev/shm) is refused.
// Windows: the shell's recycle bin. A relative path is taken from the current
// directory. What the bin would not keep is refused (false and one ERROR
// record "Not moving to trash <path>: <reason>") instead of being destroyed:
// an item on a network share or a drive without a bin (removable, optical),
// on a drive whose bin is set to delete at once, or larger than the bin's
// capacity (the user's setting, else 5 % of the drive), and a path longer
// than the shell takes (MAX_PATH).
LUMFILESYSTEM_EXPORT bool MoveToTrash(const ioPath& path);

// The current user's local application-data folder, where applications keep
// caches; empty when it cannot be determined. Nothing is created or logged.
// Linux: $XDG_CACHE_HOME when it is set to an absolute path; otherwise
// $HOME/.cache when HOME is an absolute path; otherwise the home directory of
// the effective user's password-database entry + "/.cache"; otherwise empty.
LUMFILESYSTEM_EXPORT ioPath GetSystemCacheRoot();

}  // namespace Tarnix::Core
