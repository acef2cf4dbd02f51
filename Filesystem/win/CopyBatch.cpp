// Windows batches of copies: one file at a time. Each copy is staged and
// held (win/StagedFile.h); Commit puts its data on the disk, asking the
// progress between files, and only then publishes (a cancel publishes
// nothing), each name made durable by its own flush.
#include "Filesystem/internal/CopyBatch.h"

#include "Filesystem/win/StagedFile.h"

#include <memory>
#include <vector>

namespace Tarnix::Core::internal {

struct CopyBatch::State {
  std::vector<std::unique_ptr<win::StagedFile>> staged;
};

CopyBatch::CopyBatch() : state_(std::make_unique<State>()) {}
CopyBatch::~CopyBatch() = default;  // unpublished copies are deleted

std::size_t CopyBatchFiles() { return 1; }

bool CopyBatch::Full() const { return state_->staged.size() >= CopyBatchFiles(); }

std::error_code CopyBatch::Add(const ioPath& source, const ioPath& destination, const CopyProgressRoutine& progress,
                               std::uint64_t* bytes) {
  auto staged = std::make_unique<win::StagedFile>();
  if (auto error = win::StageCopy(source, destination, progress, staged.get())) return error;
  if (bytes != nullptr) *bytes = source.file_size();
  state_->staged.push_back(std::move(staged));
  return {};
}

std::error_code CopyBatch::Commit(const CommitProgress& progress) {
  std::vector<std::unique_ptr<win::StagedFile>> staged = std::move(state_->staged);
  state_->staged.clear();
  const auto cancelled = [&] { return progress && !progress(); };
  for (const auto& file : staged) {
    if (cancelled()) return std::make_error_code(std::errc::operation_canceled);
    if (auto error = file->FlushData()) return error;
  }
  if (cancelled()) return std::make_error_code(std::errc::operation_canceled);
  std::error_code first;
  for (const auto& file : staged) {
    const std::error_code error = file->Publish(/*replace=*/true);
    if (error && !first) first = error;
  }
  return first;
}

}  // namespace Tarnix::Core::internal
