// The process's own command line, as far as the file utilities need it.
#pragma once

#include "Filesystem/ioPath.h"

#include <optional>

namespace Tarnix::Core::internal {

// The first word of the command line this process was started with, exactly
// as it was passed (no quoting rules, no normalisation); nullopt when there
// is none or it cannot be read.
//
// Linux: the first NUL-terminated word of /proc/self/cmdline, that is argv[0]
// as given to execve(). An empty argv reads as an empty word.
std::optional<ioPath::string_type> FirstCommandLineWord();

}  // namespace Tarnix::Core::internal
