// Windows copy of one file: CopyFileExW with a progress routine into a staged
// copy beside the destination (win/StagedFile.h), then a replacing move. The
// system reports the running total after each chunk it copies and, on
// PROGRESS_CANCEL, deletes what it wrote and fails with ERROR_REQUEST_ABORTED.
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/StagedFile.h"

namespace Tarnix::Core {

namespace win {

DWORD CALLBACK CopyProgress(LARGE_INTEGER /*totalFileSize*/, LARGE_INTEGER totalBytesTransferred,
                            LARGE_INTEGER /*streamSize*/, LARGE_INTEGER /*streamBytesTransferred*/,
                            DWORD /*streamNumber*/, DWORD /*callbackReason*/, HANDLE /*sourceFile*/,
                            HANDLE /*destinationFile*/, LPVOID data) {
  const auto& progress = *static_cast<const internal::CopyProgressRoutine*>(data);
  const auto copied = static_cast<std::uint64_t>(totalBytesTransferred.QuadPart);
  return progress(copied) == internal::CopyProgressAction::Cancel ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

}  // namespace win

namespace internal {

namespace {

// The file a path names, by volume and index; false when it cannot be opened.
bool Identify(const ioPath& path, BY_HANDLE_FILE_INFORMATION* info) {
  return win::FollowLink(path.wstring(), info);
}

}  // namespace

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const CopyProgressRoutine& progress) {
  BY_HANDLE_FILE_INFORMATION from{};
  if (!Identify(source, &from)) return win::LastError();
  if ((from.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::invalid_argument);
  BY_HANDLE_FILE_INFORMATION to{};
  if (Identify(destination, &to)) {
    const bool same = from.dwVolumeSerialNumber == to.dwVolumeSerialNumber &&
                      from.nFileIndexHigh == to.nFileIndexHigh && from.nFileIndexLow == to.nFileIndexLow;
    if (same || (to.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::make_error_code(std::errc::invalid_argument);
    }
  }
  win::StagedFile staged;
  if (auto error = staged.Copy(source, destination, &progress)) return error;
  return staged.Publish(/*replace=*/true);
}

}  // namespace internal

}  // namespace Tarnix::Core
