// One FindFirstFileExW pass per directory: names, types and sizes come with
// the listing, so the walk costs no call per file except for reparse points
// (links), whose target decides.
#include "Filesystem/internal/TreeWalk.h"

#include "Filesystem/internal/FilesystemError.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

#include <memory>
#include <utility>
#include <vector>

namespace Tarnix::Core::internal {

namespace {

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

unsigned long long SizeOf(DWORD high, DWORD low) { return (static_cast<unsigned long long>(high) << 32) | low; }

[[noreturn]] void ThrowWalkError(const ioPath& directory, DWORD error) {
  ThrowFilesystemError("Unable to walk directory", directory, win::WindowsError(error));
}

}  // namespace

void VisitFilesBelow(const ioPath& root, const FileVisitor& visit) {
  std::vector<ioPath> pending{root};
  while (!pending.empty()) {
    const ioPath directory = std::move(pending.back());
    pending.pop_back();
    WIN32_FIND_DATAW entry{};
    const win::FindHandle find(::FindFirstFileExW(win::Win32Path(directory / ioPath(std::wstring(L"*"))).c_str(),
                                                  FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                                  FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
      const DWORD error = ::GetLastError();
      const DWORD attributes = ::GetFileAttributesW(win::Win32Path(directory).c_str());
      // A directory that lists nothing at all, not even "." and "..".
      if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        continue;
      }
      ThrowWalkError(directory, error);
    }
    do {
      if (IsDotOrDotDot(entry.cFileName)) continue;
      ioPath path = directory / ioPath(std::wstring(entry.cFileName));
      const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A link: a file counts as its target; a directory is not followed.
        BY_HANDLE_FILE_INFORMATION target{};
        if (isDirectory || !win::FollowLink(path, &target) ||
            (target.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          continue;
        }
        visit(std::move(path), SizeOf(target.nFileSizeHigh, target.nFileSizeLow));
      } else if (isDirectory) {
        pending.push_back(std::move(path));
      } else {
        visit(std::move(path), SizeOf(entry.nFileSizeHigh, entry.nFileSizeLow));
      }
    } while (::FindNextFileW(find.get(), &entry));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) ThrowWalkError(directory, error);
  }
}

}  // namespace Tarnix::Core::internal
