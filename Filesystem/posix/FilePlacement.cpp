// Linux realisation of placing files without replacing: renameat2 with
// RENAME_NOREPLACE (or link + unlink where the file system lacks the flag),
// and copies staged out of sight (posix/StagedFile.h) that appear only once
// they are complete.
#include "Filesystem/internal/FilePlacement.h"

#include "Filesystem/posix/CacheDirectory.h"
#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/FileLock.h"
#include "Filesystem/posix/StagedFile.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace Tarnix::Core {

namespace internal {

namespace {

using posix::UniqueFd;

// Bounds the rounds of a placement that keeps finding a new file at its
// name: each round made room, so only concurrent writers can make it loop.
constexpr int kPlacementAttempts = 4;

// Renames `source` to `name` in `directoryFd` without replacing.
[[nodiscard]] std::error_code RenameNoReplace(const char* source, int directoryFd, const char* name) {
  if (::renameat2(AT_FDCWD, source, directoryFd, name, RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return posix::LastError();
  // No RENAME_NOREPLACE on this file system: a hard link never replaces either.
  if (::linkat(AT_FDCWD, source, directoryFd, name, 0) != 0) return posix::LastError();
  ::unlink(source);
  return {};
}

// Copies all of `source` into the staged file and gives it the source's
// permission bits and both times `times`.
[[nodiscard]] std::error_code FillStaged(int source, const struct stat& sourceStat, int staged,
                                         const timespec (&times)[2]) {
  ::lseek(source, 0, SEEK_SET);
  const auto keepGoing = [](std::uint64_t) { return CopyProgressAction::Continue; };
  if (auto error = posix::CopyData(source, staged, static_cast<std::uint64_t>(sourceStat.st_size),
                                   posix::CopyMethod::CopyFileRange, keepGoing)) {
    return error;
  }
  struct stat stagedStat {};
  if (::fstat(staged, &stagedStat) != 0) return posix::LastError();
  return posix::ApplySourceAttributes(staged, sourceStat.st_mode, stagedStat, times);
}

}  // namespace

std::error_code PlaceFile(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                          const std::function<bool()>& makeRoom, Placement* placement, Staging staging) {
  *placement = Placement();
  const std::string source = from.platformString();
  const std::string target = name.platformString();
  const int directoryFd = posix::DirectoryFd(directory);
  const timespec times[2] = {{static_cast<time_t>(timestamp), 0}, {static_cast<time_t>(timestamp), 0}};

  // Held until the source is gone: it pins down which file we move, stamp or
  // copy, and keeps readers from locking it meanwhile. A source that a reader
  // holds is copied from a descriptor of our own and stays.
  UniqueFd held;
  struct stat sourceStat {};
  const std::error_code lockError = posix::LockFileAt(AT_FDCWD, source.c_str(), LOCK_EX, /*followLinks=*/true,
                                                      std::errc::device_or_resource_busy, &held, &sourceStat);
  UniqueFd reader;
  if (lockError) {
    if (lockError != std::errc::device_or_resource_busy) return lockError;
    if (auto error = posix::OpenFile(source.c_str(), O_RDONLY, 0, &reader, &sourceStat)) return error;
  }
  if (!S_ISREG(sourceStat.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  struct stat directoryStat {};
  if (::fstat(directoryFd, &directoryStat) != 0) return posix::LastError();
  bool move = held && sourceStat.st_dev == directoryStat.st_dev;

  posix::StagedFile staged;
  const auto stage = [&]() -> std::error_code {
    if (auto error = staged.Create(directoryFd, target, staging == Staging::UnnamedFile)) return error;
    return FillStaged(held ? held.get() : reader.get(), sourceStat, staged.fd(), times);
  };
  if (!move) {
    if (auto error = stage()) return error;
  }

  for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
    if (!makeRoom()) return std::make_error_code(std::errc::device_or_resource_busy);
    if (move) {
      // Stamped before it appears at its new name; the old times come back
      // if it does not move.
      if (::futimens(held.get(), times) != 0) return posix::LastError();
      const std::error_code error = RenameNoReplace(source.c_str(), directoryFd, target.c_str());
      if (!error) {
        placement->placed = true;
        return {};
      }
      const timespec old[2] = {sourceStat.st_atim, sourceStat.st_mtim};
      ::futimens(held.get(), old);
      if (error == std::errc::file_exists) continue;
      // Refused for another reason (one device seen through two mounts, a
      // source directory we may not change): copy it instead.
      move = false;
      if (auto stageError = stage()) return stageError;
      continue;
    }
    const std::error_code error = staged.Publish(/*replace=*/false);
    if (error == std::errc::file_exists) continue;
    if (error) return error;
    placement->placed = true;
    // Removed like a cached file: only under our removal lock.
    placement->sourceKept = !held || ::unlink(source.c_str()) != 0;
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

}  // namespace internal

}  // namespace Tarnix::Core
