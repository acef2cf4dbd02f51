// Linux copy of one file in bounded steps, with a progress report after each.
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/SystemCall.h"

#include <unistd.h>

namespace Tarnix::Core {

namespace posix {

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const internal::CopyProgressRoutine& progress, CopyMethod firstMethod) {
  UniqueFd in;
  struct stat sourceStatus {};
  if (auto ec = OpenFile(source.platformString().c_str(), O_RDONLY, 0, &in, &sourceStatus, FileKind::Regular)) {
    return ec;
  }

  // Not O_TRUNC: the destination may turn out to be the source itself. A new
  // file is created with the source's permission bits (less the umask, put
  // right at the end when they differ), as cp(1) does.
  const mode_t mode = sourceStatus.st_mode & 0777;
  UniqueFd out;
  struct stat destinationStatus {};
  if (auto ec = OpenFile(destination.platformString().c_str(), O_WRONLY | O_CREAT, mode, &out, &destinationStatus,
                         FileKind::Regular)) {
    return ec;
  }
  if (destinationStatus.st_dev == sourceStatus.st_dev && destinationStatus.st_ino == sourceStatus.st_ino) {
    return std::make_error_code(std::errc::invalid_argument);
  }

  // From here on the destination is ours to change; whatever stops the copy
  // also removes it.
  std::error_code ec;
  if (destinationStatus.st_size != 0 && RetryOnEintr([&] { return ::ftruncate(out.get(), 0); }) != 0) {
    ec = LastError();
  }
  // Doubles the kernel's read-ahead for large files read from disk.
  if (!ec && static_cast<std::uint64_t>(sourceStatus.st_size) >= internal::kCopyChunkBytes) {
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  if (!ec) ec = CopyData(in.get(), out.get(), static_cast<std::uint64_t>(sourceStatus.st_size), firstMethod, progress);
  const struct timespec times[2] = {{0, UTIME_OMIT}, sourceStatus.st_mtim};
  if (!ec) ec = ApplySourceAttributes(out.get(), sourceStatus.st_mode, destinationStatus, times);
  // close() reports write-back errors of some file systems (NFS).
  if (::close(out.release()) != 0 && !ec && errno != EINTR) ec = LastError();
  if (ec) ::unlink(destination.platformString().c_str());
  return ec;
}

}  // namespace posix

namespace internal {

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const CopyProgressRoutine& progress) {
  return posix::CopyFileWithProgress(source, destination, progress, posix::CopyMethod::CopyFileRange);
}

}  // namespace internal

}  // namespace Tarnix::Core
