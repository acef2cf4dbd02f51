// Attribute bits of files and directories, and setting them.
//
// SetPathAttribute keeps no state and may be called from any thread;
// concurrent calls on one path race as the underlying system calls do.
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

// Attribute sets combine and test like the bit masks they are.
constexpr PathAttribute operator|(PathAttribute lhs, PathAttribute rhs) noexcept {
  return static_cast<PathAttribute>(static_cast<std::uint32_t>(lhs) | static_cast<std::uint32_t>(rhs));
}
constexpr PathAttribute operator&(PathAttribute lhs, PathAttribute rhs) noexcept {
  return static_cast<PathAttribute>(static_cast<std::uint32_t>(lhs) & static_cast<std::uint32_t>(rhs));
}
constexpr PathAttribute& operator|=(PathAttribute& lhs, PathAttribute rhs) noexcept { return lhs = lhs | rhs; }

// Sets the attributes of the file or directory at `path` to exactly
// `attributes` (Normal clears all of them). True on success; false when the
// path is missing or cannot be changed. Nothing is logged.
// Linux: only ReadOnly has an equivalent. With ReadOnly every write
// permission bit (owner, group, others) is cleared; without it the owner gets
// the write bit back and the other bits stay. Hidden, System, Archive,
// Temporary, Offline and NotContentIndexed change nothing. Symbolic links are
// followed.
LUMFILESYSTEM_EXPORT bool SetPathAttribute(const ioPath& path, PathAttribute attributes);

}  // namespace Tarnix::Core
