// Placing files on Windows without replacing: MoveFileExW without
// MOVEFILE_REPLACE_EXISTING never overwrites (ERROR_ALREADY_EXISTS). A source
// that cannot be opened for deletion is held by a reader (readers share no
// deletion): it is copied and stays, as a removal would leave it. Copies are
// staged (win/StagedFile.h).
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

  // Whether a reader holds the source: then it cannot move, and is copied.
  WIN32_FILE_ATTRIBUTE_DATA before{};
  if (!::GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &before)) return win::LastError();
  if ((before.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::invalid_argument);
  BY_HANDLE_FILE_INFORMATION info{};
  win::UniqueHandle probe(::CreateFileW(source.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
  const bool readerHolds = !probe && ::GetLastError() == ERROR_SHARING_VIOLATION;
  if (!probe && !readerHolds) return win::LastError();
  if (probe && !::GetFileInformationByHandle(probe.get(), &info)) return win::LastError();
  probe.reset();
  bool move = !readerHolds && info.dwVolumeSerialNumber == win::DirectoryVolume(directory);

  win::StagedFile staged;
  const auto stage = [&]() -> std::error_code {
    if (auto error = staged.Copy(from, target, nullptr)) return error;
    return staged.SetTimes(timestamp);
  };
  if (!move) {
    if (auto error = stage()) return error;
  }

  for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
    if (!makeRoom()) return std::make_error_code(std::errc::device_or_resource_busy);
    if (move) {
      // Stamped before it appears at its new name; the old times come back
      // if it does not move.
      if (auto error = win::SetBothTimes(source, timestamp)) return error;
      if (::MoveFileExW(source.c_str(), target.wstring().c_str(), 0)) {
        placement->placed = true;
        return {};
      }
      const std::error_code error = win::LastError();
      win::RestoreTimes(source, before.ftLastAccessTime, before.ftLastWriteTime);
      if (error == std::errc::file_exists) continue;
      // Refused for another reason (a reader came meanwhile, a source
      // directory we may not change): copy it instead.
      move = false;
      if (auto stageError = stage()) return stageError;
      continue;
    }
    const std::error_code error = staged.Publish(/*replace=*/false);
    if (error == std::errc::file_exists) continue;
    if (error) return error;
    placement->placed = true;
    // Removed like a cached file: a read-locked source cannot be deleted.
    placement->sourceKept = !::DeleteFileW(source.c_str());
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

}  // namespace Tarnix::Core::internal
