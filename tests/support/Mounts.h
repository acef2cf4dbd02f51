// File systems a test mounts for itself: a small tmpfs to fill up, a FUSE
// pass-through (bindfs) without unnamed temporary files. Both are mounted in
// a child process with a mount namespace of its own, so nothing is visible
// outside it and nothing outlives it.
#pragma once

#include "Filesystem/ioPath.h"

#include <functional>
#include <string>

namespace Tarnix::Test {

// Runs `body` in a child with a private mount namespace and fails the test
// with what `body` returns unless that is empty; skips the test when `body`
// returns a SkipMessage (the machine refused a mount).
void RunWithPrivateMounts(const std::function<std::string()>& body);
std::string SkipMessage(const std::string& why);

// In such a child: mounts a tmpfs of `bytes` at the existing directory `at`.
// Empty on success, else a SkipMessage.
std::string MountTmpfs(const ioPath& at, unsigned long long bytes);

// In such a child: `source` seen through bindfs at the existing directory
// `at` for the life of the object. `error()` is a SkipMessage when it could
// not be mounted.
class FuseMount {
 public:
  FuseMount(const ioPath& source, const ioPath& at);
  ~FuseMount();
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;
  const std::string& error() const { return error_; }

 private:
  ioPath at_;
  int daemon_ = -1;
  std::string error_;
};

}  // namespace Tarnix::Test
