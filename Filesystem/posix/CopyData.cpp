// All three ways of moving data (copy_file_range, sendfile, read/write) work
// at the descriptors' own file positions, so a copy can switch to a slower
// way in the middle of a file and go on where the refused call left off.
#include "Filesystem/posix/CopyData.h"

#include "Filesystem/posix/SystemCall.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace Tarnix::Core::posix {

namespace {

using internal::CopyProgressAction;
using internal::kCopyChunkBytes;

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
    const ssize_t written = RetryOnEintr([&] { return ::write(fd, data, size); });
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
      return RetryOnEintr([&] { return ::copy_file_range(in, nullptr, out, nullptr, limit, 0); });
    case CopyMethod::SendFile:
      return RetryOnEintr([&] { return ::sendfile(out, in, nullptr, limit); });
    case CopyMethod::ReadWrite:
      break;
  }
  if (!*buffer) buffer->reset(new char[kBufferBytes]);
  const ssize_t got = RetryOnEintr([&] { return ::read(in, buffer->get(), std::min(limit, kBufferBytes)); });
  if (got <= 0) return got;
  return WriteAll(out, buffer->get(), static_cast<std::size_t>(got)) ? got : -1;
}

}  // namespace

std::error_code CopyData(int in, int out, std::uint64_t sourceSize, CopyMethod method,
                         const internal::CopyProgressRoutine& progress) {
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
      return LastError();
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

std::error_code ApplySourceAttributes(int fd, mode_t sourceMode, const struct stat& current,
                                      const struct timespec (&times)[2]) {
  const mode_t mode = sourceMode & 0777;
  if ((current.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
    return LastError();
  }
  if (::futimens(fd, times) != 0) return LastError();
  return {};
}

}  // namespace Tarnix::Core::posix
