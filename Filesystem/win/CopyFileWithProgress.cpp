// Windows copy of one file: CopyFileExW with a progress routine into a staged
// copy beside the destination (win/StagedFile.h), then a replacing rename
// through the held copy. The system reports the running total after each
// chunk it copies and, on PROGRESS_CANCEL, deletes what it wrote and fails
// with ERROR_REQUEST_ABORTED.
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"
#include "Filesystem/win/StagedFile.h"

namespace Tarnix::Core {

namespace win {

DWORD CALLBACK CopyProgress(LARGE_INTEGER /*totalFileSize*/, LARGE_INTEGER /*totalBytesTransferred*/,
                            LARGE_INTEGER /*streamSize*/, LARGE_INTEGER streamBytesTransferred, DWORD streamNumber,
                            DWORD /*callbackReason*/, HANDLE /*sourceFile*/, HANDLE destinationFile, LPVOID data) {
  auto& context = *static_cast<CopyContext*>(data);
  if (!context.destination && destinationFile != nullptr && destinationFile != INVALID_HANDLE_VALUE) {
    HANDLE own = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), destinationFile, ::GetCurrentProcess(), &own, 0, FALSE,
                          DUPLICATE_SAME_ACCESS)) {
      context.destination.reset(own);
    }
  }
  if (streamNumber <= 1) context.mainStreamBytes = static_cast<std::uint64_t>(streamBytesTransferred.QuadPart);
  if (context.progress == nullptr) return PROGRESS_CONTINUE;
  return (*context.progress)(context.mainStreamBytes) == internal::CopyProgressAction::Cancel ? PROGRESS_CANCEL
                                                                                           : PROGRESS_CONTINUE;
}

std::error_code StageCopy(const ioPath& source, const ioPath& destination,
                          const internal::CopyProgressRoutine& progress, StagedFile* staged) {
  BY_HANDLE_FILE_INFORMATION from{};
  if (!FollowLink(source, &from)) return LastError();
  if ((from.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::invalid_argument);
  BY_HANDLE_FILE_INFORMATION to{};
  if (FollowLink(destination, &to)) {
    const bool same = from.dwVolumeSerialNumber == to.dwVolumeSerialNumber &&
                      from.nFileIndexHigh == to.nFileIndexHigh && from.nFileIndexLow == to.nFileIndexLow;
    if (same || (to.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::make_error_code(std::errc::invalid_argument);
    }
  }
  return staged->Copy(source, destination, &progress);
}

}  // namespace win

namespace internal {

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const CopyProgressRoutine& progress) {
  win::StagedFile staged;
  if (auto error = win::StageCopy(source, destination, progress, &staged)) return error;
  return staged.Publish(/*replace=*/true);
}

}  // namespace internal

}  // namespace Tarnix::Core
