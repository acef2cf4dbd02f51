// Moving file data on Linux: the one loop shared by the copy with progress
// and the caches' staged copies, and the one policy for what a copy takes
// over from its source besides the data.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/posix/StagedFile.h"
#include "Filesystem/posix/UniqueFd.h"

#include <sys/stat.h>

#include <cstdint>
#include <system_error>

namespace Tarnix::Core::posix {

// The ways of moving the data, fastest first. A copy starts with the one it
// is given and moves down the list whenever the kernel refuses a way for the
// pair of files; starting lower is for tests of the slower ways.
enum class CopyMethod { CopyFileRange, SendFile, ReadWrite };

// Copies from `in` to `out`, each at its own file position, until the end of
// the source, reporting the running total after each step (0 first).
// `sourceSize` is what fstat said: a zero return before it (or at the very
// start, for pseudo files that claim size 0) is not trusted as the end while
// a slower way is left to ask. A refused way moves on to the next slower one.
// Errors: errc::operation_canceled when the routine answered Cancel, else the
// failing system call's error.
[[nodiscard]] std::error_code CopyData(int in, int out, std::uint64_t sourceSize, CopyMethod method,
                                       const internal::CopyProgressRoutine& progress);

// Gives the copy open as `fd` the permission bits of `sourceMode` and the
// access and modification times `times`. Only the read, write and execute
// bits are copied, never set-user-ID, set-group-ID or sticky (as cp does
// without -p: a copy must not gain privileges), and a file system that cannot
// hold them (EPERM, EOPNOTSUPP: vfat, some network and FUSE file systems)
// keeps its own, since the data is what counts. The times are part of what a
// copy promises: failing to set them is an error. `current` is what fstat
// said of the copy, so that unchanged bits cost no call.
[[nodiscard]] std::error_code ApplySourceAttributes(int fd, mode_t sourceMode, const struct stat& current,
                                                    const struct timespec (&times)[2]);

// Opens the directory `destination` is to be published in, readable where
// it may be (so that it can be flushed). errc::invalid_argument when
// `destination` names no entry ("", ".", "..", "/").
[[nodiscard]] std::error_code OpenDestinationDirectory(const ioPath& destination, UniqueFd* directory);

// Copies `source` into `staged`, created for `destination`'s name in the
// directory open as `directoryFd`, with the source's permission bits and
// last-write time, reporting progress as CopyFileWithProgress does; the data
// is sent on its way to the device chunk by chunk. Nothing is published.
[[nodiscard]] std::error_code StageCopy(const ioPath& source, const ioPath& destination,
                                        const internal::CopyProgressRoutine& progress, CopyMethod firstMethod,
                                        int directoryFd, StagedFile* staged);

// The Linux half of internal::CopyFileWithProgress, with the first way of
// moving data to try and what is durable on return.
[[nodiscard]] std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                                   const internal::CopyProgressRoutine& progress,
                                                   CopyMethod firstMethod, Durability durability);

}  // namespace Tarnix::Core::posix
