// The removal relative to each directory's descriptor, as Boost's remove_all
// does it on Linux: each directory is opened once (openat, no link
// followed), its entries are typed by the listing and unlinked relative to
// it (unlinkat). The only call added per entry is the fstatat that gives a
// regular file's size.
#include "Filesystem/internal/TreeRemoval.h"

#include "Filesystem/posix/Directory.h"
#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace Tarnix::Core::internal {
namespace {

using posix::DirectoryEntry;
using posix::DirectoryStream;
using posix::LastError;
using posix::RetryOnEintr;
using posix::UniqueFd;

enum class Kind { Directory, Regular, Other };

// Removes `name` in the directory open as `parentFd` (AT_FDCWD: a path).
std::uintmax_t RemoveAt(int parentFd, const char* name, Kind kind, const RemovedEntry& removed,
                        std::error_code* error) {
  std::uintmax_t count = 0;
  unsigned long long bytes = 0;
  if (kind == Kind::Directory) {
    UniqueFd fd(RetryOnEintr(
        [&] { return ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY); }));
    DirectoryStream listing;
    if (!fd) {
      if (errno == ENOENT) return 0;  // gone meanwhile
      *error = LastError();
      return 0;
    }
    if ((*error = listing.Adopt(std::move(fd)))) return 0;
    const std::error_code listed = listing.ForEach([&](const DirectoryEntry& entry) {
      using Type = DirectoryEntry::Type;
      const Type type = entry.type(/*followLinks=*/false);
      if (type == Type::Missing) return false;
      const Kind entryKind = type == Type::Directory ? Kind::Directory : type == Type::Regular ? Kind::Regular : Kind::Other;
      count += RemoveAt(listing.fd(), entry.name(), entryKind, removed, error);
      return static_cast<bool>(*error);  // the first failure ends the removal
    });
    if (*error) return count;
    if (listed) {
      *error = listed;
      return count;
    }
  } else if (kind == Kind::Regular) {
    struct stat status {};
    if (::fstatat(parentFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0) bytes = static_cast<unsigned long long>(status.st_size);
  }
  if (::unlinkat(parentFd, name, kind == Kind::Directory ? AT_REMOVEDIR : 0) != 0) {
    if (errno != ENOENT) *error = LastError();
    return count;
  }
  removed(bytes);
  return count + 1;
}

}  // namespace

std::uintmax_t RemoveTreeReporting(const ioPath& path, const RemovedEntry& removed, std::error_code* error) {
  *error = std::error_code();
  const std::string top = path.platformString();
  struct stat status {};
  if (::fstatat(AT_FDCWD, top.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) *error = LastError();
    return 0;
  }
  const Kind kind = S_ISDIR(status.st_mode) ? Kind::Directory : S_ISREG(status.st_mode) ? Kind::Regular : Kind::Other;
  return RemoveAt(AT_FDCWD, top.c_str(), kind, removed, error);
}

}  // namespace Tarnix::Core::internal
