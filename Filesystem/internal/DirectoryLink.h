// The platform half of Junction: making and reading the link entry itself.
// Junction.cpp checks the arguments, applies the target limit and writes
// every log record; these functions only talk to the file system.
#pragma once

#include "Filesystem/ioPath.h"

#include <system_error>

namespace Tarnix::Core::internal {

// Whether an entry exists at `link` itself (a link counts; its target is not
// consulted). Never throws.
bool LinkEntryExists(const ioPath& link);

// The last-write time of the entry `link` itself (a link's own time, its
// target not consulted), in whole seconds since 1970 UTC. Errors: the
// system's, errc::no_such_file_or_directory when nothing is there.
[[nodiscard]] std::error_code LinkEntryLastWriteTime(const ioPath& link, long long* seconds);

// What reading a link found.
struct LinkReading {
  enum class State {
    Link,         // `target` holds the link's target
    NotALink,     // the entry exists but carries no link data
    OpenFailed,   // the entry could not be opened or examined: `error` says why
  };
  State state = State::OpenFailed;
  std::error_code error;
  // The target without the NT object prefix, exactly as stored.
  ioPath target;
  // Whether the link is a junction (a mount point) rather than another kind
  // of link the platform has. Any link counts on Linux.
  bool mountPoint = false;
};

LinkReading ReadDirectoryLink(const ioPath& link);

// Which step of making a link failed.
enum class LinkCreationStep {
  None,       // the link was made
  Create,     // the entry could not be created (nothing to clean up)
  Open,       // the new entry could not be opened; it was removed again
  SetTarget,  // the target could not be written; the new entry was removed again
};

struct LinkCreation {
  LinkCreationStep failedStep = LinkCreationStep::None;
  std::error_code error;
};

// Makes `link` a new link to `target`, used exactly as passed; the platform
// stores `prefixedTarget` (target with the NT object prefix) where it keeps
// the prefix. Never leaves a half-made entry behind.
LinkCreation CreateDirectoryLink(const ioPath& link, const ioPath& target, const ioPath& prefixedTarget);

}  // namespace Tarnix::Core::internal
