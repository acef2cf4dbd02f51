// Copying one file while reporting progress, the platform half of CopyFiles.
//
// The copy replaces an existing destination and never creates missing
// directories. It is written out of sight in the destination's directory and
// takes the destination's name in one step once it is complete and its data
// is on the device, with the source's permission bits and last-write time: at
// every moment, also after a failure, a cancellation, a crash or a power cut,
// the destination is either what it was before or the complete copy. A symbolic link at the destination is replaced
// by the copy, never written through. After the copy has begun, and again
// after every chunk, the progress routine receives the running total of
// bytes copied for this file (0 first); chunks are at most kCopyChunkBytes,
// so a cancellation takes effect at most one chunk late.
//
// Linux: staged in an O_TMPFILE file (or a hidden staging file where the file
// system has none; see posix/StagedFile.h) and renamed over the destination;
// the data moves with copy_file_range in the kernel where it can; where the
// kernel or a file system refuses it (between file systems, pseudo files such
// as those in /proc, ...) sendfile, and where that is refused too, read and
// write (posix/CopyData.h). Windows: CopyFileExW with a progress routine into
// a temporary file beside the destination, then a replacing move.
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
// (it never stands for a failure); errc::invalid_argument when `source` is
// not a regular file, when `destination` is something other than a regular
// file or a symbolic link, or when both name the same file; otherwise the
// error of the failing system call. After any error the destination is as it
// was and nothing of the copy is left behind.
// On success the copy is durable: its data and its name survive a later
// power cut.
[[nodiscard]] std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                                   const CopyProgressRoutine& progress);


}  // namespace Tarnix::Core::internal
