#include "Filesystem/win/Path.h"

#include "Filesystem/win/Handle.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace Tarnix::Core::win {

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Long-form and device paths are the system's own: nothing to resolve.
bool IsVerbatim(const std::wstring& path) {
  return StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\") || StartsWith(path, L"\\??\\");
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring separated = path;
  std::replace(separated.begin(), separated.end(), L'/', L'\\');
  if (IsVerbatim(separated)) return separated;
  // The size asked for includes the NUL; a second call may need more when
  // the current directory changed in between.
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFullPathNameW(separated.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return {};
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);
  }
}

// STATUS_DELETE_PENDING: what an open of a deleted but still held file gets,
// reported by the Win32 calls as a plain ERROR_ACCESS_DENIED.
constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);

LONG LastNtStatus() {
  using Reader = LONG(WINAPI*)();
  static const auto read = reinterpret_cast<Reader>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
  return read != nullptr ? read() : 0;
}

// Whether a failed SetFileInformationByHandle means the class is unknown
// here (an older system, a file system without it, an emulation).
bool Unsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

}  // namespace

std::wstring Win32Path(const std::wstring& path) {
  if (path.empty()) return {};
  const std::wstring full = FullPath(path);
  if (full.empty() || IsVerbatim(full)) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring Win32Path(const ioPath& path) { return Win32Path(path.wstring()); }

std::wstring ShortFormPath(const ioPath& path) {
  if (path.empty()) return {};
  std::wstring full = FullPath(path.wstring());
  if (StartsWith(full, L"\\\\?\\UNC\\")) {
    full = L"\\\\" + full.substr(8);
  } else if (StartsWith(full, L"\\\\?\\")) {
    full = full.substr(4);
  }
  if (full.size() >= MAX_PATH || IsVerbatim(full)) return {};
  return full;
}

bool IsPlainName(const std::wstring& name) {
  if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
  for (const wchar_t c : name) {
    if (c < 32 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr) return false;
  }
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
  for (const wchar_t* device : kDevices) {
    if (base == device) return false;
  }
  const bool numbered = base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0);
  return !(numbered && base[3] >= L'1' && base[3] <= L'9');
}

bool FollowLink(const ioPath& path, BY_HANDLE_FILE_INFORMATION* target) {
  UniqueHandle file(::CreateFileW(Win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  if (::GetFileInformationByHandle(file.get(), target)) return true;
  // The caller reads why: closing the handle must not overwrite it.
  const DWORD error = ::GetLastError();
  file.reset();
  ::SetLastError(error);
  return false;
}

SortedFailure LastFailure() {
  const DWORD error = ::GetLastError();
  const LONG status = LastNtStatus();
  SortedFailure sorted{WindowsError(error), Failure::Other};
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      sorted.kind = Failure::Missing;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      sorted.kind = Failure::InUse;
      break;
    case ERROR_DELETE_PENDING:
      sorted.kind = Failure::BeingDeleted;
      break;
    case ERROR_ACCESS_DENIED:
      sorted.kind = status == kStatusDeletePending ? Failure::BeingDeleted : Failure::NoAccess;
      break;
    default:
      break;
  }
  return sorted;
}

namespace {

std::error_code MarkForDeletion(HANDLE file, const std::wstring& aside) {
  // FILE_DISPOSITION_INFO_EX: its flags.
  struct {
    DWORD Flags;
  } posix{0x1 /*DELETE*/ | 0x2 /*POSIX_SEMANTICS*/};
  if (::SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof posix)) return {};
  const DWORD error = ::GetLastError();
  if (!Unsupported(error)) return WindowsError(error);
  // A failed rename leaves the name delete-pending: still a deletion.
  if (!aside.empty()) (void)RenameByHandle(file, aside, /*replace=*/false);
  FILE_DISPOSITION_INFO classic{TRUE};
  if (!::SetFileInformationByHandle(file, FileDispositionInfo, &classic, sizeof classic)) return LastError();
  return {};
}

}  // namespace

std::error_code DeleteByHandle(HANDLE file, const std::wstring& aside) {
  // A read-only file is deleted as a writable one would be (as on Linux,
  // where the directory decides); it stays read-only when it stays.
  FILE_BASIC_INFO basic{};
  const bool readOnly = ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
                        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  const DWORD attributes = basic.FileAttributes;
  if (readOnly) {
    FILE_BASIC_INFO writable{};  // times of 0 stay as they are
    writable.FileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(file, FileBasicInfo, &writable, sizeof writable)) return LastError();
  }
  const std::error_code error = MarkForDeletion(file, aside);
  if (error && readOnly) {
    FILE_BASIC_INFO restored{};
    restored.FileAttributes = attributes;
    ::SetFileInformationByHandle(file, FileBasicInfo, &restored, sizeof restored);
  }
  return error;
}

std::error_code RenameByHandle(HANDLE file, const std::wstring& target, bool replace) {
  const std::wstring name = Win32Path(target);
  // FILE_RENAME_INFO ends in the new name, without a terminating NUL.
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, name.data(), nameBytes);
  const auto size = static_cast<DWORD>(buffer.size());
  if (replace) {
    // FILE_RENAME_INFO_EX has the same layout, its first member a set of
    // flags where FILE_RENAME_INFO has its one-byte ReplaceIfExists.
    const DWORD flags = 0x1 /*REPLACE_IF_EXISTS*/ | 0x2 /*POSIX_SEMANTICS*/;
    std::memcpy(buffer.data(), &flags, sizeof flags);
    if (::SetFileInformationByHandle(file, kFileRenameInfoEx, rename, size)) return {};
    const DWORD error = ::GetLastError();
    if (!Unsupported(error)) return WindowsError(error);
  }
  std::memset(buffer.data(), 0, sizeof(DWORD));
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  if (::SetFileInformationByHandle(file, FileRenameInfo, rename, size)) return {};
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return std::make_error_code(std::errc::file_exists);
  return WindowsError(error);
}

}  // namespace Tarnix::Core::win
