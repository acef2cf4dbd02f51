// Windows copy of one file: CopyFileExW with a progress routine. The system
// reports the running total after each chunk it copies, overwrites an
// existing destination (flags 0), and on PROGRESS_CANCEL deletes the partly
// written destination and fails with ERROR_REQUEST_ABORTED.
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/Handle.h"

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

std::error_code CopyFileWithProgress(const ioPath& source, const ioPath& destination,
                                     const CopyProgressRoutine& progress) {
  BOOL cancel = FALSE;  // nothing sets it: cancelling goes through the routine
  if (::CopyFileExW(source.wstring().c_str(), destination.wstring().c_str(), &win::CopyProgress,
                    const_cast<CopyProgressRoutine*>(&progress), &cancel, 0)) {
    return {};
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_REQUEST_ABORTED) return std::make_error_code(std::errc::operation_canceled);
  return win::WindowsError(error);
}

}  // namespace internal

}  // namespace Tarnix::Core
