// The progress routine CopyFileExW calls while it copies one file, declared
// apart so that it can be exercised directly where the system never calls it.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"

#include <windows.h>

namespace Tarnix::Core::win {

// Hands the running total of the current file (all its streams) to the
// internal::CopyProgressRoutine that `data` points to, and answers
// PROGRESS_CANCEL when it says Cancel, PROGRESS_CONTINUE otherwise.
DWORD CALLBACK CopyProgress(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                            LARGE_INTEGER streamSize, LARGE_INTEGER streamBytesTransferred, DWORD streamNumber,
                            DWORD callbackReason, HANDLE sourceFile, HANDLE destinationFile, LPVOID data);

}  // namespace Tarnix::Core::win
