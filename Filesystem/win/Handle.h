// Owners of Windows handles, and the one place a Windows error becomes an
// error code.
//
// UniqueHandle: move-only owner of one kernel handle (RAII/UniqueResource.h).
// INVALID_HANDLE_VALUE and null both mean "owns nothing", since CreateFileW
// fails with the one and CreateEventW with the other.
// FindHandle: the same for a directory listing of FindFirstFileExW.
// (A cache's read lock keeps its handle in internal::FileLock, which closes
// it.)
#pragma once

#include "RAII/UniqueResource.h"

#include <windows.h>

#include <string>
#include <system_error>

namespace Tarnix::Core::win {

struct HandleTraits {
  using Value = HANDLE;
  static HANDLE None() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE handle) noexcept { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
  static void Close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

struct FindHandleTraits {
  using Value = HANDLE;
  static HANDLE None() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE handle) noexcept { return handle != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) noexcept { ::FindClose(handle); }
};
using FindHandle = UniqueResource<FindHandleTraits>;

// A Windows error code as an error code of the system category; it compares
// equal to the portable conditions (errc::file_exists for
// ERROR_ALREADY_EXISTS, errc::device_or_resource_busy for
// ERROR_SHARING_VIOLATION, ...), and value() is the system error code.
inline std::error_code WindowsError(DWORD code) noexcept {
  return std::error_code(static_cast<int>(code), std::system_category());
}
inline std::error_code LastError() noexcept { return WindowsError(::GetLastError()); }

}  // namespace Tarnix::Core::win
