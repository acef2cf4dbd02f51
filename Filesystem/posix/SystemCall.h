// Helpers shared by the POSIX backend: one place for EINTR and for turning
// errno into std::error_code.
#pragma once

#include <cerrno>
#include <system_error>

namespace Tarnix::Core::posix {

// Calls f() again for as long as it fails with EINTR; returns its last result.
template <typename F>
auto RetryOnEintr(F&& f) -> decltype(f()) {
  decltype(f()) result;
  do {
    result = f();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The current errno as an error code of the generic (POSIX) category.
inline std::error_code LastError() noexcept { return std::error_code(errno, std::generic_category()); }

}  // namespace Tarnix::Core::posix
