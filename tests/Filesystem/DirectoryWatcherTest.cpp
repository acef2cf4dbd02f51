#include "Filesystem/DirectoryWatcher.h"

#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

namespace Tarnix::Core {
namespace {

using Tarnix::Test::LogCapture;
using Tarnix::Test::LogRecord;
using Tarnix::Test::WaitUntil;
using Tarnix::Test::WriteFile;

// Counts the callback's calls and notes whether one ran on the creating thread.
class Calls {
 public:
  std::function<void()> Callback() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
      onCreatingThread_ |= std::this_thread::get_id() == creatingThread_;
      changed_.notify_all();
    };
  }
  // The number of calls once there are at least `calls`, or fewer at the deadline.
  int WaitFor(int calls) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, Tarnix::Test::kGenerousDeadline, [&] { return count_ >= calls; });
    return count_;
  }
  bool onCreatingThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return onCreatingThread_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const std::thread::id creatingThread_ = std::this_thread::get_id();
  int count_ = 0;                  // guarded by mutex_
  bool onCreatingThread_ = false;  // guarded by mutex_
};

std::set<std::string> OpenDescriptors() {
  std::set<std::string> names;
  DIR* listing = ::opendir("/proc/self/fd");
  while (const dirent* entry = ::readdir(listing)) names.insert(entry->d_name);
  ::closedir(listing);
  return names;
}

// The watcher's records of one severity, optionally only those containing `part`.
std::vector<LogRecord> Records(const LogCapture& log, google::LogSeverity severity, const std::string& part = "") {
  std::vector<LogRecord> found;
  for (const auto& record : log.records()) {
    if (record.severity == severity && record.file == "DirectoryWatcher.cpp" &&
        record.text.find(part) != std::string::npos) {
      found.push_back(record);
    }
  }
  return found;
}

class DirectoryWatcherTest : public Tarnix::Test::TempDirTest {
 protected:
  std::unique_ptr<IDirectoryWatcher> Watch(const ioPath& directory, WatchEvent kind, Calls& calls) {
    return factory_->CreateWatcher(directory, kind, calls.Callback());
  }
  void MakeDirs(const ioPath& path) { ASSERT_TRUE(ioPath::create_directories(path)) << path; }
  void Rename(const ioPath& from, const ioPath& to) { ASSERT_TRUE(ioPath::rename(from, to)) << from << " " << to; }

  std::shared_ptr<IDirectoryWatcherFactory> factory_ = CreateDirectoryWatcherFactory();
};

// Every row watches "tree" through a relative, non-canonical path from
// another working directory: the watch must follow the canonical directory.
TEST_F(DirectoryWatcherTest, ModifiedReportsWritesAnywhereOnTheWorkerThread) {
  MakeDirs(dir_ / "tree/a/b");
  MakeDirs(dir_ / "outside/moved/deeper");
  const struct {
    const char* name;
    std::function<void()> appear;
    const char* file;
  } cases[] = {
      {"two levels down", [] {}, "tree/a/b/file"},
      {"created later", [&] { MakeDirs(dir_ / "tree/new/deeper"); }, "tree/new/deeper/file"},
      {"moved in", [&] { Rename(dir_ / "outside/moved", dir_ / "tree/moved"); }, "tree/moved/deeper/file"},
      {"renamed inside", [&] { Rename(dir_ / "tree/moved", dir_ / "tree/renamed"); }, "tree/renamed/deeper/file2"},
  };
  const ioPath previous = ioPath::current_path();
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    Calls calls;
    ASSERT_EQ(::chdir(dir_.path().platformString().c_str()), 0);
    auto watcher = Watch(ioPath("tree/../tree"), WatchEvent::Modified, calls);
    ASSERT_EQ(::chdir(previous.platformString().c_str()), 0);
    ASSERT_TRUE(watcher);
    row.appear();
    WriteFile(dir_ / row.file, "x");
    EXPECT_GE(calls.WaitFor(1), 1);
    EXPECT_FALSE(calls.onCreatingThread());
  }
}

// Files written into a directory before its watch exists are found by the
// listing that follows the watch; not one may be lost.
TEST_F(DirectoryWatcherTest, ModifiedLosesNoWriteRightAfterMkdirP) {
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    const ioPath root = dir_ / std::to_string(round);
    MakeDirs(root);
    Calls calls;
    auto watcher = Watch(root, WatchEvent::Modified, calls);
    ASSERT_TRUE(watcher);
    MakeDirs(root / "a/b/c");
    WriteFile(root / "a/b/c/f", "x");
    ASSERT_GE(calls.WaitFor(1), 1);
  }
}

// Each action is followed by a sentinel rename. Events are handled in order,
// so by the time the sentinel's call arrives the action's calls have too.
TEST_F(DirectoryWatcherTest, NameChangedReportsRenamesInsideTheTreeOnly) {
  constexpr int kBurst = 100;
  const auto tree = [&](const std::string& name) { return dir_ / ("tree/" + name); };
  const auto numbered = [&](const char* prefix, int i) { return tree(prefix + std::to_string(i)); };
  const struct {
    const char* name;
    std::function<void()> act;
    int calls;
  } cases[] = {
      {"rename", [&] { Rename(tree("f0"), tree("g")); }, 1},
      {"rename across subdirectories", [&] { Rename(tree("f0"), tree("sub/dir/g")); }, 1},
      {"burst of renames",
       [&] {
         for (int i = 0; i < kBurst; ++i) Rename(numbered("f", i), numbered("g", i));
       },
       kBurst},
      {"create", [&] { WriteFile(tree("sub/new"), "x"); }, 0},
      {"delete", [&] { ASSERT_TRUE(ioPath::remove(tree("f0"))); }, 0},
      {"move in from outside", [&] { Rename(dir_ / "outside/f", tree("sub/f")); }, 0},
      {"move out", [&] { Rename(tree("f0"), dir_ / "outside/g"); }, 0},
      {"rename directory", [&] { Rename(tree("sub"), tree("sub2")); }, 0},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    ioPath::remove_all(dir_.path());
    MakeDirs(tree("sub/dir"));
    MakeDirs(dir_ / "outside");
    for (int i = 0; i < kBurst; ++i) WriteFile(numbered("f", i), "x");
    WriteFile(dir_ / "outside/f", "x");
    WriteFile(tree("sentinel"), "x");
    Calls calls;
    auto watcher = Watch(dir_ / "tree", WatchEvent::NameChanged, calls);
    ASSERT_TRUE(watcher);
    row.act();
    Rename(tree("sentinel"), tree("sentinel.done"));
    EXPECT_EQ(calls.WaitFor(row.calls + 1), row.calls + 1);
  }
}

TEST_F(DirectoryWatcherTest, DestroyingIdleWatcherIsPromptAndLeavesNoDescriptor) {
  const auto before = OpenDescriptors();
  Calls calls;
  auto watcher = Watch(dir_.path(), WatchEvent::Modified, calls);
  ASSERT_TRUE(watcher);
  factory_.reset();  // watchers do not depend on their factory
  WriteFile(dir_ / "file", "x");
  ASSERT_GE(calls.WaitFor(1), 1);

  const auto start = std::chrono::steady_clock::now();
  watcher.reset();
  // Generous for a thread blocked in poll(): the stop must not wait for a time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(DirectoryWatcherTest, FailuresGiveEmptyPointerAndOneError) {
  WriteFile(dir_ / "file", "x");
  const std::string root = dir_.path().utf8string();
  const struct {
    std::string directory;
    int kind;
    std::string text;
  } cases[] = {
      {root + "/missing", 1, root + "/missing is not a directory"},
      {root + "/file", 2, root + "/file is not a directory"},
      {root, 0, "invalid map<K, T> key"},
      {root, 3, "invalid map<K, T> key"},
      {root, -1, "invalid map<K, T> key"},
  };
  const auto descriptors = OpenDescriptors();
  for (const auto& row : cases) {
    SCOPED_TRACE(row.text + ", kind " + std::to_string(row.kind));
    LogCapture log;
    auto token = std::make_shared<bool>(false);
    EXPECT_FALSE(factory_->CreateWatcher(row.directory, static_cast<WatchEvent>(row.kind), [token] { *token = true; }));
    EXPECT_FALSE(*token);
    EXPECT_EQ(token.use_count(), 1) << "the callback outlived the failed call";
    ASSERT_EQ(log.records().size(), 1u);
    ASSERT_EQ(Records(log, google::GLOG_ERROR).size(), 1u);
    EXPECT_EQ(log.records()[0].text, row.text);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

// The empty callback throws std::bad_function_call on every call; each is
// logged and the watcher goes on reporting.
TEST_F(DirectoryWatcherTest, CallbackExceptionsAreLoggedAndReportingGoesOn) {
  LogCapture log;
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, std::function<void()>());
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "first", "x");
  ASSERT_TRUE(WaitUntil([&] { return Records(log, google::GLOG_ERROR).size() == 1; }));
  WriteFile(dir_ / "second", "x");
  ASSERT_TRUE(WaitUntil([&] { return Records(log, google::GLOG_ERROR).size() == 2; }));
  for (const auto& error : Records(log, google::GLOG_ERROR)) EXPECT_EQ(error.text, std::bad_function_call().what());
}

// While the worker is held in a callback, more events arrive than the kernel
// queues: the overflow is logged once.
TEST_F(DirectoryWatcherTest, QueueOverflowIsLoggedAsWarning) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  ASSERT_GT(limit, 0);
  LogCapture log;
  Calls calls;
  std::promise<void> release;
  auto count = calls.Callback();
  auto watcher =
      factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, [&, released = release.get_future().share()] {
        count();
        released.wait();
      });
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "first", "x");
  ASSERT_GE(calls.WaitFor(1), 1);
  // Alternating between two files, so that the kernel cannot merge the events.
  const int fds[2] = {::open((dir_ / "a").platformString().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
                      ::open((dir_ / "b").platformString().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
  for (int i = 0; i < limit + 16; ++i) ASSERT_EQ(::write(fds[i % 2], "x", 1), 1);
  ::close(fds[0]);
  ::close(fds[1]);
  release.set_value();
  EXPECT_TRUE(WaitUntil([&] { return !Records(log, google::GLOG_WARNING, "overflowed").empty(); }));
  watcher.reset();
  EXPECT_EQ(Records(log, google::GLOG_WARNING).size(), 1u);
}

// In a child process with a user namespace of its own, where the number of
// inotify watches can be limited without touching the machine's limit. With
// one watch the tree (root and "sub") cannot be watched at all; with three,
// "new1" takes the last one and "new2" is left out.
TEST_F(DirectoryWatcherTest, WatchLimitFailsConstructionOrSkipsOneDirectory) {
  MakeDirs(dir_ / "sub");
  const int status = Tarnix::Test::RunInChild([&] {
    const auto limit = [](int watches) {
      return static_cast<bool>(std::ofstream("/proc/sys/user/max_inotify_watches") << watches);
    };
    if (::unshare(CLONE_NEWUSER) != 0 || !limit(1)) return 77;
    LogCapture log;
    Calls calls;
    const auto descriptors = OpenDescriptors();
    if (Watch(dir_.path(), WatchEvent::Modified, calls) || OpenDescriptors() != descriptors) return 1;
    const auto errors = Records(log, google::GLOG_ERROR);
    if (errors.size() != 1 || errors[0].text != "ReadDirectoryChangesW failed, system error code = 28") return 2;

    limit(3);
    auto watcher = Watch(dir_.path(), WatchEvent::Modified, calls);
    MakeDirs(dir_ / "new1");
    MakeDirs(dir_ / "new2");
    WriteFile(dir_ / "new1/file", "x");
    if (!watcher || calls.WaitFor(1) < 1) return 3;
    WriteFile(dir_ / "sub/file", "x");  // the rest of the tree keeps reporting
    if (calls.WaitFor(2) < 2) return 4;
    watcher.reset();
    const auto warnings = Records(log, google::GLOG_WARNING);
    if (warnings.size() != 1) return 5;
    for (const char* part : {"/new2 ", "No space left on device", "/proc/sys/fs/inotify/max_user_watches", " 3 dir"}) {
      if (warnings[0].text.find(part) == std::string::npos) return 6;
    }
    return 0;
  });
  if (status == 77) GTEST_SKIP() << "no user namespace (a sanitizer's thread, or not permitted)";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace Tarnix::Core
