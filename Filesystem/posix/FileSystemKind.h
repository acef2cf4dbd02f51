// Which kind of file system a file lies on, where that decides how far the
// answers of lookups can be trusted.
#pragma once

#include <sys/types.h>

namespace Tarnix::Core::posix {

// Whether the file open as `fd` lies on a FUSE or network file system, where
// other machines (or the FUSE daemon) learn of our unlocks and writes only
// some time after the call that made them returned (a FUSE release is sent
// asynchronously: on GlusterFS an unlock lands 0.2-4 ms after close()), and
// where the client may answer lookups from caches of its own.
//
// `device` is the file's st_dev. The answer is kept per device until the
// mount table changes, so that only the first call for a file system asks it
// (fstatfs is a round trip to the server on a network file system).
bool IsSharedFileSystem(int fd, dev_t device) noexcept;

}  // namespace Tarnix::Core::posix
