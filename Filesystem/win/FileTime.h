// File times on Windows: 100-nanosecond ticks since 1601-01-01 UTC, turned
// into and from the library's whole seconds since 1970-01-01 UTC.
#pragma once

#include "Filesystem/win/Handle.h"

#include <sys/utime.h>

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

// Sets the access and modification times of the file at `path` to whole
// `seconds`. _wutime64 opens the file for writing, which a read-only file
// refuses; a handle that writes attributes only is refused by nothing.
[[nodiscard]] inline std::error_code SetBothTimes(const std::wstring& path, long long seconds) {
  __utimbuf64 times{seconds, seconds};
  if (::_wutime64(path.c_str(), &times) == 0) return {};
  const UniqueHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return LastError();
  const FILETIME time = ToFileTime(seconds);
  if (!::SetFileTime(file.get(), nullptr, &time, &time)) return LastError();
  return {};
}

// Gives the file at `path` back the times it had; failures are ignored (the
// file keeps the times it was given instead).
inline void RestoreTimes(const std::wstring& path, const FILETIME& access, const FILETIME& write) {
  const UniqueHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file) ::SetFileTime(file.get(), nullptr, &access, &write);
}

}  // namespace Tarnix::Core::win
