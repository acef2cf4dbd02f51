// Directories and files inside a cache root, reached without following any
// symbolic link (or junction) below the root.
//
// A cache root may be writable by several users. Whoever can write there can
// plant a link where a record directory, a key level or a cached file should
// be; followed, it would let a put delete or write files outside the root and
// a lookup hand out a file nobody cached. So the caches open the directory
// they work in once, refusing links on the way below the root (the root
// itself is the caller's and is followed), and then name files only relative
// to that open directory: a link swapped in afterwards changes nothing.
//
// Staging files (see CacheFiles.h) are not cached files, and neither are
// the remnants network and FUSE file systems keep of a removed file that is
// still open (".nfs…", ".fuse_hidden…"): listings pass over them and they
// are never locked for readers.
#pragma once

#include "Filesystem/internal/FileLocks.h"
#include "Filesystem/ioPath.h"

#include <functional>
#include <memory>
#include <system_error>
#include <utility>

namespace Tarnix::Core::internal {

// Move-only owner of an open directory inside a cache root. Never throws.
class CacheDirectory {
 public:
  class Handle;  // defined by the platform
  struct HandleDeleter {
    void operator()(Handle* handle) const noexcept;  // defined by the platform
  };
  using HandlePtr = std::unique_ptr<Handle, HandleDeleter>;

  CacheDirectory() noexcept = default;
  explicit CacheDirectory(HandlePtr handle) noexcept : handle_(std::move(handle)) {}

  explicit operator bool() const noexcept { return handle_ != nullptr; }
  Handle& handle() const noexcept { return *handle_; }

 private:
  HandlePtr handle_;
};

// Opens the directory `relative` below `root`, or `root` itself when
// `relative` is empty. `relative` is a relative path of plain names (no "..";
// the caller checks). With `create`, missing levels are created (mode 0777
// less the umask) as they are met. Errors: errc::no_such_file_or_directory
// when a level is missing (and not created); errc::too_many_symbolic_link_levels
// when a level below the root is a symbolic link; errc::not_a_directory when
// one is something else; otherwise the system's error.
[[nodiscard]] std::error_code OpenCacheDirectory(const ioPath& root, const ioPath& relative, bool create,
                                                 CacheDirectory* directory);

// Calls `visit` with the name of each regular file directly in `directory`
// (not symbolic links, not staging files or remnants), in the order the file system
// lists them, until it returns true. With `removeAbandonedStaging`, staging
// files that nobody is writing (left by a process that died) are removed as
// they are met. Entries added or removed meanwhile may or may not be visited.
// Errors: the listing's.
[[nodiscard]] std::error_code VisitCachedFiles(const CacheDirectory& directory, bool removeAbandonedStaging,
                                               const std::function<bool(const ioPath& name)>& visit);

// Takes a read lock on the regular file `name` in `directory` without
// waiting (a symbolic link is not followed), checked as AcquireReadLock
// checks it, and reads its last-write time (seconds since 1970) from the
// locked file. On success `*lock` is live. Errors: those of AcquireReadLock;
// errc::no_such_file_or_directory for a staging file or a remnant; an error for anything
// but a regular file.
[[nodiscard]] std::error_code LockCachedFile(const CacheDirectory& directory, const ioPath& name, FileLock* lock,
                                             long long* lastWriteTime);

// Removes the regular file `name` in `directory` as Tarnix::Core::RemoveFile
// removes a file (under the removal lock), without following a symbolic link.
// Errors: errc::no_such_file_or_directory when nothing is there;
// errc::device_or_resource_busy when a reader holds it; errc::permission_denied
// (Linux) when this user cannot open it and so cannot tell whether it is held;
// an error for anything but a regular file, which stays.
[[nodiscard]] std::error_code RemoveCachedFile(const CacheDirectory& directory, const ioPath& name);

}  // namespace Tarnix::Core::internal
