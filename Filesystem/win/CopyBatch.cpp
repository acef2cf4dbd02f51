// Windows batches of copies: each copy is made durable and published on its
// own by CopyFileWithProgress, so a batch has nothing left to commit.
#include "Filesystem/internal/CopyBatch.h"

namespace Tarnix::Core::internal {

struct CopyBatch::State {};

CopyBatch::CopyBatch() : state_(std::make_unique<State>()) {}
CopyBatch::~CopyBatch() = default;

std::size_t CopyBatchFiles() { return 1; }

bool CopyBatch::Full() const { return false; }

std::error_code CopyBatch::Add(const ioPath& source, const ioPath& destination, const CopyProgressRoutine& progress,
                               std::uint64_t* bytes) {
  const std::error_code error = CopyFileWithProgress(source, destination, progress);
  if (!error && bytes != nullptr) *bytes = destination.file_size();
  return error;
}

std::error_code CopyBatch::Commit(const CommitProgress& /*progress*/) { return {}; }

}  // namespace Tarnix::Core::internal
