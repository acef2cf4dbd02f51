// A read lock on Windows is an open handle that shares reading and writing
// but not deletion: while it is open, the system refuses to delete or rename
// the file, in this process and in every other one. A remover therefore needs
// no lock of its own; its deletion fails with a sharing violation.
#include "Filesystem/internal/FileLocks.h"

#include "Filesystem/internal/StagingName.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

namespace Tarnix::Core::internal {

void FileLockHandle::Close(Value handle) noexcept {
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::error_code AcquireReadLock(const ioPath& path, FileLock* lock) {
  const HANDLE handle = ::CreateFileW(win::Win32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const win::SortedFailure failure = win::LastFailure();
    // Someone holds the file in a way that excludes readers: a copy still
    // writing it, or a remover that opened it for deletion.
    if (failure.kind == win::Failure::InUse) return std::make_error_code(std::errc::resource_unavailable_try_again);
    // Deleted, and held open by someone until it goes.
    if (failure.kind == win::Failure::BeingDeleted) return std::make_error_code(std::errc::no_such_file_or_directory);
    return failure.error;
  }
  // The open itself pins the file to its path: it can be neither renamed nor
  // deleted now, so there is nothing to re-check.
  *lock = FileLock(reinterpret_cast<FileLock::NativeHandle>(handle));
  return {};
}

const char* UncheckableForReadersReason() { return "access to it is denied, so readers cannot be ruled out"; }

std::error_code AcquireRemovalLock(const ioPath& /*path*/, FileLock* lock) {
  *lock = FileLock();
  return {};
}

bool RemoveLockedFile(const ioPath& path) {
  const std::wstring native = win::Win32Path(path);
  const win::UniqueHandle file(::CreateFileW(native.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  // Where the name would stay while others hold the file, it is moved aside
  // to a staging name in its directory first (listings pass over it).
  const std::size_t slash = native.find_last_of(L'\\');
  const std::string aside = UniqueStagingName(ioPath(native.substr(slash + 1)).utf8string());
  return !win::DeleteByHandle(file.get(), native.substr(0, slash + 1) + std::wstring(aside.begin(), aside.end()));
}

}  // namespace Tarnix::Core::internal
