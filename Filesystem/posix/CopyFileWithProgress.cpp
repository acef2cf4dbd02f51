// Linux copy of one file in bounded steps, with a progress report after each.
//
// All three ways of moving data (copy_file_range, sendfile, read/write) work
// at the descriptors' own file positions, so a copy can switch to a slower
// way in the middle of a file and go on where the refused call left off.
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/SystemCall.h"
#include "RAII/UniqueFd.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace Tarnix::Core::internal {

namespace {

// The read/write fallback moves this much per step; it only runs where the
// kernel refuses both in-kernel copies, mostly for small pseudo files.
constexpr std::size_t kBufferBytes = 1u << 20;

// Errors with which the kernel or a file system says "not this way for these
// two files" rather than "this copy cannot be done".
bool IsRefusal(int error) {
  switch (error) {
    case EXDEV:       // between file systems (before 5.3, and between types since 5.19)
    case ENOSYS:      // older kernels, seccomp filters
    case EOPNOTSUPP:  // file systems without the operation (also ENOTSUP)
    case EINVAL:      // no splice support (procfs, sysfs), unsupported flags or offsets
    case EPERM:       // sandboxes and some FUSE file systems
    case EBADF:       // descriptors the call cannot use (e.g. append mode)
    case ETXTBSY:     // swap files and other files the kernel holds
      return true;
    default:
      return false;
  }
}

CopyMethod Slower(CopyMethod method) {
  return method == CopyMethod::CopyFileRange ? CopyMethod::SendFile : CopyMethod::ReadWrite;
}

// Writes all `size` bytes of `data` at the descriptor's position.
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = posix::RetryOnEintr([&] { return ::write(fd, data, size); });
    if (written < 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Moves at most `limit` bytes from `in` to `out` with `method`. Returns the
// bytes moved, 0 at the end of the source, -1 with errno set. This is the only
// place the data moves: interrupted calls are retried and short writes
// completed here.
ssize_t TransferStep(CopyMethod method, int in, int out, std::size_t limit, std::unique_ptr<char[]>* buffer) {
  switch (method) {
    case CopyMethod::CopyFileRange:
      return posix::RetryOnEintr([&] { return ::copy_file_range(in, nullptr, out, nullptr, limit, 0); });
    case CopyMethod::SendFile:
      return posix::RetryOnEintr([&] { return ::sendfile(out, in, nullptr, limit); });
    case CopyMethod::ReadWrite:
      break;
  }
  if (!*buffer) buffer->reset(new char[kBufferBytes]);
  const ssize_t got = posix::RetryOnEintr([&] { return ::read(in, buffer->get(), std::min(limit, kBufferBytes)); });
  if (got <= 0) return got;
  return WriteAll(out, buffer->get(), static_cast<std::size_t>(got)) ? got : -1;
}

// Opens `path` for the copy and checks that it is a regular file. O_NONBLOCK
// keeps the open from hanging on a FIFO; it stays set, because regular files
// ignore it in read, write, copy_file_range and sendfile, and a pseudo file
// that would block a read (/proc/kmsg) then fails the copy instead of hanging.
[[nodiscard]] std::error_code OpenRegular(const ioPath& path, int flags, mode_t mode, UniqueFd* fd,
                                          struct stat* status) {
  fd->reset(posix::RetryOnEintr(
      [&] { return ::open(path.platformString().c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode); }));
  if (!fd->valid()) return posix::LastError();
  if (::fstat(fd->get(), status) != 0) return posix::LastError();
  if (!S_ISREG(status->st_mode)) return std::make_error_code(std::errc::invalid_argument);
  return {};
}

// Gives the copy the source's permission bits and last-write time. A file
// system that cannot hold them, or a destination owned by someone else that
// we may write but not re-stamp, keeps its own: the data is what counts.
[[nodiscard]] std::error_code CopyAttributes(int fd, const struct stat& source, const struct stat& destination) {
  const auto tolerated = [](int error) { return error == EPERM || error == EOPNOTSUPP; };
  const mode_t mode = source.st_mode & 0777;
  if ((destination.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0 && !tolerated(errno)) {
    return posix::LastError();
  }
  const struct timespec times[2] = {{0, UTIME_OMIT}, source.st_mtim};
  if (::futimens(fd, times) != 0 && !tolerated(errno)) return posix::LastError();
  return {};
}

}  // namespace

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const CopyProgressRoutine& progress, CopyMethod firstMethod) {
  UniqueFd in;
  struct stat sourceStatus {};
  if (auto ec = OpenRegular(source, O_RDONLY, 0, &in, &sourceStatus)) return ec;

  // Not O_TRUNC: the destination may turn out to be the source itself. A new
  // file is created with the source's permission bits (less the umask, put
  // right at the end when they differ), as cp(1) does.
  const mode_t mode = sourceStatus.st_mode & 0777;
  UniqueFd out;
  struct stat destinationStatus {};
  if (auto ec = OpenRegular(destination, O_WRONLY | O_CREAT, mode, &out, &destinationStatus)) return ec;
  if (destinationStatus.st_dev == sourceStatus.st_dev && destinationStatus.st_ino == sourceStatus.st_ino) {
    return std::make_error_code(std::errc::invalid_argument);
  }

  // From here on the destination is ours to change; whatever stops the copy
  // also removes it.
  std::error_code ec;
  if (destinationStatus.st_size != 0 && posix::RetryOnEintr([&] { return ::ftruncate(out.get(), 0); }) != 0) {
    ec = posix::LastError();
  }
  // Doubles the kernel's read-ahead for large files read from disk.
  if (!ec && static_cast<std::uint64_t>(sourceStatus.st_size) >= kCopyChunkBytes) {
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  if (!ec) ec = posix::CopyData(in.get(), out.get(), static_cast<std::uint64_t>(sourceStatus.st_size), firstMethod, progress);
  if (!ec) ec = CopyAttributes(out.get(), sourceStatus, destinationStatus);
  // close() reports write-back errors of some file systems (NFS); it is not
  // retried on EINTR because Linux releases the descriptor either way.
  if (::close(out.release()) != 0 && !ec && errno != EINTR) ec = posix::LastError();
  if (ec) ::unlink(destination.platformString().c_str());
  return ec;
}

}  // namespace Tarnix::Core::internal

namespace Tarnix::Core::posix {

using internal::CopyMethod;
using internal::CopyProgressAction;
using internal::CopyProgressRoutine;
using internal::IsRefusal;
using internal::kCopyChunkBytes;
using internal::Slower;
using internal::TransferStep;

std::error_code CopyData(int in, int out, std::uint64_t sourceSize, CopyMethod method,
                         const CopyProgressRoutine& progress) {
  std::unique_ptr<char[]> buffer;
  std::uint64_t copied = 0;
  if (progress(0) == CopyProgressAction::Cancel) return std::make_error_code(std::errc::operation_canceled);
  for (;;) {
    const ssize_t moved = TransferStep(method, in, out, kCopyChunkBytes, &buffer);
    if (moved < 0) {
      if (method != CopyMethod::ReadWrite && IsRefusal(errno)) {
        method = Slower(method);
        continue;
      }
      return posix::LastError();
    }
    if (moved == 0) {
      if (method != CopyMethod::ReadWrite && (copied == 0 || copied < sourceSize)) {
        method = Slower(method);
        continue;
      }
      return {};
    }
    copied += static_cast<std::uint64_t>(moved);
    if (progress(copied) == CopyProgressAction::Cancel) return std::make_error_code(std::errc::operation_canceled);
  }
}

}  // namespace Tarnix::Core::posix
