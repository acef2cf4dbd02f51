// File systems a test mounts for itself: a small tmpfs to fill up, a FUSE
// pass-through (bindfs) without unnamed temporary files. The first mount
// moves the test process to a mount namespace of its own, so nothing is
// visible outside it and nothing outlives it.
#pragma once

#include "Filesystem/ioPath.h"

#include <string>

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

}  // namespace Tarnix::Test
