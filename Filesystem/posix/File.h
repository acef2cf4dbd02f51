// Opening files in the POSIX backend: the one way every part of it opens a
// file it is about to read, lock or copy.
#pragma once

#include "Filesystem/posix/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <system_error>

namespace Tarnix::Core::posix {

enum class FileKind {
  Any,      // whatever the path names
  Regular,  // refuse anything but a regular file
};

// Opens `path` with `flags` (O_CLOEXEC, O_NOCTTY and O_NONBLOCK added) and
// `mode` for a file it creates. O_NONBLOCK keeps the open from hanging on a
// FIFO; it stays set, because regular files ignore it in read, write,
// flock, copy_file_range and sendfile, and a pseudo file that would block a
// read (/proc/kmsg) then fails instead of hanging. When `status` is given it
// receives fstat's answer. With FileKind::Regular anything else is refused
// with errc::invalid_argument (and `*fd` stays open, for the caller to close).
// Errors: the open's or fstat's error.
[[nodiscard]] std::error_code OpenFile(const char* path, int flags, mode_t mode, UniqueFd* fd,
                                       struct stat* status = nullptr, FileKind kind = FileKind::Any);

// OpenFile for `path` relative to the directory open as `directoryFd`
// (AT_FDCWD: the working directory), as openat() resolves it. With O_NOFOLLOW
// in `flags` a symbolic link at `path` fails with errc::too_many_symbolic_link_levels.
[[nodiscard]] std::error_code OpenFileAt(int directoryFd, const char* path, int flags, mode_t mode, UniqueFd* fd,
                                         struct stat* status = nullptr, FileKind kind = FileKind::Any);

// The same, for a descriptor that is to hold a lock (UniqueFd.h).
[[nodiscard]] inline std::error_code OpenFileAt(int directoryFd, const char* path, int flags, mode_t mode,
                                                UniqueLockedFd* fd, struct stat* status = nullptr,
                                                FileKind kind = FileKind::Any) {
  UniqueFd opened;
  const std::error_code error = OpenFileAt(directoryFd, path, flags, mode, &opened, status, kind);
  fd->reset(opened.release());
  return error;
}

}  // namespace Tarnix::Core::posix
