// Writing a file out of sight and giving it its name in one step, so that the
// name shows either what it showed before or the complete new file, never a
// part of it, also after a crash.
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

  // Gives the file its name. Without `replace`, errc::file_exists when the
  // name is taken (then the file stays staged and may be published again);
  // with it, whatever non-directory entry has the name is replaced in the same
  // step (a symbolic link there is replaced, not followed). Data staged under
  // a name is flushed first: the file systems without unnamed files (network,
  // FUSE, vfat) report failed write-back only there, and other clients see
  // only what was flushed. Afterwards the file is no longer this object's.
  [[nodiscard]] std::error_code Publish(bool replace);

 private:
  [[nodiscard]] std::error_code CreateNamed();
  [[nodiscard]] std::error_code NameUnnamed();
  [[nodiscard]] std::error_code LinkUnnamed(const std::string& as);

  int directoryFd_ = -1;
  std::string name_;
  std::string stagingName_;  // empty while the file has no name
  bool flush_ = false;       // staged under a name from the start
  UniqueFd fd_;
};

}  // namespace Tarnix::Core::posix
