// Linux realisation of placing files without replacing: renameat2 with
// RENAME_NOREPLACE (or link + unlink where the file system lacks the flag),
// and copies staged in an O_TMPFILE file that linkat makes visible only once
// it is complete.
#include "Filesystem/internal/FilePlacement.h"

#include "Filesystem/internal/FileLocks.h"
#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace Tarnix::Core::internal {

namespace {

using posix::UniqueFd;

// Both times of a placed file: whole seconds, no fraction.
void WholeSeconds(long long seconds, timespec (&times)[2]) {
  times[0] = timespec{static_cast<time_t>(seconds), 0};
  times[1] = times[0];
}

[[nodiscard]] std::error_code RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return posix::LastError();
  // No RENAME_NOREPLACE on this file system: a hard link never replaces either.
  if (::link(from.c_str(), to.c_str()) != 0) return posix::LastError();
  ::unlink(from.c_str());
  return {};
}

// Fills the freshly created `staged` from `source` and gives it its final
// permission bits and times.
[[nodiscard]] std::error_code FillStaged(int source, const struct stat& sourceStat, int staged, long long timestamp) {
  const auto keepGoing = [](std::uint64_t) { return CopyProgressAction::Continue; };
  if (auto error = posix::CopyData(source, staged, static_cast<std::uint64_t>(sourceStat.st_size),
                                   posix::CopyMethod::CopyFileRange, keepGoing)) {
    return error;
  }
  struct stat stagedStat {};
  if (::fstat(staged, &stagedStat) != 0) return posix::LastError();
  timespec times[2];
  WholeSeconds(timestamp, times);
  return posix::ApplySourceAttributes(staged, sourceStat.st_mode, stagedStat, times);
}

std::string DirectoryOf(const ioPath& path) {
  const std::string parent = path.parent_path().platformString();
  return parent.empty() ? std::string(".") : parent;
}

[[nodiscard]] std::error_code CopyViaUnnamedFile(int source, const struct stat& sourceStat, const ioPath& to,
                                                 long long timestamp, bool* unsupported) {
  UniqueFd staged(
      posix::RetryOnEintr([&] { return ::open(DirectoryOf(to).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); }));
  if (!staged) {
    *unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
    return posix::LastError();
  }
  if (auto error = FillStaged(source, sourceStat, staged.get(), timestamp)) return error;
  const std::string target = to.platformString();
  // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the /proc link works for anyone.
  if (::linkat(staged.get(), "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0) return {};
  if (errno != ENOENT && errno != EPERM) return posix::LastError();
  const std::string viaProc = "/proc/self/fd/" + std::to_string(staged.get());
  if (::linkat(AT_FDCWD, viaProc.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
  return posix::LastError();
}

[[nodiscard]] std::error_code CopyViaNamedTempFile(int source, const struct stat& sourceStat, const ioPath& to,
                                                   long long timestamp) {
  std::string pattern = DirectoryOf(to) + "/." + to.filename().platformString() + ".XXXXXX";
  UniqueFd staged(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!staged) return posix::LastError();
  // Held until the temporary name is gone: a lookup or a clean-up that meets
  // the file meanwhile sees it as busy and passes over it.
  std::error_code error;
  if (posix::RetryOnEintr([&] { return ::flock(staged.get(), LOCK_EX | LOCK_NB); }) != 0) error = posix::LastError();
  if (!error) error = FillStaged(source, sourceStat, staged.get(), timestamp);
  if (!error && ::link(pattern.c_str(), to.platformString().c_str()) != 0) error = posix::LastError();
  ::unlink(pattern.c_str());
  return error;
}

}  // namespace

std::error_code MoveIntoPlace(const ioPath& from, const ioPath& to, long long timestamp, bool* placed) {
  *placed = false;
  const std::string source = from.platformString();
  const std::string target = to.platformString();
  timespec times[2];
  WholeSeconds(timestamp, times);

  // A file someone reads stays where it is, as a removal would leave it. The
  // lock also pins down which file we move and stamp.
  FileLock lock;
  if (auto error = AcquireRemovalLock(from, &lock)) return error;
  const int fd = static_cast<int>(lock.native());

  // Stamp the file before it appears at its new path, and restore its old
  // times if it does not move. A source we could not open is stamped by path
  // afterwards.
  struct stat before {};
  const bool stamped = lock && ::fstat(fd, &before) == 0 && ::futimens(fd, times) == 0;

  if (auto error = RenameNoReplace(source, target)) {
    if (stamped) {
      const timespec old[2] = {before.st_atim, before.st_mtim};
      ::futimens(fd, old);
    }
    return error;
  }
  *placed = true;
  if (!stamped && ::utimensat(AT_FDCWD, target.c_str(), times, 0) != 0) return posix::LastError();
  return {};
}

std::error_code CopyIntoPlace(const ioPath& from, const ioPath& to, long long timestamp, Staging staging) {
  UniqueFd source;
  struct stat sourceStat {};
  if (auto error = posix::OpenFile(from.platformString().c_str(), O_RDONLY, 0, &source, &sourceStat,
                                   posix::FileKind::Regular)) {
    return error;
  }

  if (staging == Staging::UnnamedFile) {
    bool unsupported = false;
    auto error = CopyViaUnnamedFile(source.get(), sourceStat, to, timestamp, &unsupported);
    if (!unsupported) return error;
  }
  return CopyViaNamedTempFile(source.get(), sourceStat, to, timestamp);
}

}  // namespace Tarnix::Core::internal
