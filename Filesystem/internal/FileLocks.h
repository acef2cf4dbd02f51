// Locks that keep cached files alive while they are read.
//
// A reader holds a read lock on a file; a remover cannot remove a file while
// anyone holds one, in this process or another. FileLock is the portable,
// opaque owner of such a lock; how it is held is the platform's business:
//
// Linux: flock() locks. A reader holds a shared lock, a remover takes an
// exclusive one before it unlinks. They belong to the open file description,
// so two opens of one file in the same process are two independent holders.
// Windows: an open handle without delete sharing. The system itself refuses
// to delete or rename the file while it is open, so a remover needs no lock
// of its own.
#pragma once

#include "Filesystem/ioPath.h"
#include "RAII/UniqueResource.h"

#include <cstdint>
#include <system_error>

namespace Tarnix::Core::internal {

// The handle of a locked file, as UniqueResource owns it: a descriptor on
// Linux, a HANDLE on Windows. Closing it releases the lock; each platform's
// FileLocks.cpp defines Close.
struct FileLockHandle {
  using Value = std::intptr_t;
  static constexpr Value None() noexcept { return -1; }  // also INVALID_HANDLE_VALUE
  static constexpr bool Valid(Value handle) noexcept { return handle != None(); }
  static void Close(Value handle) noexcept;
};

// Move-only owner of one lock; destroying it (or assigning another lock to
// it) releases the lock. An empty lock holds nothing. Never throws.
class FileLock : public UniqueResource<FileLockHandle> {
 public:
  // Only the platform code that makes and releases locks uses the handle.
  using NativeHandle = FileLockHandle::Value;

  using UniqueResource::UniqueResource;
  NativeHandle native() const noexcept { return get(); }
};

// Takes a read lock on the file at `path` without waiting. Succeeds only when,
// with the lock held, `path` still names the locked file, so a lock never
// protects a file that was replaced meanwhile.
// Errors: the open's own error; errc::resource_unavailable_try_again when a
// remover holds the file; errc::no_such_file_or_directory when the path was
// replaced or removed while locking.
[[nodiscard]] std::error_code AcquireReadLock(const ioPath& path, FileLock* lock);

// Takes what a remover holds while it removes `path`, so that no reader can
// lock the file in between. Errors: errc::device_or_resource_busy when a
// reader holds the file; errc::no_such_file_or_directory when it disappeared
// or was replaced; the open's own error otherwise. Where the system itself
// refuses to remove an open file (Windows), succeeds with an empty lock and
// the removal reports the holder.
// Linux: a file this user cannot open (errc::permission_denied) may still be
// read-locked by its owner, so it is reported as such and must not be removed:
// on a root shared by several users every user must be able to read every
// cached file for removals to happen at all.
[[nodiscard]] std::error_code AcquireRemovalLock(const ioPath& path, FileLock* lock);

// Why a file whose removal lock was refused with errc::permission_denied
// stays, in the platform's terms, for the WARNING that says so.
const char* UncheckableForReadersReason();

// Removes the regular file at `path`, its removal lock held; true when it is
// gone. Windows: its name goes at once even while others (an antivirus
// scanner, an indexer) hold it open sharing deletion.
bool RemoveLockedFile(const ioPath& path);

}  // namespace Tarnix::Core::internal
