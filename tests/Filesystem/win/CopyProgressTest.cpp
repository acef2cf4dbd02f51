// The progress routine CopyFileExW calls, driven with chosen byte counts
// through the copy job: what reaches the controller, and what the routine
// answers once the controller says cancel. (Wine never calls the routine, so
// this is how it is tested there; on Windows CopyFilesTest shows it for real.)
#include "Filesystem/internal/CopyJob.h"
#include "Filesystem/win/CopyProgress.h"

#include <gtest/gtest.h>

#include <vector>

namespace Tarnix::Core {
namespace {

// Records states and increments; cancels once `cancelAt` bytes were advanced.
struct Recorder final : ProgressControllerStub {
  explicit Recorder(long long cancelAt) : cancelAt(cancelAt) {}
  void SetState(int state) override { states.push_back(state); }
  void Advance(long long bytes) override { advances.push_back(bytes); advanced += bytes; }
  bool IsCancelled() override { return advanced >= cancelAt; }

  const long long cancelAt;
  long long advanced = 0;
  std::vector<int> states;
  std::vector<long long> advances;
};

// What CopyFileExW does with its routine: reports each running total of a
// file of 400 bytes and, on PROGRESS_CANCEL, fails the copy.
std::error_code ScriptedCopy(const internal::CopyProgressRoutine& progress, std::vector<DWORD>* answers) {
  const auto bytes = [](long long count) {
    LARGE_INTEGER value;
    value.QuadPart = count;
    return value;
  };
  for (const long long total : {0, 100, 250, 400}) {
    answers->push_back(win::CopyProgress(bytes(400), bytes(total), bytes(400), bytes(total), 1, CALLBACK_CHUNK_FINISHED,
                                         nullptr, nullptr, const_cast<internal::CopyProgressRoutine*>(&progress)));
    if (answers->back() == PROGRESS_CANCEL) return std::make_error_code(std::errc::operation_canceled);
  }
  return {};
}

TEST(CopyProgressRoutine, IncrementsReachTheControllerAndCancelStopsTheJob) {
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
          return ScriptedCopy(progress, &answers);
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
