// CopyFiles and the per-file copy under it. The reports of progress need the
// system to call the copy's progress routine, which Wine never does: the
// Windows section drives the routine itself. Linux's section: the ways of
// moving data, FIFOs, self-copies.
#include "Filesystem/CopyFiles.h"
#include "Filesystem/internal/CopyBatch.h"
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "support/Test.h"

#include <filesystem>
#include <map>
#include <regex>

#ifdef _WIN32
#include "Filesystem/internal/CopyJob.h"
#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/Path.h"
#include "Filesystem/win/StagedFile.h"
#else
#include "Filesystem/posix/CopyData.h"
#endif

namespace Tarnix::Core {
namespace {

using internal::kCopyChunkBytes;
using FileList = std::vector<std::pair<ioPath, ioPath>>;

constexpr long long kMiB = 1 << 20;

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)

// Writes `size` bytes of a pattern that differs per `seed` and per position.
std::string MakeFile(const ioPath& path, std::size_t size, unsigned seed = 1) {
  std::string contents(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : contents) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  WriteFile(path, contents);
  return contents;
}

// Records the calls in order in `trace` ('S' SetState, 'T' SetTotal, 'A' Advance, 'C' IsCancelled) and the
// values of each kind; cancels once more than `cancelAfter` bytes were advanced in all, and holds the worker
// in SetState(Started) while `holdStart` is set.
struct RecordingController final : ProgressControllerStub {
  explicit RecordingController(long long cancelAfter = -1) : cancelAfter(cancelAfter) {}
  void SetState(int state) override {
    Add('S', state);
    if (state == Started) WaitUntil([&] { return !holdStart.load(); });
  }
  void SetTotal(unsigned long long total) override { Add('T', static_cast<long long>(total)); }
  void Advance(long long bytes) override { advanced += Add('A', bytes); }
  bool IsCancelled() override { return Add('C', cancelAfter >= 0 && advanced > cancelAfter); }
  long long Add(char kind, long long value) {
    std::lock_guard<std::mutex> lock(mutex);
    trace += kind;
    values[kind].push_back(value);
    offCallerThread = offCallerThread && std::this_thread::get_id() != caller;
    return value;
  }

  std::mutex mutex;
  std::string trace;  // guarded by mutex, as are the two below
  std::map<char, std::vector<long long>> values;
  bool offCallerThread = true;
  std::atomic<bool> holdStart{false};
  const std::thread::id caller = std::this_thread::get_id();
  const long long cancelAfter;  // never cancels when negative
  long long advanced = 0;       // worker thread only
};

class CopyFilesTest : public TempDirTest {
 protected:
  // Runs a job; checks the protocol: on the worker, Started, the total, each Advance then a poll, `finalState`.
  bool Copy(const FileList& files, int finalState, long long cancelAfter = -1) {
    log_ = new RecordingController(cancelAfter);
    const bool result = CopyFiles(files, log_, true);
    EXPECT_EQ(log_->GetRefCount(), 1u) << "the job must release its controller";
    EXPECT_TRUE(log_->offCallerThread);
    EXPECT_TRUE(std::regex_match(log_->trace, std::regex("ST(AC)*S"))) << log_->trace;
    EXPECT_EQ(log_->values['S'], (std::vector<long long>{Started, finalState}));
    return result;
  }
  ioPath At(const std::string& name) const { return dir_ / name; }

  boost::intrusive_ptr<RecordingController> log_;
};

// An empty list; then a missing source among good ones: the total counts the
// others, whose reports each open with 0 and add up to the file's size.
TEST_F(CopyFilesTest, MissingSourceFailsTheJobButNotTheOtherFiles) {
  EXPECT_TRUE(Copy({}, Succeeded));
  EXPECT_EQ(log_->values['T'], std::vector<long long>{0});
  const std::vector<long long> sizes = {kCopyChunkBytes + 12345, 0, 1};
  for (std::size_t i = 0; i < sizes.size(); ++i) MakeFile(At(std::to_string(i)), sizes[i]);
  const FileList files = {
      {At("0"), At("0.copy")}, {At("missing"), At("missing.copy")}, {At("1"), At("1.copy")}, {At("2"), At("2.copy")}};
  EXPECT_FALSE(Copy(files, Failed));
  EXPECT_EQ(log_->values['T'], std::vector<long long>{kCopyChunkBytes + 12346});
  for (const auto& [source, destination] : files) EXPECT_EQ(ReadFile(destination), ReadFile(source));
  EXPECT_FALSE(At("missing.copy").exists());
  // The reports of each file come from the CopyFileExW progress routine,
  // which Wine never calls; CopyProgressRoutine.* drives it directly.
  if (UnderWine()) return;
  std::vector<long long> sums;  // a file's reports open with 0
  for (long long bytes : log_->values['A']) {
    EXPECT_TRUE(bytes >= 0 && bytes <= static_cast<long long>(kCopyChunkBytes)) << bytes;
    if (bytes == 0 || sums.empty()) sums.push_back(0);
    sums.back() += bytes;
  }
  // Then, while the data is awaited on its way to the device, reports of nothing.
  ASSERT_GE(sums.size(), sizes.size());
  EXPECT_EQ(std::vector<long long>(sums.begin(), sums.begin() + sizes.size()), sizes);
  EXPECT_THAT(std::vector<long long>(sums.begin() + sizes.size(), sums.end()), testing::Each(0));
}

// A batch cancelled while its data is awaited publishes nothing; one
// committed replaces its destinations whole.
TEST_F(CopyFilesTest, BatchCancelledWhileFlushingPublishesNothing) {
  for (const bool cancel : {true, false}) {
    SCOPED_TRACE(cancel);
    internal::CopyBatch batch;
    for (const char* name : {"a", "b"}) {
      MakeFile(At(name), kCopyChunkBytes + 5, 3);
      WriteFile(At(std::string(name) + ".copy"), "old");
      ASSERT_EQ(batch.Add(At(name), At(std::string(name) + ".copy"),
                          [](std::uint64_t) { return internal::CopyProgressAction::Continue; }),
                std::error_code());
    }
    int asked = 0;
    const std::error_code ec = batch.Commit([&] { return ++asked < 2 || !cancel; });
    EXPECT_GE(asked, 2) << "asked between chunks";
    EXPECT_EQ(ec, cancel ? std::make_error_code(std::errc::operation_canceled) : std::error_code());
    for (const char* name : {"a", "b"}) {
      EXPECT_EQ(ReadFile(At(std::string(name) + ".copy")), cancel ? "old" : ReadFile(At(name))) << name;
    }
  }
}

// Cancelled in the second of three files: its copy is discarded and the destination keeps what it had, the
// third is never made, and the job stops at the first poll that said so. A failure before the cancellation
// still makes the job Failed.
TEST_F(CopyFilesTest, CancelDuringSecondFileRemovesItAndSkipsTheRest) {
  LUM_SKIP_UNDER_WINE("calling the CopyFileExW progress routine (PROGRESS_CANCEL)");
  const long long size = kCopyChunkBytes + kMiB;  // two steps per file
  for (const char* name : {"1", "2", "3"}) MakeFile(At(name), size, name[0]);
  const std::tuple<std::string, long long, int> cases[] = {{"1", size, Cancelled}, {"missing", 0, Failed}};
  for (const auto& [source, cancelAfter, state] : cases) {
    SCOPED_TRACE(source);
    const std::string old = MakeFile(At("2.copy"), 10, 4);
    EXPECT_FALSE(Copy({{At(source), At(source + ".copy")}, {At("2"), At("2.copy")}, {At("3"), At("3.copy")}},
                      state, cancelAfter));
    EXPECT_EQ(ReadFile(At(source + ".copy")), ReadFile(At(source)));
    EXPECT_EQ(ReadFile(At("2.copy")), old);
    EXPECT_FALSE(At("3.copy").exists());
    EXPECT_EQ(EntriesIn(dir_.path()), 5) << "nothing staged stays";
    const auto& polls = log_->values['C'];
    EXPECT_TRUE(!polls.empty() && polls.back() == 1 && std::count(polls.begin(), polls.end(), 1) == 1);
  }
}

// The caller returns while the worker is held in SetState(Started) and learns
// the outcome from the controller, of which the job keeps its own reference.
TEST_F(CopyFilesTest, WithoutWaitReturnsAtOnceAndTheJobKeepsTheController) {
  const auto contents = MakeFile(At("src"), 3 * kMiB);
  boost::intrusive_ptr<RecordingController> controller(new RecordingController);
  controller->holdStart = true;
  EXPECT_TRUE(CopyFiles({{At("src"), At("dst")}}, controller, false));
  EXPECT_FALSE(At("dst").exists()) << "CopyFiles waited for a job it was told not to wait for";
  EXPECT_EQ(controller->GetRefCount(), 2u);
  controller->holdStart = false;
  ASSERT_TRUE(WaitUntil([&] { return controller->GetRefCount() == 1; }));
  std::lock_guard<std::mutex> lock(controller->mutex);
  EXPECT_EQ(controller->values['S'], (std::vector<long long>{Started, Succeeded}));
  EXPECT_EQ(ReadFile(At("dst")), contents);
}

// --- Linux only -------------------------------------------------------------
#ifndef _WIN32
internal::CopyProgressAction KeepGoing(std::uint64_t) { return internal::CopyProgressAction::Continue; }

std::filesystem::perms Mode(const ioPath& path) { return std::filesystem::status(path.platformString()).permissions(); }

// The per-file copy over a longer destination with each way of
// moving data, from a pseudo file (size 0, refuses copy_file_range and sendfile) and from ext4 to tmpfs (EXDEV,
// then sendfile): data, running totals, mode and time.
TEST_F(CopyFilesTest, CopiesDataAndAttributes) {
  MakeFile(At("src"), kCopyChunkBytes + 777);
  std::filesystem::permissions(At("src").platformString(), std::filesystem::perms(0604));
  SetFileTime(At("src"), 1234567890);
  const auto copy = [&](const ioPath& source, const ioPath& destination, posix::CopyMethod method) {
    SCOPED_TRACE(destination.utf8string() + " by method " + std::to_string(static_cast<int>(method)));
    MakeFile(destination, kCopyChunkBytes + 1000, 7);
    std::vector<std::uint64_t> totals;
    ASSERT_EQ(posix::CopyFileWithProgress(source, destination, [&](std::uint64_t copied) {
                totals.push_back(copied);
                return internal::CopyProgressAction::Continue;
              }, method, posix::Durability::DataAndName), std::error_code());
    const std::string contents = ReadFile(source);
    EXPECT_EQ(ReadFile(destination), contents);
    EXPECT_TRUE(!totals.empty() && totals.front() == 0 && totals.back() == contents.size());
    EXPECT_EQ(Mode(destination), Mode(source));
    EXPECT_EQ(destination.last_write_time(), source.last_write_time());
  };
  for (auto m : {posix::CopyMethod::CopyFileRange, posix::CopyMethod::SendFile, posix::CopyMethod::ReadWrite}) copy(At("src"), At("dst"), m);
  copy("/proc/self/cmdline", At("proc"), posix::CopyMethod::CopyFileRange);
  TempDir shm("/dev/shm");
  if (!OnDifferentFileSystems(dir_.path(), shm.path())) GTEST_SKIP() << "no second file system";
  copy(At("src"), shm / "dst", posix::CopyMethod::CopyFileRange);
}

// Copying a file onto itself must not truncate it, and a FIFO on either side
// must be refused rather than block.
TEST_F(CopyFilesTest, RefusesSelfCopiesAndFifos) {
  MakeFile(At("file"), 1000);
  const std::string contents = ReadFile(At("file"));
  ASSERT_EQ(::mkfifo(At("fifo").platformString().c_str(), 0600), 0);
  ASSERT_EQ(::symlink("file", At("link").platformString().c_str()), 0);
  for (const auto& [source, destination] : {std::pair{"file", "file"}, {"file", "link"}, {"fifo", "out"},
                                            {"file", "fifo"}}) {
    SCOPED_TRACE(std::string(source) + " -> " + destination);
    EXPECT_TRUE(internal::CopyFileWithProgress(At(source), At(destination), KeepGoing));
    EXPECT_EQ(ReadFile(At("file")), contents);
    EXPECT_FALSE(At("out").exists());
  }
}
#else
// --- Windows only: the routine CopyFileExW calls, driven with chosen totals --
// What CopyFileExW does with its routine for a file of 400 bytes and a second
// stream of 50: reports each running total and, on PROGRESS_CANCEL, fails the
// copy. The routine counts the main stream only (the later stream repeats its
// total), and its first call takes a handle of its own on the destination,
// which then outlives the copier's.
std::error_code ScriptedCopy(const ioPath& destination, const internal::CopyProgressRoutine& progress,
                             std::vector<DWORD>* answers) {
  const auto bytes = [](long long count) {
    LARGE_INTEGER value;
    value.QuadPart = count;
    return value;
  };
  win::UniqueHandle writer(::CreateFileW(win::Win32Path(destination).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                         CREATE_ALWAYS, 0, nullptr));
  EXPECT_TRUE(writer);
  win::CopyContext context;
  context.progress = &progress;
  // (total of all streams, stream size, stream's bytes, stream number)
  const std::tuple<long long, long long, long long, DWORD> calls[] = {
      {0, 400, 0, 1}, {100, 400, 100, 1}, {250, 400, 250, 1}, {400, 400, 400, 1}, {450, 50, 50, 2}};
  for (const auto& [total, streamSize, streamBytes, stream] : calls) {
    answers->push_back(win::CopyProgress(bytes(450), bytes(total), bytes(streamSize), bytes(streamBytes), stream,
                                         CALLBACK_CHUNK_FINISHED, nullptr, writer.get(), &context));
    if (answers->back() == PROGRESS_CANCEL) return std::make_error_code(std::errc::operation_canceled);
  }
  writer.reset();
  EXPECT_FALSE(::DeleteFileW(win::Win32Path(destination).c_str())) << "the routine's handle still holds it";
  return {};
}

// Two files through the copy job: the increments reach the controller, and
// once it says cancel the routine answers PROGRESS_CANCEL and the job stops.
TEST(CopyProgressRoutine, IncrementsReachTheControllerAndCancelStopsTheJob) {
  const std::tuple<long long, int, std::vector<long long>, std::vector<DWORD>> rows[] = {
      // cancel after, final state, advances of both files, the routine's answers for the first
      {-1, Succeeded, {0, 100, 150, 150, 0, 0, 100, 150, 150, 0}, {0, 0, 0, 0, 0}},
      {249, Cancelled, {0, 100, 150}, {PROGRESS_CONTINUE, PROGRESS_CONTINUE, PROGRESS_CANCEL}}};
  for (const auto& [cancelAfter, finalState, advances, expectedAnswers] : rows) {
    SCOPED_TRACE(cancelAfter);
    const TempDir dir;
    RecordingController controller(cancelAfter);
    std::vector<DWORD> answers;
    const bool copied = internal::RunCopyJob(
        {{dir / "a", dir / "a.copy"}, {dir / "b", dir / "b.copy"}}, controller,
        [&](const ioPath&, const ioPath& destination, const internal::CopyProgressRoutine& progress) {
          return ScriptedCopy(destination, progress, &answers);
        });
    EXPECT_EQ(copied, finalState == Succeeded);
    EXPECT_EQ(controller.values['S'], (std::vector<long long>{Started, finalState}));
    EXPECT_EQ(controller.values['A'], advances);
    answers.resize(expectedAnswers.size());
    EXPECT_EQ(answers, expectedAnswers);
  }
}
#endif

}  // namespace
}  // namespace Tarnix::Core
