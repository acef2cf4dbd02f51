// A cache directory on Windows is its path with every level below the root
// held open: each handle shares reading and writing but not deletion, so no
// level can be renamed or removed, and so none replaced by a junction or a
// link, while the directory is in use. Files in it are then named by path,
// and opened without following a reparse point.
#include "Filesystem/win/CacheDirectory.h"

#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/StagedFile.h"

#include <memory>
#include <utility>
#include <vector>

namespace Tarnix::Core::internal {

class CacheDirectory::Handle {
 public:
  Handle(ioPath path, DWORD volume, std::vector<win::UniqueHandle> levels) noexcept
      : path_(std::move(path)), volume_(volume), levels_(std::move(levels)) {}

  const ioPath& path() const noexcept { return path_; }
  DWORD volume() const noexcept { return volume_; }

 private:
  ioPath path_;
  DWORD volume_;
  std::vector<win::UniqueHandle> levels_;  // held only to pin the levels down
};

void CacheDirectory::HandleDeleter::operator()(Handle* handle) const noexcept { delete handle; }

namespace {

constexpr DWORD kShareAllButDeletion = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens the entry at `path` itself (a reparse point is not followed) with
// `access`; `info` receives what it is.
[[nodiscard]] std::error_code OpenEntry(const std::wstring& path, DWORD access, DWORD share,
                                        win::UniqueHandle* handle, BY_HANDLE_FILE_INFORMATION* info) {
  handle->reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!*handle) return win::LastError();
  if (!::GetFileInformationByHandle(handle->get(), info)) return win::LastError();
  return {};
}

bool IsReparsePoint(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
bool IsDirectory(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring PathOf(const CacheDirectory& directory, const ioPath& name) {
  return (directory.handle().path() / name).wstring();
}

// What network file systems leave of a removed file that is still open.
bool IsRemovedFileRemnant(const std::wstring& name) { return name.rfind(L".nfs", 0) == 0; }

struct FindCloser {
  void operator()(HANDLE handle) const noexcept { ::FindClose(handle); }
};

}  // namespace

std::error_code OpenCacheDirectory(const ioPath& root, const ioPath& relative, bool create, CacheDirectory* directory) {
  const ioPath whole = relative.empty() ? root : root / relative;
  // Misses are the common lookup: one attribute query answers them.
  if (!create && ::GetFileAttributesW(whole.wstring().c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return std::make_error_code(std::errc::no_such_file_or_directory);
    }
  }
  // The root is the caller's and is followed; every level below it is not.
  const win::UniqueHandle rootHandle(::CreateFileW((root.empty() ? ioPath(".") : root).wstring().c_str(),
                                             FILE_READ_ATTRIBUTES, kShareAllButDeletion | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!rootHandle || !::GetFileInformationByHandle(rootHandle.get(), &info)) return win::LastError();
  if (!IsDirectory(info)) return std::make_error_code(std::errc::not_a_directory);

  std::vector<win::UniqueHandle> levels;
  ioPath path = root;
  for (const auto& element : boost::filesystem::path(relative.wstring())) {
    const std::wstring name = element.native();
    if (name.empty() || name == L"." || name == L"/" || name == L"\\") continue;
    path /= ioPath(name);
    win::UniqueHandle level;
    std::error_code error = OpenEntry(path.wstring(), FILE_READ_ATTRIBUTES, kShareAllButDeletion, &level, &info);
    if (error == std::errc::no_such_file_or_directory && create) {
      if (!::CreateDirectoryW(path.wstring().c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return win::LastError();
      }
      error = OpenEntry(path.wstring(), FILE_READ_ATTRIBUTES, kShareAllButDeletion, &level, &info);
    }
    if (error) return error;
    if (IsReparsePoint(info)) return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    if (!IsDirectory(info)) return std::make_error_code(std::errc::not_a_directory);
    levels.push_back(std::move(level));
  }
  *directory = CacheDirectory(
      CacheDirectory::HandlePtr(new CacheDirectory::Handle(path, info.dwVolumeSerialNumber, std::move(levels))));
  return {};
}

std::error_code VisitCachedFiles(const CacheDirectory& directory, bool removeAbandonedStaging,
                                 const std::function<bool(const ioPath& name)>& visit) {
  WIN32_FIND_DATAW entry{};
  const HANDLE first = ::FindFirstFileExW(PathOf(directory, ioPath(std::wstring(L"*"))).c_str(), FindExInfoBasic,
                                          &entry, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? std::error_code() : win::WindowsError(error);
  }
  const std::unique_ptr<void, FindCloser> find(first);
  do {
    const std::wstring name(entry.cFileName);
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    if (win::IsStagingName(name)) {
      // A copy still being written is held exclusively and stays.
      if (removeAbandonedStaging) ::DeleteFileW(PathOf(directory, ioPath(name)).c_str());
      continue;
    }
    if (IsRemovedFileRemnant(name)) continue;
    if (visit(ioPath(name))) return {};
  } while (::FindNextFileW(find.get(), &entry));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? std::error_code() : win::WindowsError(error);
}

std::error_code LockCachedFile(const CacheDirectory& directory, const ioPath& name, FileLock* lock,
                               long long* lastWriteTime) {
  const std::wstring native = name.wstring();
  if (win::IsStagingName(native) || IsRemovedFileRemnant(native)) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  // A read lock as AcquireReadLock takes it: no deletion shared.
  win::UniqueHandle file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (const std::error_code error = OpenEntry(PathOf(directory, name), GENERIC_READ, kShareAllButDeletion, &file, &info)) {
    if (error.value() == ERROR_SHARING_VIOLATION) return std::make_error_code(std::errc::resource_unavailable_try_again);
    return error;
  }
  if (IsDirectory(info) || IsReparsePoint(info)) return std::make_error_code(std::errc::invalid_argument);
  *lastWriteTime = win::ToSeconds(info.ftLastWriteTime);
  *lock = FileLock(reinterpret_cast<FileLock::NativeHandle>(file.release()));
  return {};
}

std::error_code RemoveCachedFile(const CacheDirectory& directory, const ioPath& name) {
  // Opening for deletion fails while a reader holds the file (it shares no
  // deletion), and keeps new readers out until the file is gone.
  win::UniqueHandle file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (const std::error_code error = OpenEntry(PathOf(directory, name), DELETE | FILE_WRITE_ATTRIBUTES,
                                              kShareAllButDeletion | FILE_SHARE_DELETE, &file, &info)) {
    if (error.value() == ERROR_SHARING_VIOLATION) return std::make_error_code(std::errc::device_or_resource_busy);
    return error;
  }
  if (IsDirectory(info) || IsReparsePoint(info)) return std::make_error_code(std::errc::invalid_argument);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) return win::LastError();
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
    return win::LastError();
  }
  return {};
}

}  // namespace Tarnix::Core::internal

namespace Tarnix::Core::win {

const ioPath& DirectoryPath(const internal::CacheDirectory& directory) noexcept { return directory.handle().path(); }
DWORD DirectoryVolume(const internal::CacheDirectory& directory) noexcept { return directory.handle().volume(); }

}  // namespace Tarnix::Core::win
