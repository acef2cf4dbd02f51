// Owners of POSIX file descriptors.
//
// UniqueFd: move-only owner of one descriptor. Wrap a descriptor on the line
// that acquires it; the destructor closes it and never throws. -1 means
// "owns nothing".
// MakeReleasableFd: the same ownership as a Releasable, for code that keeps
// its handles in Releasable wrappers (the watcher).
// close() is never retried on EINTR: Linux releases the descriptor either way.
#pragma once

#include "RAII/Releasable.h"

#include <unistd.h>

#include <utility>

namespace Tarnix::Core::posix {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the owned descriptor and takes ownership of `fd`.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Owning when `fd` is a descriptor (not -1); released with close().
inline Releasable<int> MakeReleasableFd(int fd) {
  return Releasable<int>(fd, fd >= 0, [](int owned) { ::close(owned); });
}

}  // namespace Tarnix::Core::posix
