// Writing a file out of sight and giving it its name in one step, so that the
// name shows either what it showed before or the complete new file, never a
// part of it, also after a crash or a power cut: the data is flushed to the
// device before the link or rename that publishes it.
//
// The file is staged in the target's own directory (so that publishing it is
// a link or a rename, never a copy): an unnamed O_TMPFILE file where the file
// system has them (ext4, xfs, btrfs, tmpfs), else a hidden staging name held
// under an exclusive flock() from before it can be found until it is gone.
// Staging names follow internal/StagingName.h: a staging file left by a
// killed process is taken over and emptied by the next staging for the same
// target; readers of cache directories pass over them, and a put clears the
// ones nobody holds.
#pragma once

#include "Filesystem/posix/UniqueFd.h"

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

namespace Tarnix::Core::posix {

// Whether `name` is what a network or FUSE file system leaves of a file that
// was removed while still open (".nfs…", ".fuse_hidden…"): no cached file,
// whatever it holds, and it goes by itself once closed.
bool IsRemovedFileRemnant(const char* name) noexcept;

// Removes the staging file `name` in the directory open as `directoryFd`
// when nobody holds it: it was left by a process that died while staging.
void RemoveAbandonedStagingFile(int directoryFd, const char* name) noexcept;

// Renames `from` (relative to `fromDirectoryFd`) to `to` (relative to
// `toDirectoryFd`) without replacing: errc::file_exists when `to` is taken.
// Where the file system has no RENAME_NOREPLACE (some network and FUSE ones)
// a hard link, which never replaces either, and the removal of `from`.
[[nodiscard]] std::error_code RenameNoReplace(int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to);

// Makes the entries of the directory open as `directoryFd` (any open mode,
// O_PATH included) durable: names linked, renamed or removed in it survive a
// power cut from now on. A directory this user may not read cannot be
// flushed and is left as it is. Fails (EIO) on a file system that has shut
// down, also where its flush alone would have succeeded.
[[nodiscard]] std::error_code SyncDirectory(int directoryFd);

// What a publication makes durable before it returns.
enum class Durability {
  // The data is on the device before the name appears (a cut shows the old
  // entry or the whole file); the name itself may still be lost by a cut
  // until the directory is flushed (SyncDirectory), as a batch does once.
  DataBeforeName,
  // Data, then name: the file is there after any later cut.
  DataAndName,
  // The data was made durable by the caller (a batch flushed it together
  // with others); nothing is flushed here.
  AlreadyDurable,
};

class StagedFile {
 public:
  StagedFile() = default;
  // Discards the file when it was not published.
  ~StagedFile();

  // Creates an empty staging file, mode 0600, for the entry `name` of the
  // directory open as `directoryFd` (which must stay open while this object
  // lives): unnamed when `unnamed` is set and the file system has unnamed
  // files, else under a staging name. Errors: the creation's.
  [[nodiscard]] std::error_code Create(int directoryFd, const std::string& name, bool unnamed);

  int fd() const noexcept { return fd_.get(); }

  // Starts writing the data staged so far to the device without waiting, so
  // that a later flush finds little left to do (write-behind).
  void StartWriteback(std::uint64_t from, std::uint64_t bytes) noexcept;

  // Waits until the data written so far has reached the device (not yet
  // durable: that takes a flush), asking `keepGoing` after each chunk of
  // kCopyChunkBytes; false when it answered false.
  bool AwaitWriteback(const std::function<bool()>& keepGoing);

  // Gives the file its name, after flushing its data as `durability` says.
  // Without `replace`, errc::file_exists when the name is taken (then the file
  // stays staged and may be published again); with it, whatever
  // non-directory entry has the name is replaced in the same step (a symbolic
  // link there is replaced, not followed). A failed flush publishes nothing.
  // Afterwards the file is no longer this object's.
  [[nodiscard]] std::error_code Publish(bool replace, Durability durability = Durability::DataAndName);

 private:
  [[nodiscard]] std::error_code CreateNamed();
  [[nodiscard]] std::error_code Name(bool replace);
  [[nodiscard]] std::error_code NameUnnamed();
  [[nodiscard]] std::error_code LinkUnnamed(const std::string& as);

  int directoryFd_ = -1;
  std::string name_;
  std::string stagingName_;  // empty while the file has no name
  UniqueLockedFd fd_;  // locked while it has a staging name
};

}  // namespace Tarnix::Core::posix
