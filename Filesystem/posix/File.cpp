#include "Filesystem/posix/File.h"

#include "Filesystem/posix/SystemCall.h"

namespace Tarnix::Core::posix {

std::error_code OpenFile(const char* path, int flags, mode_t mode, UniqueFd* fd, struct stat* status, FileKind kind) {
  return OpenFileAt(AT_FDCWD, path, flags, mode, fd, status, kind);
}

std::error_code OpenFileAt(int directoryFd, const char* path, int flags, mode_t mode, UniqueFd* fd,
                           struct stat* status, FileKind kind) {
  fd->reset(RetryOnEintr([&] { return ::openat(directoryFd, path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode); }));
  if (!fd->valid()) return LastError();
  if (status == nullptr && kind == FileKind::Any) return {};
  struct stat own {};
  struct stat* st = status != nullptr ? status : &own;
  if (::fstat(fd->get(), st) != 0) return LastError();
  if (kind == FileKind::Regular && !S_ISREG(st->st_mode)) return std::make_error_code(std::errc::invalid_argument);
  return {};
}

}  // namespace Tarnix::Core::posix
