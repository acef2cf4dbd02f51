// Directories that only their owner may use.
//
// The system temporary directory is shared by every user on Linux (on Windows
// each user has one of their own). A directory there that someone else
// created, or a symbolic link someone planted under a predictable name, must
// never be written into or cleared; these helpers create directories as
// private and refuse what another user could have prepared.
#pragma once

#include "Filesystem/ioPath.h"

#include <system_error>

namespace Tarnix::Core::internal {

// Creates the single directory `path` with mode 0700 (less the umask). The
// error of the creation; errc::file_exists when something is already there.
[[nodiscard]] std::error_code CreatePrivateDirectory(const ioPath& path);

// What is found at one level of a private directory chain.
enum class PrivateDirectoryState {
  kUsable,   // an entry of the effective user that is not a symbolic link
  kMissing,  // nothing there (or it cannot be examined)
  kForeign,  // a symbolic link, an entry of another user, or one that others
             // may write to (group or world write bit), where they could swap
             // its contents for links between a check and a clean-up
};

// Creates `path` as CreatePrivateDirectory does when nothing is there, then
// examines the entry itself (a symbolic link is not followed). Missing parent
// levels are not created.
[[nodiscard]] PrivateDirectoryState MakePrivateDirectory(const ioPath& path);

}  // namespace Tarnix::Core::internal
