// Advisory file locks that keep cached files alive while they are read.
//
// A reader holds a shared lock on a file; a remover takes an exclusive lock
// before it unlinks, so it cannot remove a file anyone reads. The locks work
// between threads of one process and between processes. On Linux they are
// flock() locks: they belong to the open file description, so two opens of
// one file in the same process are two independent holders.
#pragma once

#include "Filesystem/ioPath.h"
#include "RAII/UniqueFd.h"

#include <system_error>

namespace Tarnix::Core::internal {

// Opens the file at `path` read-only and takes a shared lock on it without
// waiting. Succeeds only when, with the lock held, `path` still names the
// locked file, so a lock never protects a file that was replaced meanwhile.
// Errors: the open's own error; errc::resource_unavailable_try_again when a
// remover holds the file; errc::no_such_file_or_directory when the path was
// replaced or removed while locking.
[[nodiscard]] std::error_code AcquireReadLock(const ioPath& path, UniqueFd* lock);

// Takes the exclusive lock a remover holds while it unlinks `path`.
// Errors: errc::device_or_resource_busy when a reader holds the file;
// errc::no_such_file_or_directory when it disappeared or was replaced.
// A file that cannot be opened for reading (permissions) cannot be read-locked
// by this user either, and is reported as lockable with an empty `lock`.
[[nodiscard]] std::error_code AcquireRemovalLock(const ioPath& path, UniqueFd* lock);

}  // namespace Tarnix::Core::internal
