// UniqueResource: move-only owner of one operating-system resource held as a
// plain value (a file descriptor, a HANDLE), released on destruction and
// never twice. Wrap a value on the line that acquires it; the destructor
// never throws.
//
// `Traits` says what the value is and how it goes:
//   using Value = ...;
//   static Value None() noexcept;          // what "owns nothing" holds
//   static bool Valid(Value) noexcept;     // whether a value needs releasing
//   static void Close(Value) noexcept;     // releases a valid value
#pragma once

#include <utility>

namespace Tarnix::Core {

template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Value value) noexcept : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Value get() const noexcept { return value_; }
  bool valid() const noexcept { return Traits::Valid(value_); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without releasing.
  Value release() noexcept { return std::exchange(value_, Traits::None()); }

  // Releases what is owned and takes ownership of `value`.
  void reset(Value value = Traits::None()) noexcept {
    if (valid()) Traits::Close(value_);
    value_ = value;
  }

 private:
  Value value_ = Traits::None();
};

}  // namespace Tarnix::Core
