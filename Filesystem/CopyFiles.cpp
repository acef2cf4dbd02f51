#include "Filesystem/CopyFiles.h"

#include "Filesystem/internal/CopyJob.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace Tarnix::Core {

namespace internal {

bool RunCopyJob(const std::vector<std::pair<ioPath, ioPath>>& files, IProgressController& controller,
                const CopyOneFile& copyOne, std::atomic<bool>* result, const CommitCopies& commit) {
  int state = Succeeded;
  controller.SetState(Started);

  unsigned long long total = 0;
  for (const auto& [source, destination] : files) total += ioPath::file_size(source);
  controller.SetTotal(total);

  // While a batch is awaited: no bytes, but a chance to cancel.
  const CommitProgress keepGoing = [&] {
    controller.Advance(0);
    return !controller.IsCancelled();
  };
  // A failed or cancelled batch: the job failed, or (when nothing failed before) was cancelled.
  const auto settle = [&](const std::error_code& ec) {
    if (ec == std::errc::operation_canceled && state != Failed) state = Cancelled;
    if (ec && ec != std::errc::operation_canceled) state = Failed;
  };
  for (const auto& [source, destination] : files) {
    std::uint64_t reported = 0;  // of the current file
    const auto progress = [&](std::uint64_t copied) {
      controller.Advance(static_cast<long long>(copied - reported));
      reported = copied;
      return controller.IsCancelled() ? CopyProgressAction::Cancel : CopyProgressAction::Continue;
    };
    const std::error_code ec = copyOne(source, destination, progress);
    if (ec == std::errc::operation_canceled) {
      if (state != Failed) state = Cancelled;
      break;
    }
    if (ec) state = Failed;
    if (commit) settle(commit(/*last=*/false, keepGoing));
    if (state == Cancelled) break;
  }
  // The files copied before a cancel stay: they are published without asking again.
  if (commit) settle(commit(/*last=*/true, state == Cancelled ? CommitProgress() : keepGoing));
  if (result != nullptr) result->store(state == Succeeded);
  controller.SetState(state);
  return state == Succeeded;
}

}  // namespace internal

namespace {

using FileList = std::vector<std::pair<ioPath, ioPath>>;
// Written once by the worker, read by the caller while it may still run.
using ResultFlag = std::shared_ptr<std::atomic<bool>>;

// Runs on the worker thread and owns its copies of everything it uses, so
// that the caller may return (and drop its controller) at any time.
void Work(FileList files, boost::intrusive_ptr<IProgressController> controller, ResultFlag result) {
  internal::CopyBatch batch;
  const auto stage = [&batch](const ioPath& source, const ioPath& destination,
                              const internal::CopyProgressRoutine& progress) {
    return batch.Add(source, destination, progress);
  };
  const auto commit = [&batch](bool last, const internal::CommitProgress& progress) {
    return last || batch.Full() ? batch.Commit(progress) : std::error_code();
  };
  internal::RunCopyJob(files, *controller, stage, result.get(), commit);
}

}  // namespace

bool CopyFiles(const std::vector<std::pair<ioPath, ioPath>>& files,
               const boost::intrusive_ptr<IProgressController>& controller, bool wait) {
  auto result = std::make_shared<std::atomic<bool>>(true);
  boost::intrusive_ptr<IProgressController> jobController =
      controller ? controller : boost::intrusive_ptr<IProgressController>(new ProgressControllerStub);
  // std::thread copies the list in this thread, before the worker starts.
  std::thread worker(Work, files, std::move(jobController), result);
  if (wait) {
    worker.join();
  } else {
    worker.detach();
  }
  return result->load();
}

}  // namespace Tarnix::Core
