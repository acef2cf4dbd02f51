// Copying a list of files on a worker thread, with progress and cancellation.
//
// CopyFiles starts one thread per call; concurrent calls are independent
// jobs. The worker reports to the controller, always on its own thread:
//   SetState(Started); SetTotal(sum of the source sizes, 0 for a source that
//   cannot be measured); for each file, Advance(bytes copied since the
//   previous report for that file, starting from 0 for every file), each one
//   followed by IsCancelled(); finally SetState(Succeeded, Cancelled or
//   Failed). No other state is announced, and the final one comes last.
//
// Each file is copied from its source to its destination, replacing an
// existing destination; missing destination directories are not created.
// The copy keeps the source's permission bits and last-write time. It is
// written out of sight and takes the destination's name only when complete,
// so a destination is always either what it was or the complete copy, also
// when the job fails, is cancelled, its process is killed or the power is
// cut: each file's data is flushed to the device before it takes its name,
// and the names of all the job's copies are flushed before the final state
// is announced, so a job announced as ended survives a power cut. Costs: one
// flush per file and one per destination directory. A file that
// cannot be copied does not stop the job (final state Failed). When
// IsCancelled returns true, the current file's copy is discarded (its
// destination keeps what it had), the files copied before it stay and the
// later ones are not attempted (final state Cancelled, unless a file had
// failed before: then Failed). Progress and cancellation are at
// most one chunk of a few MiB late. Nothing is logged.
//
// Windows: a destination another program holds open (a player, a preview)
// is replaced where the system renames with POSIX semantics (Windows 10
// 1607 and later, on NTFS) and the holder shares deletion; the holder keeps
// reading the old file. The copy of that file fails (access denied or a
// sharing violation) where the holder shares no deletion, where the file is
// mapped into memory or runs as a program, and on file systems and systems
// without POSIX renames (FAT, many network shares, Wine); the destination
// then keeps what it had. A read-only destination is never replaced.
//
// Throws std::system_error when the thread cannot be started (no controller
// operation has then been called). The controller's operations must not throw.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ProgressController.h"
#include "Filesystem/ioPath.h"

#include <boost/smart_ptr/intrusive_ptr.hpp>

#include <utility>
#include <vector>

namespace Tarnix::Core {

// Copies each (source, destination) pair of `files`, in order, on a new
// thread. `controller` may be empty: a ProgressControllerStub then takes its
// place. The job keeps its own reference to the controller until it ends.
//
// With `wait`, returns when the job has ended: true exactly when every file
// was copied. Without it, returns as soon as the worker runs, with true
// unless the worker has already ended without success; the real outcome is
// the final SetState on the controller.
LUMFILESYSTEM_EXPORT bool CopyFiles(const std::vector<std::pair<ioPath, ioPath>>& files,
                                    const boost::intrusive_ptr<IProgressController>& controller, bool wait);

}  // namespace Tarnix::Core
