// A cache directory on Windows is its path with every level below the root
// held open: each handle shares reading and writing but not deletion, so no
// level can be renamed or removed, and so none replaced by a junction or a
// link, while the directory is in use. Files in it are then named by path,
// and opened without following a reparse point.
#include "Filesystem/win/CacheDirectory.h"

#include "Filesystem/internal/StagingName.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"
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
// `access`; `info` receives what it is. Errors: `inUse` when another
// handle's sharing refuses the access; errc::no_such_file_or_directory also
// for a file being deleted (deleted, but still held open by someone); the
// system's otherwise (access denied compares equal to
// errc::permission_denied).
[[nodiscard]] std::error_code OpenEntry(const std::wstring& path, DWORD access, DWORD share, std::errc inUse,
                                        win::UniqueHandle* handle, BY_HANDLE_FILE_INFORMATION* info) {
  handle->reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!*handle) {
    const win::SortedFailure failure = win::LastFailure();
    switch (failure.kind) {
      case win::Failure::InUse:
        return std::make_error_code(inUse);
      case win::Failure::BeingDeleted:
      case win::Failure::Missing:
        return std::make_error_code(std::errc::no_such_file_or_directory);
      default:
        return failure.error;
    }
  }
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
  return win::Win32Path(directory.handle().path() / name);
}

// What network file systems leave of a removed file that is still open.
bool IsRemovedFileRemnant(const std::wstring& name) { return name.rfind(L".nfs", 0) == 0; }

}  // namespace

std::error_code OpenCacheDirectory(const ioPath& root, const ioPath& relative, bool create, CacheDirectory* directory) {
  const ioPath whole = relative.empty() ? root : root / relative;
  // Misses are the common lookup: one attribute query answers them.
  if (!create && ::GetFileAttributesW(win::Win32Path(whole).c_str()) == INVALID_FILE_ATTRIBUTES &&
      win::LastFailure().kind == win::Failure::Missing) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  // The root is the caller's and is followed; every level below it is not.
  const win::UniqueHandle rootHandle(::CreateFileW(win::Win32Path(root.empty() ? ioPath(".") : root).c_str(),
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
    // A name Windows would read as another (trailing dots, a stream, a device).
    if (!win::IsPlainName(name)) return std::make_error_code(std::errc::invalid_argument);
    path /= ioPath(name);
    win::UniqueHandle level;
    const std::wstring native = win::Win32Path(path);
    const std::errc inUse = std::errc::device_or_resource_busy;
    std::error_code error = OpenEntry(native, FILE_READ_ATTRIBUTES, kShareAllButDeletion, inUse, &level, &info);
    if (error == std::errc::no_such_file_or_directory && create) {
      if (!::CreateDirectoryW(native.c_str(), nullptr)) {
        const DWORD created = ::GetLastError();
        if (created != ERROR_ALREADY_EXISTS) return win::WindowsError(created);
      }
      error = OpenEntry(native, FILE_READ_ATTRIBUTES, kShareAllButDeletion, inUse, &level, &info);
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
  const win::FindHandle find(::FindFirstFileExW(PathOf(directory, ioPath(std::wstring(L"*"))).c_str(), FindExInfoBasic,
                                                &entry, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? std::error_code() : win::WindowsError(error);
  }
  do {
    const std::wstring name(entry.cFileName);
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    if (win::IsStagingName(name)) {
      // A copy still being staged is held, sharing no deletion, and stays.
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
  if (win::IsStagingName(native) || IsRemovedFileRemnant(native) || !win::IsPlainName(native)) {
    return std::make_error_code(std::errc::no_such_file_or_directory);
  }
  // A read lock as AcquireReadLock takes it: no deletion shared.
  win::UniqueHandle file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (const std::error_code error = OpenEntry(PathOf(directory, name), GENERIC_READ, kShareAllButDeletion,
                                              std::errc::resource_unavailable_try_again, &file, &info)) {
    return error;
  }
  if (IsDirectory(info) || IsReparsePoint(info)) return std::make_error_code(std::errc::invalid_argument);
  *lastWriteTime = win::ToSeconds(info.ftLastWriteTime);
  *lock = FileLock(reinterpret_cast<FileLock::NativeHandle>(file.release()));
  return {};
}

std::error_code RemoveCachedFile(const CacheDirectory& directory, const ioPath& name) {
  // Opening for deletion fails while a reader holds the file (it shares no
  // deletion), and keeps new readers out until the file is gone. A file
  // already being deleted counts as gone.
  win::UniqueHandle file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (const std::error_code error = OpenEntry(PathOf(directory, name), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                              kShareAllButDeletion | FILE_SHARE_DELETE,
                                              std::errc::device_or_resource_busy, &file, &info)) {
    return error;
  }
  if (IsDirectory(info) || IsReparsePoint(info)) return std::make_error_code(std::errc::invalid_argument);
  // Others (an antivirus scanner, an indexer, a backup) may hold the file
  // sharing deletion: where the name would stay until they close it, it is
  // moved aside to a staging name first, which listings pass over, so that
  // the next put can take the name at once.
  const std::string aside = UniqueStagingName(name.utf8string());
  return win::DeleteByHandle(file.get(), PathOf(directory, ioPath(std::wstring(aside.begin(), aside.end()))));
}

}  // namespace Tarnix::Core::internal

namespace Tarnix::Core::win {

const ioPath& DirectoryPath(const internal::CacheDirectory& directory) noexcept { return directory.handle().path(); }
DWORD DirectoryVolume(const internal::CacheDirectory& directory) noexcept { return directory.handle().volume(); }

}  // namespace Tarnix::Core::win
