// Windows batches of copies: each copy is made durable and published on its
// own by CopyFileWithProgress, so a batch has nothing left to commit.
#include "Filesystem/internal/CopyBatch.h"

namespace Tarnix::Core::internal {

struct CopyBatch::State {};

CopyBatch::CopyBatch() : state_(std::make_unique<State>()) {}
CopyBatch::~CopyBatch() = default;

std::size_t CopyBatchFiles() { return 1; }

bool CopyBatch::Full() const { return false; }

std::error_code CopyBatch::Add(const ioPath& source, const ioPath& destination, const CopyProgressRoutine& progress) {
  return CopyFileWithProgress(source, destination, progress);
}

std::error_code CopyBatch::Commit(const CommitProgress& /*progress*/) { return {}; }

}  // namespace Tarnix::Core::internal
