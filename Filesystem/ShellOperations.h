// Recycle bin, attribute bits and the per-user cache root.
//
// Three free functions that reach past the portable path layer into the
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
#include "Filesystem/ioPath.h"

#include <cstdint>

namespace Tarnix::Core {

// Attribute bits of the library's own numbering. The values are consecutive
// bits and deliberately not the Windows FILE_ATTRIBUTE_* values; the
// translation between the two is a fixed table. Bits above NotContentIndexed
// are ignored wherever a PathAttribute is consumed.
enum class PathAttribute : std::uint32_t {
  Normal = 0x00,  // no attribute at all
  ReadOnly = 0x01,
  Hidden = 0x02,
  System = 0x04,
  Archive = 0x08,
  Temporary = 0x10,
  Offline = 0x20,
  NotContentIndexed = 0x40,
};

constexpr PathAttribute operator|(PathAttribute lhs, PathAttribute rhs) noexcept {
  return static_cast<PathAttribute>(static_cast<std::uint32_t>(lhs) | static_cast<std::uint32_t>(rhs));
}
constexpr PathAttribute operator&(PathAttribute lhs, PathAttribute rhs) noexcept {
  return static_cast<PathAttribute>(static_cast<std::uint32_t>(lhs) & static_cast<std::uint32_t>(rhs));
}
constexpr PathAttribute& operator|=(PathAttribute& lhs, PathAttribute rhs) noexcept { return lhs = lhs | rhs; }

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
LUMFILESYSTEM_EXPORT bool MoveToTrash(const ioPath& path);

// Sets the attributes of the file or directory at `path` to exactly
// `attributes` (Normal clears all of them). True on success; false when the
// path is missing or cannot be changed. Nothing is logged.
// Linux: only ReadOnly has an equivalent. With ReadOnly every write
// permission bit (owner, group, others) is cleared; without it the owner gets
// the write bit back and the other bits stay. Hidden, System, Archive,
// Temporary, Offline and NotContentIndexed change nothing. Symbolic links are
// followed.
LUMFILESYSTEM_EXPORT bool SetPathAttribute(const ioPath& path, PathAttribute attributes);

// The current user's local application-data folder, where applications keep
// caches; empty when it cannot be determined. Nothing is created or logged.
// Linux: $XDG_CACHE_HOME when it is set to an absolute path; otherwise
// $HOME/.cache when HOME is an absolute path; otherwise the home directory of
// the effective user's password-database entry + "/.cache"; otherwise empty.
LUMFILESYSTEM_EXPORT ioPath GetSystemCacheRoot();

}  // namespace Tarnix::Core
