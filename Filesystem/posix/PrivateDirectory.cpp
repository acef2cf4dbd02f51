#include "Filesystem/internal/PrivateDirectory.h"

#include "Filesystem/posix/SystemCall.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Tarnix::Core::internal {

std::error_code CreatePrivateDirectory(const ioPath& path) {
  if (::mkdir(path.platformString().c_str(), S_IRWXU) != 0) return posix::LastError();
  return {};
}

PrivateDirectoryState MakePrivateDirectory(const ioPath& path) {
  // A failed creation is not an error here: what counts is what is there now.
  (void)CreatePrivateDirectory(path);
  struct stat entry {};
  if (::lstat(path.platformString().c_str(), &entry) != 0) return PrivateDirectoryState::kMissing;
  // lstat, not stat: a link is refused whoever owns it and wherever it points.
  if (S_ISLNK(entry.st_mode) || entry.st_uid != ::geteuid()) return PrivateDirectoryState::kForeign;
  return PrivateDirectoryState::kUsable;
}

}  // namespace Tarnix::Core::internal
