// File systems a test mounts for itself: a small tmpfs to fill up, a FUSE
// pass-through (bindfs) without unnamed temporary files, a disk file system on
// a loop device whose power can be cut. The first mount
// moves the test process to a mount namespace of its own, so nothing is
// visible outside it and nothing outlives it.
#pragma once

#include "Filesystem/ioPath.h"

#include <string>
#include <vector>

namespace Tarnix::Test {

// A tmpfs of `tmpfsBytes`, or `fuseSource` seen through bindfs, at the
// existing directory `at` for the life of the object. `error()` says why it
// could not be mounted (a test skips then).
class Mount {
 public:
  Mount(const ioPath& at, unsigned long long tmpfsBytes);
  Mount(const ioPath& at, const ioPath& fuseSource);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  const std::string& error() const { return error_; }

 private:
  ioPath at_;
  int daemon_ = -1;  // bindfs
  std::string error_;
};

// A file system of `type` ("ext4", "xfs") made by mkfs.<type> with
// `mkfsOptions` in the sparse image file `image` of `bytes`, mounted at the
// existing directory `at` through a loop device that goes away with the mount.
// `error()` says why it could not be made (not root, no loop devices, no mkfs):
// a test skips then.
class LoopFileSystem {
 public:
  LoopFileSystem(const ioPath& image, const ioPath& at, const std::string& type,
                 const std::vector<std::string>& mkfsOptions, unsigned long long bytes = 512ull << 20);
  ~LoopFileSystem();
  LoopFileSystem(const LoopFileSystem&) = delete;
  LoopFileSystem& operator=(const LoopFileSystem&) = delete;
  const std::string& error() const { return error_; }

  // Cuts the power: the file system stops at once and drops everything it has
  // not yet written to the device, its log included (the shutdown ioctl with
  // the no-log-flush flag). Empty on success, else what failed.
  std::string CutPower();
  // Unmounts and mounts again, which replays the journal as a reboot would.
  // Nothing may have a file open on it.
  std::string Remount();

 private:
  std::string MountImage();

  ioPath image_;
  ioPath at_;
  std::string type_;
  bool mounted_ = false;
  std::string error_;
};

}  // namespace Tarnix::Test
