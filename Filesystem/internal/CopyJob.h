// The work of one CopyFiles call, apart from the thread it runs on and from
// the way a single file is copied, so that the sequence of reports can be
// followed with any per-file copy (the platform's, or one a test scripts).
#pragma once

#include "Filesystem/ProgressController.h"
#include "Filesystem/internal/CopyFileWithProgress.h"

#include <atomic>
#include <functional>
#include <system_error>
#include <utility>
#include <vector>

namespace Tarnix::Core::internal {

// Copies one file, as CopyFileDeferringNameSync does.
using CopyOneFile = std::function<std::error_code(const ioPath& source, const ioPath& destination,
                                                  const CopyProgressRoutine& progress)>;

// Makes the names of the copies in `directories` durable, as SyncDirectories does.
using SyncNames = std::function<std::error_code(const std::vector<ioPath>& directories)>;

// Reports Started, the total of the source sizes, each file's increments
// (each followed by IsCancelled, whose true answer cancels), and the final
// state, copying every pair with `copyOne`; a failed file does not stop the
// job, a cancelled one does. Before the final state, `syncNames` (when
// given) makes the names of every copy durable, once for each destination
// directory (its failure fails the job): each file's data is made durable by
// `copyOne`, so a job announced as ended survives a power cut. True when the
// final state is Succeeded; that answer is also stored in `*result` (when
// given) before the final state is announced, so a caller that learns the
// end from the controller finds it.
bool RunCopyJob(const std::vector<std::pair<ioPath, ioPath>>& files, IProgressController& controller,
                const CopyOneFile& copyOne, std::atomic<bool>* result = nullptr, const SyncNames& syncNames = {});

}  // namespace Tarnix::Core::internal
