// The one way the POSIX backend takes a flock() on a file it names: by path
// for RemoveFile and the read lock of a record, by directory descriptor and
// name inside a cache root, where no symbolic link is followed.
#pragma once

#include "Filesystem/posix/UniqueFd.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <system_error>

namespace Tarnix::Core::posix {

// Opens `name` in the directory open as `directoryFd` (AT_FDCWD: a path) for
// reading and takes `operation` (LOCK_SH or LOCK_EX) without waiting, then
// checks that `name` still names the locked file, so that a lock never
// protects a file that was unlinked or replaced meanwhile. With `followLinks`
// false a symbolic link at `name` is refused. On success `*fd` holds the lock
// and `*status` (when given) is fstat's answer for the locked file.
// Where unlocks reach the lock's keeper after close() returns (FUSE, network
// file systems), a refused lock is asked for again for up to 15.5 ms: long
// enough for a release another machine made just before, short enough for a
// lock that is really held. A file gone stale (ESTALE: its name was made
// again on another machine) is looked up again.
// Errors: the open's own error (errc::permission_denied when this user cannot
// read the file, errc::too_many_symbolic_link_levels for a refused link);
// `busy` when a conflicting lock is held; errc::no_such_file_or_directory
// when the name went away or now names another file.
// How the name of a locked file is checked where the client may answer
// lookups from caches of its own (FUSE, network file systems): in a fresh
// listing of its directory (the lock of a cached file, which readers and
// removers rely on), or as the client knows it (a put's source: the put
// moves it by its name whatever the name then names, and a fresh listing of
// a directory of sources costs a put a round trip or more).
enum class NameCheck { Fresh, AsKnown };

[[nodiscard]] std::error_code LockFileAt(int directoryFd, const char* name, int operation, bool followLinks,
                                         std::errc busy, UniqueLockedFd* fd, struct stat* status = nullptr,
                                         NameCheck check = NameCheck::Fresh);

}  // namespace Tarnix::Core::posix
