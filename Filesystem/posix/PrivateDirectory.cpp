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
  // A level others may write to is refused too: they could swap what lies
  // below it for a link between any check and a clean-up that follows it.
  if (S_ISLNK(entry.st_mode) || entry.st_uid != ::geteuid() || (entry.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return PrivateDirectoryState::kForeign;
  }
  return PrivateDirectoryState::kUsable;
}

}  // namespace Tarnix::Core::internal
