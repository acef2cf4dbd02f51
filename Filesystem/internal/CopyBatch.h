// Copies made durable together, for callers that copy many files (a tree):
// each file is staged out of sight beside its destination as
// CopyFileWithProgress stages it, and Commit puts the data of all of them on
// the device at once, gives each its name, and makes all the names durable
// at once. A power cut at any moment leaves every destination as it was or
// the whole copy; a flush costs the same for one file as for a batch.
//
// Linux: the batch's file systems are flushed with syncfs(2), which writes
// everything dirty on them, also what other programs wrote; batches are
// bounded (kCopyBatchFiles, and fewer where the process runs out of
// descriptors: each staged file is an open unnamed file until it is
// published). Windows: each copy is made durable and published on its own.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/ioPath.h"

#include <cstddef>
#include <memory>
#include <system_error>

namespace Tarnix::Core::internal {

// The most files a batch stages before it must be committed.
inline constexpr std::size_t kCopyBatchFiles = 256;

class CopyBatch {
 public:
  CopyBatch();
  // Discards whatever was staged and not committed: those destinations keep
  // what they had.
  ~CopyBatch();
  CopyBatch(const CopyBatch&) = delete;
  CopyBatch& operator=(const CopyBatch&) = delete;

  // Stages a copy of `source` for `destination` (replacing it on Commit).
  // Errors as CopyFileWithProgress's; then nothing is staged for this file.
  [[nodiscard]] std::error_code Add(const ioPath& source, const ioPath& destination,
                                    const CopyProgressRoutine& progress);

  // Whether the batch is to be committed before more is added.
  bool Full() const;

  // Makes every staged copy durable and publishes it. The first error; a
  // failed flush publishes nothing of the batch, a failed publication leaves
  // that one destination as it was and goes on with the others. The batch is
  // empty afterwards.
  [[nodiscard]] std::error_code Commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Tarnix::Core::internal
