// One FindFirstFileExW pass over the directory: names, types and sizes come
// with the listing, so a lookup costs no further call per entry except for
// reparse points (links), whose target decides.
#include "Filesystem/internal/DirectoryListing.h"

#include "Filesystem/internal/FilesystemError.h"
#include "Filesystem/win/Handle.h"

#include <memory>

namespace Tarnix::Core::internal {

namespace {

struct FindCloser {
  void operator()(HANDLE handle) const noexcept { ::FindClose(handle); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

}  // namespace

bool VisitRegularFiles(const ioPath& directory, const std::function<bool(const ioPath&)>& visit) {
  const std::wstring pattern = (directory / ioPath(std::wstring(L"*"))).wstring();
  WIN32_FIND_DATAW entry{};
  const HANDLE first = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                          FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      const DWORD attributes = ::GetFileAttributesW(directory.wstring().c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) return false;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ThrowFilesystemError("Unable to list directory", directory, std::make_error_code(std::errc::not_a_directory));
      }
      return true;  // an empty directory on a file system that lists no "." and ".."
    }
    ThrowFilesystemError("Unable to list directory", directory, win::WindowsError(error));
  }
  const FindHandle find(first);
  do {
    if (IsDotOrDotDot(entry.cFileName)) continue;
    const ioPath path = directory / ioPath(std::wstring(entry.cFileName));
    bool regular = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      BY_HANDLE_FILE_INFORMATION target{};
      regular = win::FollowLink(path.wstring(), &target) && (target.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    if (regular && visit(path)) return true;
  } while (::FindNextFileW(find.get(), &entry));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES) ThrowFilesystemError("Unable to list directory", directory, win::WindowsError(error));
  return true;
}

}  // namespace Tarnix::Core::internal
