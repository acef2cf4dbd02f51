// The work of one CopyFiles call, apart from the thread it runs on and from
// the way a single file is copied, so that the sequence of reports can be
// followed with any per-file copy (the platform's, or one a test scripts).
#pragma once

#include "Filesystem/ProgressController.h"
#include "Filesystem/internal/CopyBatch.h"
#include "Filesystem/internal/CopyFileWithProgress.h"

#include <atomic>
#include <functional>
#include <system_error>
#include <utility>
#include <vector>

namespace Tarnix::Core::internal {

// Copies one file, as CopyFileWithProgress does, or stages it in a batch.
using CopyOneFile = std::function<std::error_code(const ioPath& source, const ioPath& destination,
                                                  const CopyProgressRoutine& progress)>;

// Publishes what `copyOne` staged, as CopyBatch::Commit does: after each file
// with `last` false (it commits only when its batch is full), and once at
// the end with `last` true. `progress` is asked between bounded waits.
using CommitCopies = std::function<std::error_code(bool last, const CommitProgress& progress)>;

// Reports Started, the total of the source sizes, each file's increments
// (each followed by IsCancelled, whose true answer cancels), and the final
// state, copying every pair with `copyOne`; a failed file does not stop the
// job, a cancelled one does. With `commit`, the copies are published (and
// made durable) batch by batch, the last batch before the final state, so a
// job announced as ended survives a power cut; while a batch is awaited the
// controller hears Advance(0) and IsCancelled at least once per chunk, and a
// cancel then discards that batch. A failed commit fails the job. True when
// the final state is Succeeded; that answer is also stored in `*result`
// (when given) before the final state is announced, so a caller that learns
// the end from the controller finds it.
bool RunCopyJob(const std::vector<std::pair<ioPath, ioPath>>& files, IProgressController& controller,
                const CopyOneFile& copyOne, std::atomic<bool>* result = nullptr, const CommitCopies& commit = {});

}  // namespace Tarnix::Core::internal
