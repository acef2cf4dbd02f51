// A cache directory is an O_DIRECTORY descriptor reached with openat2's
// RESOLVE_NO_SYMLINKS (one system call for the whole path in the common
// case), listed through the same descriptor when needed. On a network file
// system each system call is a round trip to a server, so the common paths
// make as few as they can: a found record costs the directory's open, one
// listing, and the file's open, lock, fstat and check.
#include "Filesystem/posix/CacheDirectory.h"

#include "Filesystem/internal/StagingName.h"
#include "Filesystem/posix/Directory.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/LockFileAt.h"
#include "Filesystem/posix/StagedFile.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <string>

namespace Tarnix::Core::internal {

class CacheDirectory::Handle {
 public:
  explicit Handle(posix::UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  int fd() const noexcept { return fd_.get(); }

  // Calls `visit` for each entry but "." and "..", until it returns true.
  // Later listings start from the first entry again (a check of a name
  // through the same descriptor puts its position back).
  template <typename Visit>
  [[nodiscard]] std::error_code ForEach(Visit&& visit) {
    if (listed_ && ::lseek(fd_.get(), 0, SEEK_SET) != 0) return posix::LastError();
    listed_ = true;
    return posix::ListEntries(fd_.get(), std::forward<Visit>(visit));
  }

 private:
  posix::UniqueFd fd_;
  bool listed_ = false;
};

void CacheDirectory::HandleDeleter::operator()(Handle* handle) const noexcept { delete handle; }

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Rounds of "open, else make" for one level. On GlusterFS a mkdir racing with
// another machine's lookup of the same name answers EEXIST, and the open
// right after it still ENOENT; the next round sees the directory.
constexpr int kCreateAttempts = 4;

// openat2 with no symbolic link anywhere in `path`; -1 with errno set.
int OpenWithoutLinks(int at, const char* path) {
  open_how how{};
  how.flags = kDirectoryFlags;
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(posix::RetryOnEintr([&] { return ::syscall(SYS_openat2, at, path, &how, sizeof how); }));
}

// Opens (and with `create` makes) each level of `relative` below the
// directory open as `at`, one at a time: for kernels without openat2 and for
// levels that are missing.
[[nodiscard]] std::error_code WalkLevels(posix::UniqueFd at, const ioPath& relative, bool create,
                                         posix::UniqueFd* opened) {
  bool madeParent = false;
  for (const auto& element : relative.platformString().empty() ? boost::filesystem::path()
                                                               : boost::filesystem::path(relative.platformString())) {
    const std::string name = element.native();
    if (name == "/" || name == "." || name.empty()) continue;
    posix::UniqueFd next;
    std::error_code error;
    // Below a level we just made nothing can be there yet: it is made
    // straight away (on a network file system each call is a round trip).
    bool make = madeParent;
    madeParent = false;
    for (int attempt = 0;; ++attempt) {
      if (make) {
        if (::mkdirat(at.get(), name.c_str(), 0777) == 0) {
          madeParent = true;
        } else if (errno != EEXIST) {
          return posix::LastError();
        }
      }
      error = posix::OpenFileAt(at.get(), name.c_str(), kDirectoryFlags | O_NOFOLLOW, 0, &next);
      if (error != std::errc::no_such_file_or_directory || !create || attempt == kCreateAttempts) break;
      make = true;
    }
    if (error) return error;
    at = std::move(next);
  }
  *opened = std::move(at);
  return {};
}

}  // namespace

std::error_code OpenCacheDirectory(const ioPath& root, const ioPath& relative, bool create, CacheDirectory* directory) {
  // The common case: no link anywhere on the whole path, the root's included.
  std::string whole = root.platformString();
  if (!relative.empty()) {
    if (!whole.empty() && whole.back() != '/') whole += '/';
    whole += relative.platformString();
  }
  if (whole.empty()) whole = ".";
  posix::UniqueFd fd(OpenWithoutLinks(AT_FDCWD, whole.c_str()));
  if (!fd && errno == ENOENT && create) {
    // The common put of a new key: every level but the last one exists.
    const std::size_t slash = whole.find_last_of('/');
    const std::string leaf = slash == std::string::npos ? std::string() : whole.substr(slash + 1);
    if (slash != std::string::npos && slash > 0 && !leaf.empty() && leaf != "." && leaf != "..") {
      posix::UniqueFd parent(OpenWithoutLinks(AT_FDCWD, whole.substr(0, slash).c_str()));
      if (parent) {
        if (auto ec = WalkLevels(std::move(parent), ioPath(leaf), true, &fd)) return ec;
        *directory = CacheDirectory(CacheDirectory::HandlePtr(new CacheDirectory::Handle(std::move(fd))));
        return {};
      }
    }
    errno = ENOENT;
  }
  if (!fd) {
    const int error = errno;
    if (error == ENOENT && !create) return posix::LastError();
    // A link above the root (which is the caller's to follow), a level to
    // create, or a kernel without openat2: from the root, level by level.
    if (error != ELOOP && error != ENOENT && error != ENOSYS && error != EINVAL && error != E2BIG) {
      return posix::LastError();
    }
    const std::string rootPath = root.empty() ? std::string(".") : root.platformString();
    // Levels are relative to the root even when the key starts with a separator.
    std::string relativePath = relative.platformString();
    relativePath.erase(0, std::min(relativePath.find_first_not_of('/'), relativePath.size()));
    posix::UniqueFd rootFd;
    if (auto ec = posix::OpenFileAt(AT_FDCWD, rootPath.c_str(), kDirectoryFlags, 0, &rootFd)) return ec;
    if (error == ELOOP && !relativePath.empty()) {
      fd.reset(OpenWithoutLinks(rootFd.get(), relativePath.c_str()));
      if (!fd && !(errno == ENOENT && create)) return posix::LastError();
    }
    if (!fd) {
      if (auto ec = WalkLevels(std::move(rootFd), relative, create, &fd)) return ec;
    }
  }
  *directory = CacheDirectory(CacheDirectory::HandlePtr(new CacheDirectory::Handle(std::move(fd))));
  return {};
}

std::error_code VisitCachedFiles(const CacheDirectory& directory, bool removeAbandonedStaging,
                                 const std::function<bool(const ioPath& name)>& visit) {
  const int fd = directory.handle().fd();
  return directory.handle().ForEach([&](const posix::DirectoryEntry& entry) {
    if (internal::IsStagingName(entry.name())) {
      if (removeAbandonedStaging) posix::RemoveAbandonedStagingFile(fd, entry.name());
      return false;
    }
    if (posix::IsRemovedFileRemnant(entry.name())) return false;
    return entry.type(/*followLinks=*/false) == posix::DirectoryEntry::Type::Regular && visit(ioPath(entry.name()));
  });
}

std::error_code LockCachedFile(const CacheDirectory& directory, const ioPath& name, FileLock* lock,
                               long long* lastWriteTime) {
  const std::string native = name.platformString();
  if (internal::IsStagingName(native) || posix::IsRemovedFileRemnant(native.c_str())) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  posix::UniqueLockedFd fd;
  struct stat status {};
  if (auto error = posix::LockFileAt(directory.handle().fd(), native.c_str(), LOCK_SH, /*followLinks=*/false,
                                     std::errc::resource_unavailable_try_again, &fd, &status)) {
    return error;
  }
  if (!S_ISREG(status.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  *lastWriteTime = status.st_mtim.tv_sec;
  *lock = FileLock(fd.release());
  return {};
}

std::error_code RemoveCachedFile(const CacheDirectory& directory, const ioPath& name) {
  const std::string native = name.platformString();
  const int at = directory.handle().fd();
  posix::UniqueLockedFd held;
  struct stat status {};
  if (auto error = posix::LockFileAt(at, native.c_str(), LOCK_EX, /*followLinks=*/false,
                                     std::errc::device_or_resource_busy, &held, &status)) {
    return error;
  }
  if (!S_ISREG(status.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  // Unlinked while we hold the lock: no reader can lock it in between.
  if (::unlinkat(at, native.c_str(), 0) != 0) return posix::LastError();
  return {};
}

}  // namespace Tarnix::Core::internal

namespace Tarnix::Core::posix {

int DirectoryFd(const internal::CacheDirectory& directory) noexcept { return directory.handle().fd(); }

}  // namespace Tarnix::Core::posix
