// File times on Windows: 100-nanosecond ticks since 1601-01-01 UTC, turned
// into and from the library's whole seconds since 1970-01-01 UTC. Times are
// set through SetFileTime only: the C runtime's calls go through local time
// and can be an hour off across a change of daylight saving time.
#pragma once

#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

#include <string>
#include <system_error>

namespace Tarnix::Core::win {

inline constexpr unsigned long long kTicksPerSecond = 10'000'000ULL;
inline constexpr unsigned long long kTicksFrom1601To1970 = 116'444'736'000'000'000ULL;

inline FILETIME ToFileTime(long long seconds) noexcept {
  const auto ticks = static_cast<unsigned long long>(seconds) * kTicksPerSecond + kTicksFrom1601To1970;
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// Whole seconds, rounded toward the past.
inline long long ToSeconds(const FILETIME& time) noexcept {
  const auto ticks = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  const auto since1970 = static_cast<long long>(ticks - kTicksFrom1601To1970);
  const auto perSecond = static_cast<long long>(kTicksPerSecond);
  return since1970 >= 0 ? since1970 / perSecond : -((-since1970 + perSecond - 1) / perSecond);
}

// Sets the access and modification times of the open `file` (opened with
// FILE_WRITE_ATTRIBUTES) to whole `seconds`.
[[nodiscard]] inline std::error_code SetBothTimes(HANDLE file, long long seconds) {
  const FILETIME time = ToFileTime(seconds);
  if (!::SetFileTime(file, nullptr, &time, &time)) return LastError();
  return {};
}

// The same for the file at `path`, through a handle that writes attributes
// only, which neither a read-only file nor a reader's sharing mode refuses.
[[nodiscard]] inline std::error_code SetBothTimes(const ioPath& path, long long seconds) {
  const UniqueHandle file(::CreateFileW(Win32Path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return LastError();
  return SetBothTimes(file.get(), seconds);
}

}  // namespace Tarnix::Core::win
