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
#include <map>
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

// Everything a controller was told, kept apart from it so that a test can
// read it after the job dropped the last reference: the order of the calls
// in `trace` ('S' SetState, 'T' SetTotal, 'A' Advance, 'C' IsCancelled) and
// the values of each kind (IsCancelled: its answer).
struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::string trace;                             // all guarded by mutex
  std::map<char, std::vector<long long>> values;
  bool offCallerThread = true, destroyed = false, holdStart = false, released = false, heldTooLong = false;
  const std::thread::id caller = std::this_thread::get_id();

  void Add(char kind, long long value) {
    std::lock_guard<std::mutex> lock(mutex);
    trace += kind;
    values[kind].push_back(value);
    offCallerThread = offCallerThread && std::this_thread::get_id() != caller;
  }
  void Raise(bool& flag) {
    std::lock_guard<std::mutex> lock(mutex);
    flag = true;
    changed.notify_all();
  }
  bool Await(const bool& flag, int seconds = 30) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(seconds), [&] { return flag; });
  }
};

// Cancels once more than `cancelAfter` bytes were advanced in all (never when negative).
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
    journal_->Add('S', state);
    if (state == Started && journal_->holdStart && !journal_->Await(journal_->released, 10)) {
      journal_->Raise(journal_->heldTooLong);
    }
  }
  void SetTotal(unsigned long long total) override { journal_->Add('T', static_cast<long long>(total)); }
  void SetDescription(const std::string&) override { journal_->Add('D', 0); }
  void Advance(long long bytes) override {
    journal_->Add('A', bytes);
    advanced_ += bytes;
  }
  bool IsCancelled() override {
    journal_->Add('C', cancelAfter_ >= 0 && advanced_ > cancelAfter_);
    return cancelAfter_ >= 0 && advanced_ > cancelAfter_;
  }

 private:
  ~RecordingController() override { journal_->Raise(journal_->destroyed); }
  std::shared_ptr<Journal> journal_;
  const long long cancelAfter_;
  long long advanced_ = 0;  // worker thread only
  RefCountImpl count_;
};

class CopyFilesTest : public TempDirTest {
 protected:
  // Runs a job to its end and checks the protocol: on the worker thread,
  // Started, the total, each Advance followed by a poll, `finalState`.
  bool Copy(const FileList& files, int finalState, long long cancelAfter = -1) {
    const bool result = CopyFiles(files, new RecordingController(journal_, cancelAfter), true);
    EXPECT_TRUE(journal_->Await(journal_->destroyed)) << "the job must release its controller";
    EXPECT_TRUE(journal_->offCallerThread);
    std::string protocol = "ST";
    for (std::size_t i = 0; i < journal_->values['A'].size(); ++i) protocol += "AC";
    EXPECT_EQ(journal_->trace, protocol + "S");
    EXPECT_EQ(journal_->values['S'], (std::vector<long long>{Started, finalState}));
    return result;
  }
  ioPath At(const std::string& name) const { return dir_ / name; }

  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
};

TEST_F(CopyFilesTest, EmptyListSucceeds) {
  EXPECT_TRUE(Copy({}, Succeeded));
  EXPECT_EQ(journal_->values['T'], std::vector<long long>{0});
}

TEST_F(CopyFilesTest, MissingSourceFailsTheJobButNotTheOtherFiles) {
  const auto first = MakeFile(At("a"), kMiB + 3, 1);
  const auto last = MakeFile(At("c"), 100, 2);
  EXPECT_FALSE(Copy({{At("a"), At("a2")}, {At("missing"), At("b2")}, {At("c"), At("c2")}}, Failed));
  EXPECT_EQ(journal_->values['T'], std::vector<long long>{kMiB + 3 + 100});
  EXPECT_EQ(ReadFile(At("a2")), first);
  EXPECT_EQ(ReadFile(At("c2")), last);
  EXPECT_FALSE(At("b2").exists());
}

TEST_F(CopyFilesTest, CancelDuringSecondFileRemovesItAndSkipsTheRest) {
  const std::size_t size = kCopyChunkBytes + kMiB;  // two steps per file
  const auto first = MakeFile(At("1"), size, 1);
  MakeFile(At("2"), size, 2);
  MakeFile(At("3"), size, 3);
  MakeFile(At("2.copy"), 10, 4);  // overwritten, then removed
  EXPECT_FALSE(Copy({{At("1"), At("1.copy")}, {At("2"), At("2.copy")}, {At("3"), At("3.copy")}}, Cancelled,
                    static_cast<long long>(size)));
  EXPECT_EQ(ReadFile(At("1.copy")), first);
  EXPECT_FALSE(At("2.copy").exists());
  EXPECT_FALSE(At("3.copy").exists());
  // Stopped inside the second file, at the first poll that said so.
  const auto& advances = journal_->values['A'];
  const long long advanced = std::accumulate(advances.begin(), advances.end(), 0LL);
  EXPECT_TRUE(advanced > static_cast<long long>(size) && advanced < static_cast<long long>(2 * size)) << advanced;
  EXPECT_EQ(journal_->values['C'].back(), 1);
}

TEST_F(CopyFilesTest, CancellationAfterAFailureStaysFailed) {
  MakeFile(At("big"), 2 * kCopyChunkBytes);
  EXPECT_FALSE(Copy({{At("missing"), At("x")}, {At("big"), At("big.copy")}, {At("big"), At("never")}}, Failed, 0));
  EXPECT_FALSE(At("big.copy").exists());
  EXPECT_FALSE(At("never").exists());
}

TEST_F(CopyFilesTest, AdvancesAddUpToEachFile) {
  const std::vector<std::size_t> sizes = {2 * kCopyChunkBytes + 12345, 0, 1, 3 * kMiB};
  FileList files;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    MakeFile(At(std::to_string(i)), sizes[i], static_cast<unsigned>(i));
    files.emplace_back(At(std::to_string(i)), At(std::to_string(i) + ".copy"));
  }
  EXPECT_TRUE(Copy(files, Succeeded));
  // The running sum lands exactly on the end of every file: each file's
  // increments add up to its size, counted from 0.
  std::vector<long long> running = {0};
  for (long long bytes : journal_->values['A']) {
    EXPECT_TRUE(bytes >= 0 && bytes <= 16 * kMiB) << bytes;
    running.push_back(running.back() + bytes);
  }
  long long end = 0;
  for (std::size_t size : sizes) {
    end += static_cast<long long>(size);
    EXPECT_NE(std::find(running.begin(), running.end(), end), running.end()) << "no report at " << end;
  }
  EXPECT_EQ(running.back(), end);
  EXPECT_EQ(journal_->values['T'], std::vector<long long>{end});
}

// The caller returns while the worker is held in SetState(Started), drops
// its controller, and learns the outcome from the controller alone.
TEST_F(CopyFilesTest, WithoutWaitReturnsAtOnceAndTheJobKeepsTheController) {
  const auto contents = MakeFile(At("src"), 3 * kMiB);
  journal_->holdStart = true;
  boost::intrusive_ptr<IProgressController> controller(new RecordingController(journal_));
  EXPECT_TRUE(CopyFiles({{At("src"), At("dst")}}, controller, false));
  IProgressObserver observer;
  controller->Subscribe(&observer);  // the caller uses it while the worker does
  controller.reset();
  journal_->Raise(journal_->released);
  ASSERT_TRUE(journal_->Await(journal_->destroyed));
  EXPECT_FALSE(journal_->heldTooLong) << "CopyFiles waited for a job it was told not to wait for";
  EXPECT_EQ(journal_->trace.back(), 'S');
  EXPECT_EQ(journal_->values['S'].back(), Succeeded);
  EXPECT_EQ(ReadFile(At("dst")), contents);
}

TEST_F(CopyFilesTest, WithoutControllerTheStubRunsTheJobToItsEnd) {
  const auto contents = MakeFile(At("src"), kCopyChunkBytes + 1);
  EXPECT_TRUE(CopyFiles({{At("src"), At("dst")}}, nullptr, true));
  EXPECT_EQ(ReadFile(At("dst")), contents);
  EXPECT_FALSE(CopyFiles({{At("missing"), At("dst2")}, {At("src"), At("dst3")}}, nullptr, true));
}

// --- The per-file copy

class CopyFileWithProgressTest : public TempDirTest {
 protected:
  // Copies and records the running totals reported.
  std::error_code Copy(const ioPath& source, const ioPath& destination, CopyMethod method = CopyMethod::CopyFileRange) {
    totals_.clear();
    return internal::CopyFileWithProgress(source, destination, [&](std::uint64_t copied) {
      totals_.push_back(copied);
      return CopyProgressAction::Continue;
    }, method);
  }
  ioPath At(const std::string& name) const { return dir_ / name; }

  std::vector<std::uint64_t> totals_;
};

// Each way of moving data, and the fallback from ext4 to tmpfs (EXDEV):
// data, reports of at most one chunk, mode and time, over a longer file.
TEST_F(CopyFileWithProgressTest, CopiesDataAndAttributesWithEveryMethod) {
  TempDir shm("/dev/shm");
  const bool tmpfs = Tarnix::Test::OnDifferentFileSystems(dir_.path(), shm.path());
  const std::pair<CopyMethod, ioPath> cases[] = {{CopyMethod::CopyFileRange, At("dst")},
                                                 {CopyMethod::SendFile, At("dst")},
                                                 {CopyMethod::ReadWrite, At("dst")},
                                                 {CopyMethod::CopyFileRange, tmpfs ? shm / "dst" : At("dst")}};
  for (const auto& [method, destination] : cases) {
    SCOPED_TRACE(destination.utf8string() + " by method " + std::to_string(static_cast<int>(method)));
    const auto contents = MakeFile(At("src"), 2 * kCopyChunkBytes + 777, static_cast<unsigned>(method));
    MakeFile(destination, 3 * kCopyChunkBytes, 7);  // must be truncated
    ASSERT_EQ(::chmod(At("src").platformString().c_str(), 0604), 0);
    Tarnix::Test::SetFileTime(At("src"), 1234567890);
    ASSERT_EQ(Copy(At("src"), destination, method), std::error_code());
    EXPECT_EQ(ReadFile(destination), contents);
    EXPECT_EQ(totals_.front(), 0u);
    EXPECT_EQ(totals_.back(), contents.size());
    for (std::size_t i = 1; i < totals_.size(); ++i) {
      EXPECT_TRUE(totals_[i] > totals_[i - 1] && totals_[i] - totals_[i - 1] <= kCopyChunkBytes);
    }
    EXPECT_EQ(Mode(destination), 0604u);
    EXPECT_EQ(destination.last_write_time(), 1234567890);
  }
}

// Both claim size 0 and refuse copy_file_range; the second refuses sendfile too.
TEST_F(CopyFileWithProgressTest, CopiesPseudoFiles) {
  for (const char* name : {"/proc/version", "/proc/self/cmdline"}) {
    SCOPED_TRACE(name);
    const std::string expected = ReadFile(name);
    ASSERT_EQ(Copy(name, At("dst")), std::error_code());
    EXPECT_EQ(ReadFile(At("dst")), expected);
    EXPECT_EQ(totals_.back(), expected.size());
  }
}

// Refusals leave the source and whatever was not a regular destination untouched.
TEST_F(CopyFileWithProgressTest, RefusesWhatItCannotCopy) {
  const auto contents = MakeFile(At("file"), 1000);
  ASSERT_TRUE(ioPath::create_directory(At("dir")));
  ASSERT_EQ(::mkfifo(At("fifo").platformString().c_str(), 0600), 0);
  ASSERT_EQ(::symlink("file", At("link").platformString().c_str()), 0);
  const std::tuple<const char*, const char*, std::errc> cases[] = {
      {"missing", "out", std::errc::no_such_file_or_directory},
      {"file", "no/dir/out", std::errc::no_such_file_or_directory},
      {"file", "dir", std::errc::is_a_directory},
      {"dir", "out", std::errc::invalid_argument},
      {"fifo", "out", std::errc::invalid_argument},
      {"file", "fifo", std::errc::no_such_device_or_address},  // no reader: never blocks
      {"file", "file", std::errc::invalid_argument},
      {"file", "link", std::errc::invalid_argument},
  };
  for (const auto& [source, destination, expected] : cases) {
    SCOPED_TRACE(std::string(source) + " -> " + destination);
    EXPECT_EQ(Copy(At(source), At(destination)), expected);
    EXPECT_TRUE(totals_.empty());
    EXPECT_FALSE(At("out").exists());
    EXPECT_EQ(ReadFile(At("file")), contents);
    EXPECT_TRUE(At("dir").is_directory() && At("fifo").is_other());
  }
}

// A write that fails half-way (over the file-size limit, as on a full disk)
// fails the copy and leaves no truncated copy behind.
TEST_F(CopyFileWithProgressTest, FailureHalfWayRemovesThePartialCopy) {
  MakeFile(At("src"), 3 * kMiB);
  for (CopyMethod method : {CopyMethod::CopyFileRange, CopyMethod::SendFile, CopyMethod::ReadWrite}) {
    SCOPED_TRACE(static_cast<int>(method));
    EXPECT_EQ(Tarnix::Test::RunInChild([&] {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{kMiB, kMiB};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
                if (Copy(At("src"), At("dst"), method) != std::errc::file_too_large) return 11;
                return At("dst").exists() ? 12 : 0;
              }),
              0);
  }
}

}  // namespace
}  // namespace Tarnix::Core
