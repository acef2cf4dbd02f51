// Releasable: move-only owner of one operating-system handle and the function
// that frees it.
//
// A wrapper owns its value only when it was made with `owned` true; make it
// owning only when the call that produced the handle succeeded (a descriptor
// that is not -1, a HANDLE that is not INVALID_HANDLE_VALUE, an event that is
// not null). Releasing happens on destruction and before the wrapper
// is overwritten; it calls the release function once and never throws: an
// exception derived from std::exception that the release function throws is
// logged at ERROR from this file and the wrapper stops owning all the same.
//
// Move assignment exchanges everything with the source, so the source then
// releases whatever the destination held. Not thread-safe: one owner at a time.
#pragma once

#include <glog/logging.h>

#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

namespace Tarnix::Core {

template <typename Handle>
class Releasable {
 public:
  using ReleaseFunction = std::function<void(Handle)>;

  Releasable() noexcept(std::is_nothrow_default_constructible_v<Handle>) = default;
  Releasable(Handle value, bool owned, ReleaseFunction release)
      : value_(std::move(value)), owned_(owned), release_(std::move(release)) {}

  Releasable(Releasable&& other) noexcept
      : value_(std::move(other.value_)),
        owned_(std::exchange(other.owned_, false)),
        release_(std::move(other.release_)) {}

  Releasable& operator=(Releasable&& other) noexcept {
    if (this != &other) {
      using std::swap;
      swap(value_, other.value_);
      swap(owned_, other.owned_);
      swap(release_, other.release_);
    }
    return *this;
  }

  Releasable(const Releasable&) = delete;
  Releasable& operator=(const Releasable&) = delete;

  ~Releasable() { Release(); }

  const Handle& get() const noexcept { return value_; }
  bool owned() const noexcept { return owned_; }

  // Frees the value now if the wrapper owns it; afterwards it owns nothing.
  void Release() noexcept {
    if (!owned_) return;
    owned_ = false;
    try {
      release_(value_);
    } catch (const std::exception& e) {
      LOG(ERROR) << e.what();  // what() alone, from this header, is part of the library's contract
    }
  }

 private:
  Handle value_{};
  bool owned_ = false;
  ReleaseFunction release_;
};

}  // namespace Tarnix::Core
