// Placing files on Windows without replacing: MoveFileExW without
// MOVEFILE_REPLACE_EXISTING never overwrites (ERROR_ALREADY_EXISTS). The
// source is held open for deletion while it is placed, which fails while a
// reader holds it (readers share no deletion): such a source is copied and
// stays, as a removal would leave it. Copies are staged (win/StagedFile.h).
#include "Filesystem/internal/FilePlacement.h"

#include "Filesystem/win/CacheDirectory.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/StagedFile.h"

#include <string>

namespace Tarnix::Core::internal {

namespace {

// Bounds the rounds of a placement that keeps finding a new file at its
// name: each round made room, so only concurrent writers can make it loop.
constexpr int kPlacementAttempts = 4;

}  // namespace

std::error_code PlaceFile(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                          const std::function<bool()>& makeRoom, Placement* placement, Staging /*staging*/) {
  *placement = Placement();
  const std::wstring source = from.wstring();
  const ioPath target = win::DirectoryPath(directory) / name;

  // Held until the source is gone: it pins down which file we move or stamp,
  // and keeps readers from locking it meanwhile.
  win::UniqueHandle held(::CreateFileW(source.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (held) {
    if (!::GetFileInformationByHandle(held.get(), &info)) return win::LastError();
  } else {
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION) return win::WindowsError(error);
    WIN32_FILE_ATTRIBUTE_DATA attributes{};  // read-locked: it will be copied
    if (!::GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &attributes)) return win::LastError();
    info.dwFileAttributes = attributes.dwFileAttributes;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::invalid_argument);
  bool move = held && info.dwVolumeSerialNumber == win::DirectoryVolume(directory);

  win::StagedFile staged;
  const auto stage = [&]() -> std::error_code {
    if (auto error = staged.Copy(from, target, nullptr)) return error;
    return win::SetBothTimes(staged.path(), timestamp);
  };
  if (!move) {
    if (auto error = stage()) return error;
  }

  const FILETIME stamp = win::ToFileTime(timestamp);
  for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
    if (!makeRoom()) return std::make_error_code(std::errc::device_or_resource_busy);
    if (move) {
      // Stamped before it appears at its new name; the old times come back
      // if it does not move.
      if (!::SetFileTime(held.get(), nullptr, &stamp, &stamp)) return win::LastError();
      if (::MoveFileExW(source.c_str(), target.wstring().c_str(), 0)) {
        placement->placed = true;
        return {};
      }
      const std::error_code error = win::LastError();
      ::SetFileTime(held.get(), nullptr, &info.ftLastAccessTime, &info.ftLastWriteTime);
      if (error == std::errc::file_exists) continue;
      // Refused for another reason (a source directory we may not change):
      // copy it instead.
      move = false;
      if (auto stageError = stage()) return stageError;
      continue;
    }
    const std::error_code error = staged.Publish(/*replace=*/false);
    if (error == std::errc::file_exists) continue;
    if (error) return error;
    placement->placed = true;
    // Removed like a cached file: a read-locked source cannot be deleted.
    if (held) {
      FILE_DISPOSITION_INFO disposition{TRUE};
      placement->sourceKept = !::SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition,
                                                            sizeof disposition);
    } else {
      placement->sourceKept = true;
    }
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

}  // namespace Tarnix::Core::internal
