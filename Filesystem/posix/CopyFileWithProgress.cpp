// Linux copy of one file in bounded steps, with a progress report after each,
// staged out of sight in the destination's directory, flushed, and renamed
// over the destination only once it is complete and on the device.
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/StagedFile.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tarnix::Core {

namespace posix {

namespace {

// The size from which a copy's data is sent on its way as soon as it is written.
constexpr std::uint64_t kWriteBehindFrom = 1u << 20;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether what is at `name` in `directoryFd` may be replaced by a copy of
// `source`: nothing, a regular file, or a symbolic link (replaced, not
// followed), but never the source itself under another name.
[[nodiscard]] std::error_code CheckReplaceable(int directoryFd, const char* name, const struct stat& source) {
  struct stat entry {};
  if (::fstatat(directoryFd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? std::error_code() : LastError();
  }
  struct stat target = entry;
  const bool resolved = !S_ISLNK(entry.st_mode) || ::fstatat(directoryFd, name, &target, 0) == 0;
  if ((resolved && SameFile(target, source)) || !(S_ISREG(entry.st_mode) || S_ISLNK(entry.st_mode))) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  return {};
}

}  // namespace

std::error_code OpenDestinationDirectory(const ioPath& destination, UniqueFd* directory) {
  const std::string name = destination.filename().platformString();
  if (name.empty() || name == "." || name == ".." || name == "/") {
    return std::make_error_code(std::errc::invalid_argument);
  }
  const std::string parent = destination.parent_path().platformString();
  const char* path = parent.empty() ? "." : parent.c_str();
  // Readable, so that it can be flushed; a directory we may only search will do without.
  const std::error_code error = OpenFile(path, O_RDONLY | O_DIRECTORY, 0, directory);
  if (error != std::errc::permission_denied) return error;
  return OpenFile(path, O_PATH | O_DIRECTORY, 0, directory);
}

std::error_code StageCopy(const ioPath& source, const ioPath& destination, const internal::CopyProgressRoutine& progress,
                          CopyMethod firstMethod, int directoryFd, StagedFile* staged) {
  UniqueFd in;
  struct stat sourceStatus {};
  if (auto ec = OpenFile(source.platformString().c_str(), O_RDONLY, 0, &in, &sourceStatus, FileKind::Regular)) {
    return ec;
  }
  const std::string name = destination.filename().platformString();
  if (auto ec = CheckReplaceable(directoryFd, name.c_str(), sourceStatus)) return ec;

  // Whatever stops the copy from here on discards the staged file; the
  // destination keeps what it had.
  if (auto ec = staged->Create(directoryFd, name, /*unnamed=*/true)) return ec;
  // Doubles the kernel's read-ahead for large files read from disk.
  if (static_cast<std::uint64_t>(sourceStatus.st_size) >= internal::kCopyChunkBytes) {
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  // Each chunk starts on its way to the device as soon as it is copied, so
  // that the flush before publishing waits for the last chunk only.
  std::uint64_t writtenBack = 0;
  const auto progressWithWriteback = [&](std::uint64_t copied) {
    if (copied - writtenBack >= internal::kCopyChunkBytes) {
      staged->StartWriteback(writtenBack, copied - writtenBack);
      writtenBack = copied;
    }
    return progress(copied);
  };
  if (auto ec = CopyData(in.get(), staged->fd(), static_cast<std::uint64_t>(sourceStatus.st_size), firstMethod,
                         progressWithWriteback)) {
    return ec;
  }
  // The rest goes too, unless the file is small: many small files are written
  // more cheaply together, by the flush of their batch.
  if (static_cast<std::uint64_t>(sourceStatus.st_size) >= kWriteBehindFrom) staged->StartWriteback(writtenBack, 0);
  struct stat stagedStatus {};
  if (::fstat(staged->fd(), &stagedStatus) != 0) return LastError();
  const struct timespec times[2] = {{0, UTIME_OMIT}, sourceStatus.st_mtim};
  return ApplySourceAttributes(staged->fd(), sourceStatus.st_mode, stagedStatus, times);
}

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const internal::CopyProgressRoutine& progress, CopyMethod firstMethod,
                                     Durability durability) {
  UniqueFd directory;
  if (auto ec = OpenDestinationDirectory(destination, &directory)) return ec;
  StagedFile staged;
  if (auto ec = StageCopy(source, destination, progress, firstMethod, directory.get(), &staged)) return ec;
  return staged.Publish(/*replace=*/true, durability);
}

}  // namespace posix

namespace internal {

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const CopyProgressRoutine& progress) {
  return posix::CopyFileWithProgress(source, destination, progress, posix::CopyMethod::CopyFileRange,
                                     posix::Durability::DataAndName);
}

}  // namespace internal

}  // namespace Tarnix::Core
