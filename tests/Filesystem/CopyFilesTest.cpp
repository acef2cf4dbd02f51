#include "Filesystem/CopyFiles.h"
#include "Filesystem/internal/CopyFileWithProgress.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <thread>

namespace Tarnix::Core {
namespace {

using Test::ReadFile;
using Test::TempDir;
using Test::TempDirTest;
using internal::CopyMethod;
using internal::CopyProgressAction;
using internal::kCopyChunkBytes;
using FileList = std::vector<std::pair<ioPath, ioPath>>;

constexpr long long kMiB = 1 << 20;

// Writes `size` bytes of a pattern that differs per `seed` and per position.
std::string MakeFile(const ioPath& path, std::size_t size, unsigned seed = 1) {
  std::string contents(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : contents) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  Tarnix::Test::WriteFile(path, contents);
  return contents;
}

mode_t Mode(const ioPath& path) {
  struct stat st {};
  return ::stat(path.platformString().c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Everything a controller was told, kept apart from the controller so that a
// test can read it after the worker dropped the last reference.
struct Journal {
  enum Kind { State, Total, Advance, Polled };
  struct Report {
    Kind kind;
    long long value;
    bool onCallerThread;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Report> reports;    // guarded by mutex
  bool destroyed = false;         // guarded by mutex
  bool holdStart = false;         // SetState(Started) waits for Release()
  bool released = false;          // guarded by mutex
  bool holdTimedOut = false;      // guarded by mutex
  const std::thread::id caller = std::this_thread::get_id();

  void Add(Kind kind, long long value) {
    std::lock_guard<std::mutex> lock(mutex);
    reports.push_back({kind, value, std::this_thread::get_id() == caller});
    changed.notify_all();
  }
  std::vector<long long> Values(Kind kind) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<long long> values;
    for (const auto& r : reports) {
      if (r.kind == kind) values.push_back(r.value);
    }
    return values;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
  bool WaitUntilDestroyed() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return destroyed; });
  }
};

// Records every call; cancels once more than `cancelAfter` bytes were
// advanced in total (never when negative).
class RecordingController final : public IProgressController {
 public:
  explicit RecordingController(std::shared_ptr<Journal> journal, long long cancelAfter = -1)
      : journal_(std::move(journal)), cancelAfter_(cancelAfter) {}

  std::uint32_t AddRef() const override { return count_.AddRefImpl(); }
  std::uint32_t GetRefCount() const override { return count_.GetRefCountImpl(); }
  std::uint32_t Release() const override {
    const auto left = count_.ReleaseImpl();
    if (left == 0) delete this;
    return left;
  }

  void SetState(int state) override {
    journal_->Add(Journal::State, state);
    if (state != Started || !journal_->holdStart) return;
    std::unique_lock<std::mutex> lock(journal_->mutex);
    if (!journal_->changed.wait_for(lock, std::chrono::seconds(10), [&] { return journal_->released; })) {
      journal_->holdTimedOut = true;
    }
  }
  void SetTotal(unsigned long long total) override { journal_->Add(Journal::Total, static_cast<long long>(total)); }
  void SetDescription(const std::string&) override { ADD_FAILURE() << "CopyFiles has no description to give"; }
  void Advance(long long bytes) override {
    advanced_ += bytes;
    journal_->Add(Journal::Advance, bytes);
  }
  bool IsCancelled() override {
    const bool cancel = cancelAfter_ >= 0 && advanced_ > cancelAfter_;
    journal_->Add(Journal::Polled, cancel);
    return cancel;
  }

 private:
  ~RecordingController() override {
    std::lock_guard<std::mutex> lock(journal_->mutex);
    journal_->destroyed = true;
    journal_->changed.notify_all();
  }

  std::shared_ptr<Journal> journal_;
  const long long cancelAfter_;
  long long advanced_ = 0;  // worker thread only
  RefCountImpl count_;
};

class CopyFilesTest : public TempDirTest {
 protected:
  // Runs CopyFiles with a recording controller and waits for it.
  bool Copy(const FileList& files, long long cancelAfter = -1) {
    const bool result = CopyFiles(files, new RecordingController(journal_, cancelAfter), true);
    EXPECT_TRUE(journal_->WaitUntilDestroyed()) << "the job must release its controller when it ends";
    for (const auto& report : journal_->reports) EXPECT_FALSE(report.onCallerThread);
    return result;
  }
  ioPath At(const std::string& name) const { return dir_ / name; }

  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
};

TEST_F(CopyFilesTest, EmptyListStartsAnnouncesZeroAndSucceeds) {
  EXPECT_TRUE(Copy({}));
  EXPECT_EQ(journal_->Values(Journal::State), (std::vector<long long>{Started, Succeeded}));
  EXPECT_EQ(journal_->Values(Journal::Total), std::vector<long long>{0});
  EXPECT_EQ(journal_->reports.front().kind, Journal::State);
  EXPECT_EQ(journal_->reports.back().kind, Journal::State);
}

TEST_F(CopyFilesTest, MissingSourceFailsTheJobButNotTheOtherFiles) {
  const auto first = MakeFile(At("a"), kMiB + 3, 1);
  const auto last = MakeFile(At("c"), 100, 2);
  EXPECT_FALSE(Copy({{At("a"), At("a2")}, {At("missing"), At("b2")}, {At("c"), At("c2")}}));
  EXPECT_EQ(journal_->Values(Journal::State), (std::vector<long long>{Started, Failed}));
  EXPECT_EQ(journal_->Values(Journal::Total), std::vector<long long>{kMiB + 3 + 100});
  EXPECT_EQ(ReadFile(At("a2")), first);
  EXPECT_EQ(ReadFile(At("c2")), last);
  EXPECT_FALSE(At("b2").exists());
}

TEST_F(CopyFilesTest, CancelDuringSecondFileRemovesItAndSkipsTheRest) {
  const std::size_t size = kCopyChunkBytes + kMiB;  // two steps per file
  const auto first = MakeFile(At("1"), size, 1);
  MakeFile(At("2"), size, 2);
  MakeFile(At("3"), size, 3);
  MakeFile(At("2.copy"), 10, 4);  // overwritten, then removed by the cancellation

  EXPECT_FALSE(Copy({{At("1"), At("1.copy")}, {At("2"), At("2.copy")}, {At("3"), At("3.copy")}},
                    static_cast<long long>(size)));
  EXPECT_EQ(ReadFile(At("1.copy")), first);
  EXPECT_FALSE(At("2.copy").exists());
  EXPECT_FALSE(At("3.copy").exists());
  // Cancelled inside the second file, at the first poll that said so.
  const auto advances = journal_->Values(Journal::Advance);
  const long long advanced = std::accumulate(advances.begin(), advances.end(), 0LL);
  EXPECT_GT(advanced, static_cast<long long>(size));
  EXPECT_LT(advanced, static_cast<long long>(2 * size));
  const auto& reports = journal_->reports;
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[reports.size() - 2].kind, Journal::Polled);
  EXPECT_EQ(reports[reports.size() - 2].value, 1);
  EXPECT_EQ(reports.back().kind, Journal::State);
  EXPECT_EQ(reports.back().value, Cancelled);
}

TEST_F(CopyFilesTest, CancellationAfterAFailureStaysFailed) {
  MakeFile(At("big"), 2 * kCopyChunkBytes, 1);
  EXPECT_FALSE(Copy({{At("missing"), At("x")}, {At("big"), At("big.copy")}, {At("big"), At("never")}}, 0));
  EXPECT_EQ(journal_->Values(Journal::State), (std::vector<long long>{Started, Failed}));
  EXPECT_FALSE(At("big.copy").exists());
  EXPECT_FALSE(At("never").exists());
}

// Also: overwriting a longer destination, and the source's mode and time.
TEST_F(CopyFilesTest, AdvancesAddUpToEachFileAndPollFollowsEveryAdvance) {
  const std::vector<std::size_t> sizes = {2 * kCopyChunkBytes + 12345, 0, 1, 3 * kMiB};
  FileList files;
  std::vector<std::string> contents;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto name = std::to_string(i);
    contents.push_back(MakeFile(At(name), sizes[i], static_cast<unsigned>(i)));
    files.emplace_back(At(name), At(name + ".copy"));
  }
  MakeFile(At("1.copy"), 5 * kMiB, 9);
  ASSERT_EQ(::chmod(At("0").platformString().c_str(), 0751), 0);
  Tarnix::Test::SetFileTime(At("0"), 1000000000);

  EXPECT_TRUE(Copy(files));
  EXPECT_EQ(journal_->Values(Journal::State), (std::vector<long long>{Started, Succeeded}));
  const long long total = std::accumulate(sizes.begin(), sizes.end(), 0LL);
  EXPECT_EQ(journal_->Values(Journal::Total), std::vector<long long>{total});

  // The running sum lands exactly on the end of every file: each file's
  // increments add up to its size, counted from 0.
  std::vector<long long> running;
  long long sum = 0;
  for (long long bytes : journal_->Values(Journal::Advance)) {
    EXPECT_GE(bytes, 0);
    EXPECT_LE(bytes, 16 * kMiB);
    running.push_back(sum += bytes);
  }
  long long end = 0;
  for (std::size_t size : sizes) {
    end += static_cast<long long>(size);
    EXPECT_NE(std::find(running.begin(), running.end(), end), running.end()) << "no report at " << end;
  }
  EXPECT_EQ(sum, total);

  std::size_t advances = 0;
  const auto& reports = journal_->reports;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    if (reports[i].kind != Journal::Advance) continue;
    ++advances;
    ASSERT_LT(i + 1, reports.size());
    EXPECT_EQ(reports[i + 1].kind, Journal::Polled);
  }
  EXPECT_GE(advances, static_cast<std::size_t>(total / (16 * kMiB)));

  for (std::size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(ReadFile(files[i].second), contents[i]) << "file " << i;
  }
  EXPECT_EQ(Mode(At("0.copy")), 0751u);
  EXPECT_EQ(At("0.copy").last_write_time(), 1000000000);
}

// The caller returns while the worker is held in SetState(Started), drops
// its controller, and learns the outcome from the controller alone.
TEST_F(CopyFilesTest, WithoutWaitReturnsAtOnceAndTheJobKeepsTheController) {
  const auto contents = MakeFile(At("src"), 3 * kMiB);
  journal_->holdStart = true;
  boost::intrusive_ptr<IProgressController> controller(new RecordingController(journal_));
  EXPECT_TRUE(CopyFiles({{At("src"), At("dst")}}, controller, false));
  IProgressObserver observer;
  controller->Subscribe(&observer);  // used by both threads at once
  controller->Unsubscribe(&observer);
  controller.reset();
  journal_->Release();

  ASSERT_TRUE(journal_->WaitUntilDestroyed());
  EXPECT_FALSE(journal_->holdTimedOut) << "CopyFiles waited for a job it was told not to wait for";
  EXPECT_EQ(journal_->Values(Journal::State), (std::vector<long long>{Started, Succeeded}));
  EXPECT_EQ(ReadFile(At("dst")), contents);
}

TEST_F(CopyFilesTest, WithoutControllerTheStubRunsTheJobToItsEnd) {
  const auto contents = MakeFile(At("src"), kCopyChunkBytes + 1);
  EXPECT_TRUE(CopyFiles({{At("src"), At("dst")}}, nullptr, true));
  EXPECT_EQ(ReadFile(At("dst")), contents);
  EXPECT_FALSE(CopyFiles({{At("missing"), At("dst2")}, {At("src"), At("dst3")}}, nullptr, true));
  EXPECT_EQ(ReadFile(At("dst3")), contents);
}

// --- The per-file copy

struct Progress {
  std::vector<std::uint64_t> totals;
  std::size_t cancelAtReport = SIZE_MAX;
  CopyProgressAction operator()(std::uint64_t copied) {
    totals.push_back(copied);
    return totals.size() > cancelAtReport ? CopyProgressAction::Cancel : CopyProgressAction::Continue;
  }
};

class CopyFileWithProgressTest : public TempDirTest {
 protected:
  ioPath At(const std::string& name) const { return dir_ / name; }

  // Copies with every way of moving data and checks the data, the reports and the attributes.
  void ExpectFaithfulCopy(const ioPath& destination, CopyMethod method) {
    const auto size = 2 * kCopyChunkBytes + 777;
    const auto contents = MakeFile(At("src"), size, static_cast<unsigned>(method));
    ASSERT_EQ(::chmod(At("src").platformString().c_str(), 0604), 0);
    Tarnix::Test::SetFileTime(At("src"), 1234567890);

    Progress progress;
    ASSERT_EQ(internal::CopyFileWithProgress(At("src"), destination, std::ref(progress), method), std::error_code());
    EXPECT_EQ(ReadFile(destination), contents);
    ASSERT_FALSE(progress.totals.empty());
    EXPECT_EQ(progress.totals.front(), 0u);
    EXPECT_EQ(progress.totals.back(), size);
    for (std::size_t i = 1; i < progress.totals.size(); ++i) {
      EXPECT_GT(progress.totals[i], progress.totals[i - 1]);
      EXPECT_LE(progress.totals[i] - progress.totals[i - 1], kCopyChunkBytes);
    }
    EXPECT_EQ(Mode(destination), 0604u);
    EXPECT_EQ(destination.last_write_time(), 1234567890);
  }
};

TEST_F(CopyFileWithProgressTest, EveryMethodCopiesDataAndAttributes) {
  for (CopyMethod method : {CopyMethod::CopyFileRange, CopyMethod::SendFile, CopyMethod::ReadWrite}) {
    SCOPED_TRACE(static_cast<int>(method));
    MakeFile(At("dst"), 3 * kCopyChunkBytes, 7);  // longer: must be truncated
    ExpectFaithfulCopy(At("dst"), method);
  }
}

TEST_F(CopyFileWithProgressTest, FallsBackBetweenFileSystems) {
  TempDir shm("/dev/shm");
  if (!Tarnix::Test::OnDifferentFileSystems(dir_.path(), shm.path())) GTEST_SKIP() << "/dev/shm is not a file system of its own";
  ExpectFaithfulCopy(shm / "dst", CopyMethod::CopyFileRange);
}

// Both claim size 0; the kernel refuses copy_file_range for both, and
// sendfile for the second, which then goes by read/write.
TEST_F(CopyFileWithProgressTest, CopiesPseudoFilesThatClaimSizeZero) {
  for (const char* name : {"/proc/version", "/proc/self/cmdline"}) {
    SCOPED_TRACE(name);
    const std::string expected = ReadFile(name);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(ioPath(name).file_size(), 0u);
    Progress progress;
    EXPECT_EQ(internal::CopyFileWithProgress(name, At("dst"), std::ref(progress)), std::error_code());
    EXPECT_EQ(ReadFile(At("dst")), expected);
    EXPECT_EQ(progress.totals.back(), expected.size());
  }
}

TEST_F(CopyFileWithProgressTest, CancelReportsItselfAndRemovesTheDestination) {
  MakeFile(At("src"), 2 * kCopyChunkBytes);
  for (std::size_t cancelAt : {0, 1}) {
    SCOPED_TRACE(cancelAt);
    MakeFile(At("dst"), 10);
    Progress progress;
    progress.cancelAtReport = cancelAt;
    EXPECT_EQ(internal::CopyFileWithProgress(At("src"), At("dst"), std::ref(progress)), std::errc::operation_canceled);
    EXPECT_EQ(progress.totals.size(), cancelAt + 1);
    EXPECT_FALSE(At("dst").exists());
  }
}

// Failures leave the source and anything that was not a regular destination untouched.
TEST_F(CopyFileWithProgressTest, RefusesWhatItCannotCopy) {
  const auto contents = MakeFile(At("file"), 1000);
  ASSERT_TRUE(ioPath::create_directory(At("dir")));
  ASSERT_EQ(::mkfifo(At("fifo").platformString().c_str(), 0600), 0);
  ASSERT_EQ(::symlink("file", At("link").platformString().c_str()), 0);
  struct Case {
    const char* source;
    const char* destination;
    std::errc expected;
  };
  const Case cases[] = {
      {"missing", "out", std::errc::no_such_file_or_directory},
      {"file", "no/such/dir/out", std::errc::no_such_file_or_directory},
      {"file", "dir", std::errc::is_a_directory},
      {"dir", "out", std::errc::invalid_argument},
      {"fifo", "out", std::errc::invalid_argument},
      {"file", "fifo", std::errc::no_such_device_or_address},  // no reader: never blocks
      {"file", "file", std::errc::invalid_argument},
      {"file", "link", std::errc::invalid_argument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " -> " + c.destination);
    Progress progress;
    EXPECT_EQ(internal::CopyFileWithProgress(At(c.source), At(c.destination), std::ref(progress)), c.expected);
    EXPECT_TRUE(progress.totals.empty());
    EXPECT_FALSE(At("out").exists());
    EXPECT_EQ(ReadFile(At("file")), contents);
    EXPECT_TRUE(At("dir").is_directory());
    EXPECT_TRUE(At("fifo").is_other());
  }
}

// A write that fails half-way (here: over the file-size limit, as on a full
// disk) fails the copy and leaves no truncated copy behind.
TEST_F(CopyFileWithProgressTest, FailureHalfWayRemovesThePartialCopy) {
  MakeFile(At("src"), 3 * kMiB);
  for (CopyMethod method : {CopyMethod::CopyFileRange, CopyMethod::SendFile, CopyMethod::ReadWrite}) {
    SCOPED_TRACE(static_cast<int>(method));
    const int status = Tarnix::Test::RunInChild([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{kMiB, kMiB};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
      Progress progress;
      const auto ec = internal::CopyFileWithProgress(At("src"), At("dst"), std::ref(progress), method);
      if (ec != std::errc::file_too_large) return 11;
      return At("dst").exists() ? 12 : 0;
    });
    EXPECT_EQ(status, 0);
  }
}

}  // namespace
}  // namespace Tarnix::Core
