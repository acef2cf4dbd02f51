#include "Filesystem/posix/StagedFile.h"

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/internal/StagingName.h"
#include "Filesystem/posix/File.h"
#include "Filesystem/posix/LockFileAt.h"
#include "Filesystem/posix/SystemCall.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace Tarnix::Core::posix {

namespace {

// Creation attempts before giving up: the first under the name derived from
// the target, the others under names of their own.
constexpr int kNameAttempts = 8;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

bool IsRemovedFileRemnant(const char* name) noexcept {
  return std::strncmp(name, ".nfs", 4) == 0 || std::strncmp(name, ".fuse_hidden", 12) == 0;
}

void RemoveAbandonedStagingFile(int directoryFd, const char* name) noexcept {
  UniqueLockedFd held;
  if (LockFileAt(directoryFd, name, LOCK_EX, /*followLinks=*/false, std::errc::device_or_resource_busy, &held)) {
    return;  // someone is writing it, or it went away
  }
  ::unlinkat(directoryFd, name, 0);
}

std::error_code RenameNoReplace(int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to) {
  if (::renameat2(fromDirectoryFd, from, toDirectoryFd, to, RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return LastError();
  if (::linkat(fromDirectoryFd, from, toDirectoryFd, to, 0) != 0) return LastError();
  ::unlinkat(fromDirectoryFd, from, 0);
  return {};
}

std::error_code SyncDirectory(int directoryFd) {
  // The directory opened for reading; one this user may not read is left as it is.
  UniqueFd readable;
  const auto openReadable = [&] {
    const std::error_code error = OpenFileAt(directoryFd, ".", O_RDONLY | O_DIRECTORY, 0, &readable);
    return error == std::errc::permission_denied ? std::error_code() : error;
  };
  if (::fsync(directoryFd) != 0) {
    if (errno != EBADF) return LastError();
    // An O_PATH descriptor cannot be flushed: the directory opened for reading can.
    if (auto error = openReadable()) return error;
    if (readable && ::fsync(readable.get()) != 0) return LastError();
  }
  // XFS answers a directory's flush from memory when nothing of it is waiting
  // for the log, and that holds too after the file system has shut down (a
  // power cut, a failing device) and dropped what was waiting: the flush
  // succeeds, the names are gone. Opening the directory again asks the file
  // system whether it is still up; a caller about to remove the only other
  // copy must not take the flush's word alone.
  return openReadable();
}

StagedFile::~StagedFile() {
  // Still ours: we hold its lock, so nobody else took it over meanwhile.
  if (!stagingName_.empty()) ::unlinkat(directoryFd_, stagingName_.c_str(), 0);
}

std::error_code StagedFile::Create(int directoryFd, const std::string& name, bool unnamed) {
  directoryFd_ = directoryFd;
  name_ = name;
  if (unnamed) {
    const std::error_code error = OpenFileAt(directoryFd, ".", O_TMPFILE | O_WRONLY, 0600, &fd_);
    // Without unnamed files: EOPNOTSUPP from the file system, EISDIR from
    // kernels that predate them, EINVAL where the flags are not understood.
    if (!error || (error != std::errc::operation_not_supported && error != std::errc::is_a_directory &&
                   error != std::errc::invalid_argument)) {
      return error;
    }
  }
  return CreateNamed();
}

std::error_code StagedFile::CreateNamed() {
  std::error_code error;
  bool clearedDerived = false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // The derived name may hold a file a killed process left: it is taken
    // over. Any other name must be new.
    const std::string candidate = attempt == 0 ? internal::DerivedStagingName(name_) : internal::UniqueStagingName(name_);
    UniqueLockedFd fd;
    struct stat created {};
    error = OpenFileAt(directoryFd_, candidate.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | (attempt == 0 ? 0 : O_EXCL),
                       0600, &fd, &created);
    if (error) {
      if (attempt == 0 || error == std::errc::file_exists) continue;
      return error;
    }
    // Only a plain file of our own with no other name is ours to empty; a
    // hard link planted under the derived name must not truncate its target.
    if (!S_ISREG(created.st_mode) || created.st_uid != ::geteuid() || created.st_nlink != 1) {
      // One a killed publish left as a second name of the file it published
      // goes (unless someone holds it), so that the derived name serves again.
      if (attempt == 0 && !clearedDerived) {
        fd.reset();
        RemoveAbandonedStagingFile(directoryFd_, candidate.c_str());
        clearedDerived = true;
        --attempt;
      }
      continue;
    }
    if (RetryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
      if (errno == EWOULDBLOCK) continue;  // another staging for the same target, or a clean-up
      return LastError();
    }
    // A clean-up may have removed the name between our open and our lock.
    struct stat named {};
    if (::fstatat(directoryFd_, candidate.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(named, created)) {
      continue;
    }
    stagingName_ = candidate;
    fd_ = std::move(fd);
    if (created.st_size != 0 && RetryOnEintr([&] { return ::ftruncate(fd_.get(), 0); }) != 0) return LastError();
    return {};
  }
  return error ? error : std::make_error_code(std::errc::file_exists);
}

std::error_code StagedFile::LinkUnnamed(const std::string& as) {
  // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the /proc link works for anyone.
  if (::linkat(fd_.get(), "", directoryFd_, as.c_str(), AT_EMPTY_PATH) == 0) return {};
  if (errno != ENOENT && errno != EPERM) return LastError();
  const std::string viaProc = "/proc/self/fd/" + std::to_string(fd_.get());
  if (::linkat(AT_FDCWD, viaProc.c_str(), directoryFd_, as.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
  return LastError();
}

std::error_code StagedFile::NameUnnamed() {
  // Locked before it has a name, so that a clean-up never takes it for abandoned.
  if (RetryOnEintr([&] { return ::flock(fd_.get(), LOCK_EX | LOCK_NB); }) != 0) return LastError();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string candidate = internal::UniqueStagingName(name_);
    const std::error_code error = LinkUnnamed(candidate);
    if (error == std::errc::file_exists) continue;
    if (!error) stagingName_ = candidate;
    return error;
  }
  return std::make_error_code(std::errc::file_exists);
}

void StagedFile::StartWriteback(std::uint64_t from, std::uint64_t bytes) noexcept {
  ::sync_file_range(fd_.get(), static_cast<off64_t>(from), static_cast<off64_t>(bytes), SYNC_FILE_RANGE_WRITE);
}

bool StagedFile::AwaitWriteback(const std::function<bool()>& keepGoing) {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return true;  // the flush that follows reports it
  const auto size = static_cast<std::uint64_t>(st.st_size);
  for (std::uint64_t offset = 0; offset < size; offset += internal::kCopyChunkBytes) {
    ::sync_file_range(fd_.get(), static_cast<off64_t>(offset), static_cast<off64_t>(internal::kCopyChunkBytes),
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    if (!keepGoing()) return false;
  }
  return true;
}

std::error_code StagedFile::Publish(bool replace, Durability durability) {
  // Data first: a name committed before its data would show an empty or
  // short file after a power cut (delayed allocation writes data long after
  // the journal has committed the name).
  if (durability != Durability::AlreadyDurable && RetryOnEintr([&] { return ::fdatasync(fd_.get()); }) != 0) {
    return LastError();
  }
  if (auto error = Name(replace)) return error;
  if (durability == Durability::DataAndName) return SyncDirectory(directoryFd_);
  return {};
}

std::error_code StagedFile::Name(bool replace) {
  if (stagingName_.empty()) {
    // Where nothing has the name yet (the common case of a copy), one link is all it takes.
    const std::error_code error = LinkUnnamed(name_);
    if (!error || !replace || error != std::errc::file_exists) {
      if (!error) fd_.reset();
      return error;
    }
    // linkat never replaces: name it first, then rename it over the target.
    if (auto namingError = NameUnnamed()) return namingError;
  }
  const char* staged = stagingName_.c_str();
  const char* target = name_.c_str();
  if (replace) {
    if (::renameat(directoryFd_, staged, directoryFd_, target) != 0) return LastError();
  } else if (auto error = RenameNoReplace(directoryFd_, staged, directoryFd_, target)) {
    return error;  // where it links instead, the staging name is removed under our lock
  }
  stagingName_.clear();
  fd_.reset();
  return {};
}

}  // namespace Tarnix::Core::posix
