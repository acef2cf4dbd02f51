// The progress routine CopyFileExW calls while it copies one file, declared
// apart so that it can be exercised directly where the system never calls it.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"

#include <windows.h>

namespace Tarnix::Core::win {

// `data` points to a win::CopyContext (StagedFile.h). On its first call with
// a destination handle the routine keeps a handle of its own on the file
// being written (the same access, duplicated), so that the copy is held
// before its first byte. It hands the running total of the file's main
// stream to the context's routine, when there is one (other streams are
// copied after it: their calls repeat the main stream's total, so the
// reports never pass the file's size), and answers PROGRESS_CANCEL when it
// says Cancel, PROGRESS_CONTINUE otherwise.
DWORD CALLBACK CopyProgress(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                            LARGE_INTEGER streamSize, LARGE_INTEGER streamBytesTransferred, DWORD streamNumber,
                            DWORD callbackReason, HANDLE sourceFile, HANDLE destinationFile, LPVOID data);

}  // namespace Tarnix::Core::win
