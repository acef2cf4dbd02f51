// The platform's watchers behind IDirectoryWatcher (posix/DirectoryWatcher.cpp
// on Linux): the plain one, which calls a callback without arguments for one
// kind of change, and the detailed one, which hands over a ChangeRecord per
// change. Internal to the library; the portable DirectoryWatcher.cpp checks
// and canonicalises the directory and logs every failure for both.
#pragma once

#include "Filesystem/DirectoryWatcher.h"

#include <functional>
#include <memory>

namespace Tarnix::Core {

// Constructs an armed watcher on `directory`, which must be canonical. Returns
// a non-empty pointer or throws: std::out_of_range("invalid map<K, T> key")
// for an unknown kind, std::runtime_error naming the failed step and the
// system error code, std::system_error when no thread can be started,
// std::bad_alloc. Logs nothing itself; the caller logs the exception.
std::unique_ptr<IDirectoryWatcher> CreatePlatformDirectoryWatcher(const ioPath& directory, WatchEvent kind,
                                                                  std::function<void()> callback);

// Constructs an armed detailed watcher on `canonicalDirectory` (see
// CreateChangeWatcher for what it reports). Record paths are relative to it,
// in UTF-8 with the preferred separator. On Windows the system's records map
// one to one: actions 1-3 keep their values, an old-name record and the
// new-name record after it make one Renamed (alone, they are Removed and
// Added), and a completion with no bytes (a batch that did not fit) is one
// Overflow. Returns a non-empty pointer or throws
// as CreatePlatformDirectoryWatcher does (with no kind to look up); logs
// nothing itself.
std::unique_ptr<IDirectoryWatcher> CreatePlatformChangeWatcher(const ioPath& canonicalDirectory,
                                                               ChangeCallback callback);

}  // namespace Tarnix::Core
