// Linux steps of placing files without replacing: renameat2 with
// RENAME_NOREPLACE (or link + unlink where the file system lacks the flag),
// and copies staged out of sight (posix/StagedFile.h) that appear only once
// they are complete. The source is held under the removal lock until it is
// gone: that pins down which file is moved, stamped or copied, and keeps
// readers from locking it meanwhile; a source a reader holds is copied from a
// descriptor of our own and stays.
#include "Filesystem/internal/CacheFiles.h"

#include "Filesystem/posix/CacheDirectory.h"
#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/LockFileAt.h"
#include "Filesystem/posix/StagedFile.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace Tarnix::Core {

namespace internal {

namespace {

using posix::UniqueFd;

// Copies all of `source` into the staged file and gives it the source's
// permission bits and both times `times`.
[[nodiscard]] std::error_code FillStaged(int source, const struct stat& sourceStat, int staged,
                                         const timespec (&times)[2]) {
  ::lseek(source, 0, SEEK_SET);
  // Given its whole size first: another machine may list the staging file at
  // any time and keep the size it saw for a while (GlusterFS's md-cache), and
  // then read the published file only that far.
  if (posix::RetryOnEintr([&] { return ::ftruncate(staged, sourceStat.st_size); }) != 0) return posix::LastError();
  const auto keepGoing = [](std::uint64_t) { return CopyProgressAction::Continue; };
  if (auto error = posix::CopyData(source, staged, static_cast<std::uint64_t>(sourceStat.st_size),
                                   posix::CopyMethod::CopyFileRange, keepGoing)) {
    return error;
  }
  // The copy ends where the data did, should the source have been shorter.
  const off_t copied = ::lseek(staged, 0, SEEK_CUR);
  if (copied < 0) return posix::LastError();
  if (copied != sourceStat.st_size && posix::RetryOnEintr([&] { return ::ftruncate(staged, copied); }) != 0) {
    return posix::LastError();
  }
  struct stat stagedStat {};
  if (::fstat(staged, &stagedStat) != 0) return posix::LastError();
  return posix::ApplySourceAttributes(staged, sourceStat.st_mode, stagedStat, times);
}

class Source final : public PlacementSource {
 public:
  Source(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp,
         Staging staging)
      : source_(from.platformString()),
        target_(name.platformString()),
        directoryFd_(posix::DirectoryFd(directory)),
        times_{{static_cast<time_t>(timestamp), 0}, {static_cast<time_t>(timestamp), 0}},
        unnamed_(staging == Staging::UnnamedFile) {}

  [[nodiscard]] std::error_code Open() {
    const std::error_code lockError = posix::LockFileAt(AT_FDCWD, source_.c_str(), LOCK_EX, /*followLinks=*/true,
                                                        std::errc::device_or_resource_busy, &held_, &sourceStat_,
                                                        posix::NameCheck::AsKnown);
    if (lockError) {
      if (lockError != std::errc::device_or_resource_busy) return lockError;
      if (auto error = posix::OpenFile(source_.c_str(), O_RDONLY, 0, &reader_, &sourceStat_)) return error;
    }
    if (!S_ISREG(sourceStat_.st_mode)) return std::make_error_code(std::errc::invalid_argument);
    struct stat directoryStat {};
    if (::fstat(directoryFd_, &directoryStat) != 0) return posix::LastError();
    sameDevice_ = sourceStat_.st_dev == directoryStat.st_dev;
    return {};
  }

  bool CanMove() const override { return held_ && sameDevice_; }

  std::error_code Move() override {
    if (::futimens(held_.get(), times_) != 0) return posix::LastError();
    // The caller may never have flushed what it wrote: the data goes to the
    // device before the name can show it (the rename takes the source's name
    // away in the same step, so a power cut finds it at one of the two).
    if (!dataDurable_) {
      if (posix::RetryOnEintr([&] { return ::fdatasync(held_.get()); }) != 0) return posix::LastError();
      dataDurable_ = true;
    }
    const std::error_code error = posix::RenameNoReplace(AT_FDCWD, source_.c_str(), directoryFd_, target_.c_str());
    if (error) {
      const timespec old[2] = {sourceStat_.st_atim, sourceStat_.st_mtim};
      ::futimens(held_.get(), old);
    }
    return error;
  }

  std::error_code Stage() override {
    if (auto error = staged_.Create(directoryFd_, target_, unnamed_)) return error;
    return FillStaged(held_ ? held_.get() : reader_.get(), sourceStat_, staged_.fd(), times_);
  }

  // Data before name: a power cut shows the old entry or the whole file. The
  // name itself is made durable before the source goes (RemoveSource).
  std::error_code Publish() override { return staged_.Publish(/*replace=*/false, posix::Durability::DataBeforeName); }

  // Only under our removal lock, and only once the copy's name is durable:
  // the data is then at one place or the other after any power cut.
  bool RemoveSource() override {
    return held_ && !posix::SyncDirectory(directoryFd_) && ::unlink(source_.c_str()) == 0;
  }

 private:
  const std::string source_;
  const std::string target_;
  const int directoryFd_;
  const timespec times_[2];
  const bool unnamed_;
  posix::UniqueLockedFd held_;  // the source under our removal lock
  UniqueFd reader_;  // or, when a reader holds it, a descriptor to copy from
  struct stat sourceStat_ {};
  bool sameDevice_ = false;
  bool dataDurable_ = false;  // the source's data, flushed before a move
  posix::StagedFile staged_;
};

}  // namespace

std::error_code OpenPlacementSource(const ioPath& from, const CacheDirectory& directory, const ioPath& name,
                                    long long timestamp, Staging staging, std::unique_ptr<PlacementSource>* source) {
  auto opened = std::make_unique<Source>(from, directory, name, timestamp, staging);
  if (auto error = opened->Open()) return error;
  *source = std::move(opened);
  return {};
}

}  // namespace internal

}  // namespace Tarnix::Core
