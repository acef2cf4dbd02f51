// The progress routine CopyFileExW calls, driven with chosen byte counts
// through the copy job: what reaches the controller, and what the routine
// answers once the controller says cancel. (Wine never calls the routine, so
// this is how it is tested there; on Windows CopyFilesTest shows it for real.)
#include "Filesystem/internal/CopyJob.h"
#include "Filesystem/win/CopyProgress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

// Records states and increments; cancels once `cancelAt` bytes were advanced.
class Recorder final : public ProgressControllerStub {
 public:
  explicit Recorder(long long cancelAt) : cancelAt_(cancelAt) {}
  void SetState(int state) override { states.push_back(state); }
  void Advance(long long bytes) override {
    advances.push_back(bytes);
    advanced_ += bytes;
  }
  bool IsCancelled() override { return advanced_ >= cancelAt_; }

  std::vector<int> states;
  std::vector<long long> advances;

 private:
  const long long cancelAt_;
  long long advanced_ = 0;
};

LARGE_INTEGER Bytes(long long count) {
  LARGE_INTEGER value;
  value.QuadPart = count;
  return value;
}

// What CopyFileExW does with its routine: reports each running total and,
// on PROGRESS_CANCEL, fails the copy with ERROR_REQUEST_ABORTED.
std::error_code ScriptedCopy(const std::vector<long long>& totals, const internal::CopyProgressRoutine& progress,
                             std::vector<DWORD>* answers) {
  for (const long long total : totals) {
    const DWORD answer = win::CopyProgress(Bytes(totals.back()), Bytes(total), Bytes(totals.back()), Bytes(total), 1,
                                           CALLBACK_CHUNK_FINISHED, nullptr, nullptr,
                                           const_cast<internal::CopyProgressRoutine*>(&progress));
    answers->push_back(answer);
    if (answer == PROGRESS_CANCEL) return std::make_error_code(std::errc::operation_canceled);
  }
  return {};
}

TEST(CopyProgressRoutine, IncrementsReachTheControllerAndCancelStopsTheJob) {
  const std::vector<long long> totals = {0, 100, 250, 400};
  const struct {
    long long cancelAt;
    int finalState;
    std::vector<long long> advances;  // of both files together
    std::vector<DWORD> answers;       // of the first file
  } rows[] = {
      {1000, Succeeded, {0, 100, 150, 150, 0, 100, 150, 150}, {0, 0, 0, 0}},
      {250, Cancelled, {0, 100, 150}, {PROGRESS_CONTINUE, PROGRESS_CONTINUE, PROGRESS_CANCEL}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.cancelAt);
    Recorder recorder(row.cancelAt);
    std::vector<DWORD> answers;
    const bool copied = internal::RunCopyJob(
        {{ioPath("a"), ioPath("a.copy")}, {ioPath("b"), ioPath("b.copy")}}, recorder,
        [&](const ioPath&, const ioPath&, const internal::CopyProgressRoutine& progress) {
          return ScriptedCopy(totals, progress, &answers);
        });
    EXPECT_EQ(copied, row.finalState == Succeeded);
    EXPECT_EQ(recorder.states, (std::vector<int>{Started, row.finalState}));
    EXPECT_EQ(recorder.advances, row.advances);
    answers.resize(row.answers.size());
    EXPECT_EQ(answers, row.answers);
  }
}

}  // namespace
}  // namespace Tarnix::Core
