// Attributes on Linux: of the Windows set only the read-only bit has a
// counterpart, the write permission bits.
#include "Filesystem/internal/PathAttribute.h"
#include "Filesystem/posix/SystemCall.h"

#include <sys/stat.h>

namespace Tarnix::Core::internal {

std::error_code ApplyWindowsAttributes(const ioPath& path, std::uint32_t windowsAttributes) {
  const auto native = path.platformString();
  struct stat status {};
  if (posix::RetryOnEintr([&] { return ::stat(native.c_str(), &status); }) != 0) return posix::LastError();

  mode_t mode = status.st_mode & 07777;
  if (windowsAttributes & kFileAttributeReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    // Leaving read-only gives writing back to the owner only: the group and
    // others never had it from us, so we do not invent it for them.
    mode |= S_IWUSR;
  }
  if (mode == (status.st_mode & 07777)) return {};
  if (posix::RetryOnEintr([&] { return ::chmod(native.c_str(), mode); }) != 0) return posix::LastError();
  return {};
}

}  // namespace Tarnix::Core::internal
