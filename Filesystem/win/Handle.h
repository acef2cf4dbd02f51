// Owners of Windows handles, and the one place a Windows error becomes an
// error code.
//
// UniqueHandle: move-only owner of one kernel handle (RAII/UniqueResource.h).
// INVALID_HANDLE_VALUE and null both mean "owns nothing", since CreateFileW
// fails with the one and CreateEventW with the other.
// MakeReleasableHandle: the same ownership as a Releasable, for the watcher.
#pragma once

#include "RAII/Releasable.h"
#include "RAII/UniqueResource.h"

#include <windows.h>

#include <system_error>

namespace Tarnix::Core::win {

struct HandleTraits {
  using Value = HANDLE;
  static HANDLE None() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE handle) noexcept { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
  static void Close(HANDLE handle) noexcept { ::CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

// Owning when `owned` (the call that produced `handle` succeeded); released
// with CloseHandle.
inline Releasable<HANDLE> MakeReleasableHandle(HANDLE handle, bool owned) {
  return Releasable<HANDLE>(handle, owned, [](HANDLE held) { ::CloseHandle(held); });
}

// A Windows error code as an error code of the system category; it compares
// equal to the portable conditions (errc::file_exists for
// ERROR_ALREADY_EXISTS, errc::device_or_resource_busy for
// ERROR_SHARING_VIOLATION, ...), and value() is the system error code.
inline std::error_code WindowsError(DWORD code) noexcept {
  return std::error_code(static_cast<int>(code), std::system_category());
}
inline std::error_code LastError() noexcept { return WindowsError(::GetLastError()); }

// What a link at `path` leads to (the link followed, as opening a file
// follows it): false when it leads nowhere.
inline bool FollowLink(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* target) {
  const UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file && ::GetFileInformationByHandle(file.get(), target);
}

}  // namespace Tarnix::Core::win
