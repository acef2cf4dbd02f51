// The platform's watcher behind IDirectoryWatcher (posix/DirectoryWatcher.cpp
// on Linux). Internal to the library.
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

}  // namespace Tarnix::Core
