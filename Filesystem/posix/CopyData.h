// The one loop that moves file data between two descriptors on Linux, shared
// by the copy with progress and the caches' staged copies.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"

#include <cstdint>
#include <system_error>

namespace Tarnix::Core::posix {

// Copies from `in` to `out`, each at its own file position, until the end of
// the source, reporting the running total after each step (0 first).
// `sourceSize` is what fstat said: a zero return before it (or at the very
// start, for pseudo files that claim size 0) is not trusted as the end while
// a slower way is left to ask. A refused way moves on to the next slower one.
// Errors: errc::operation_canceled when the routine answered Cancel, else the
// failing system call's error.
[[nodiscard]] std::error_code CopyData(int in, int out, std::uint64_t sourceSize, internal::CopyMethod method,
                                       const internal::CopyProgressRoutine& progress);

}  // namespace Tarnix::Core::posix
