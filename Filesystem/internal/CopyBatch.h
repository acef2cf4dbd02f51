// Copies made durable together, for callers that copy many files (a tree, a
// list): each file is staged out of sight beside its destination as
// CopyFileWithProgress stages it, its data sent on its way to the device as
// it is written, and Commit waits for the data of all of them, makes it
// durable at once, gives each its name, and makes all the names durable at
// once. A power cut at any moment leaves every destination as it was or the
// whole copy; a flush costs about the same for one file as for a batch.
//
// Linux: the batch's file systems are flushed with syncfs(2), which writes
// everything dirty on them, also what other programs wrote. A batch is full
// at CopyBatchFiles() files (each staged file is an open unnamed file until
// it is published: a quarter of the process's descriptor limit, at most
// 4,096) or kCopyBatchBytes of data. Windows: a batch holds one copy, staged
// and held until Commit flushes its data and then publishes it.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/ioPath.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

namespace Tarnix::Core::internal {

// The most files a batch stages before it must be committed.
std::size_t CopyBatchFiles();
// The most data a batch stages before it must be committed.
inline constexpr std::uint64_t kCopyBatchBytes = 1ull << 30;

// Asked between bounded waits of a commit (at most kCopyChunkBytes of data
// each): false cancels it.
using CommitProgress = std::function<bool()>;

class CopyBatch {
 public:
  CopyBatch();
  // Discards whatever was staged and not committed: those destinations keep
  // what they had.
  ~CopyBatch();
  CopyBatch(const CopyBatch&) = delete;
  CopyBatch& operator=(const CopyBatch&) = delete;

  // Stages a copy of `source` for `destination` (replacing it on Commit),
  // and tells its size in `bytes` when given. Errors as
  // CopyFileWithProgress's; then nothing is staged for this file.
  [[nodiscard]] std::error_code Add(const ioPath& source, const ioPath& destination,
                                    const CopyProgressRoutine& progress, std::uint64_t* bytes = nullptr);

  // Whether the batch is to be committed before more is added.
  bool Full() const;

  // Makes every staged copy durable and publishes it. The first error; a
  // failed flush publishes nothing of the batch, a failed publication leaves
  // that one destination as it was and goes on with the others. When
  // `progress` answers false while the data is awaited, nothing of the batch
  // is published (errc::operation_canceled). The batch is empty afterwards.
  [[nodiscard]] std::error_code Commit(const CommitProgress& progress = {});

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Tarnix::Core::internal
