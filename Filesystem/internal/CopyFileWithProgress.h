// Copying one file while reporting progress, the platform half of CopyFiles.
//
// The copy overwrites an existing destination and never creates missing
// directories. The destination gets the source's permission bits and
// last-write time. After the destination is open, and again after every
// chunk, the progress routine receives the running total of bytes copied for
// this file (0 first); chunks are at most kCopyChunkBytes, so a cancellation
// takes effect at most one chunk late.
//
// Linux: copy_file_range in the kernel where it can; where the kernel or a
// file system refuses it (between file systems, pseudo files such as those
// in /proc, ...) sendfile, and where that is refused too, read and write
// (posix/CopyData.h). Windows: CopyFileExW with a progress routine.
#pragma once

#include "Filesystem/ioPath.h"

#include <cstdint>
#include <functional>
#include <system_error>

namespace Tarnix::Core::internal {

// The most a single step moves between two progress reports.
inline constexpr std::uint64_t kCopyChunkBytes = 8u << 20;

enum class CopyProgressAction { Continue, Cancel };

// Receives the bytes copied so far for the current file.
using CopyProgressRoutine = std::function<CopyProgressAction(std::uint64_t copiedBytes)>;

// Copies `source` to `destination`. Success is an empty error code.
// Errors: errc::operation_canceled exactly when the routine answered Cancel
// (the destination has then been removed; it never stands for a failure);
// errc::invalid_argument when either path names something other than a
// regular file, or both name the same file; otherwise the error of the
// failing system call. A destination that was truncated or created before a
// failure is removed as well: no half-copied file is left behind.
[[nodiscard]] std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                                   const CopyProgressRoutine& progress);

}  // namespace Tarnix::Core::internal
