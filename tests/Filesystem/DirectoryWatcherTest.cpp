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
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace Tarnix::Core {
namespace {

using namespace std::chrono_literals;
using Tarnix::Test::LogCapture;
using Tarnix::Test::LogRecord;
using Tarnix::Test::WriteFile;

// Counts the callback's calls; tests wait for a count with a deadline.
class Calls {
 public:
  std::function<void()> Callback() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
      thread_ = std::this_thread::get_id();
      changed_.notify_all();
    };
  }
  bool WaitFor(int calls) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, Tarnix::Test::kGenerousDeadline, [&] { return count_ >= calls; });
  }
  int count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  std::thread::id thread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;                // guarded by mutex_
  std::thread::id thread_;       // guarded by mutex_
};

std::set<std::string> OpenDescriptors() {
  std::set<std::string> names;
  DIR* listing = ::opendir("/proc/self/fd");
  while (const dirent* entry = ::readdir(listing)) names.insert(entry->d_name);
  ::closedir(listing);
  return names;
}

std::vector<LogRecord> ErrorsFrom(const LogCapture& log, const std::string& file) {
  std::vector<LogRecord> errors;
  for (const auto& record : log.records()) {
    if (record.severity == google::GLOG_ERROR && record.file == file) errors.push_back(record);
  }
  return errors;
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

TEST_F(DirectoryWatcherTest, ModifiedReportsWriteTwoLevelsDownOnAnotherThread) {
  MakeDirs(dir_ / "a/b");
  Calls calls;
  auto watcher = Watch(dir_.path(), WatchEvent::Modified, calls);
  ASSERT_TRUE(watcher);

  WriteFile(dir_ / "a/b/file", "x");
  ASSERT_TRUE(calls.WaitFor(1));
  EXPECT_NE(calls.thread(), std::this_thread::get_id());
}

// A directory that appears in the tree after the watch started is watched too.
TEST_F(DirectoryWatcherTest, ModifiedReportsWritesInDirectoriesThatAppearLater) {
  MakeDirs(dir_ / "tree");
  MakeDirs(dir_ / "outside/moved/deeper");
  const struct {
    const char* name;
    std::function<void()> appear;
    const char* file;
  } cases[] = {
      {"created", [&] { MakeDirs(dir_ / "tree/new/deeper"); }, "tree/new/deeper/file"},
      {"moved in", [&] { Rename(dir_ / "outside/moved", dir_ / "tree/moved"); }, "tree/moved/deeper/file"},
      {"renamed inside", [&] { Rename(dir_ / "tree/moved", dir_ / "tree/renamed"); }, "tree/renamed/deeper/file2"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    Calls calls;
    auto watcher = Watch(dir_ / "tree", WatchEvent::Modified, calls);
    ASSERT_TRUE(watcher);
    row.appear();
    WriteFile(dir_ / row.file, "x");
    EXPECT_TRUE(calls.WaitFor(1));
  }
}

// The watch follows the canonical directory, not the working directory of
// the moment: directories that appear later are found after a chdir too.
TEST_F(DirectoryWatcherTest, RelativePathIsWatchedAtItsCanonicalPlace) {
  MakeDirs(dir_ / "tree");
  const ioPath previous = ioPath::current_path();
  ASSERT_EQ(::chdir(dir_.path().platformString().c_str()), 0);
  Calls calls;
  auto watcher = Watch(ioPath("tree/../tree"), WatchEvent::Modified, calls);
  ASSERT_EQ(::chdir(previous.platformString().c_str()), 0);
  ASSERT_TRUE(watcher);
  MakeDirs(dir_ / "tree/new");
  WriteFile(dir_ / "tree/new/file", "x");
  EXPECT_TRUE(calls.WaitFor(1));
}

// Files written into a directory before its watch exists are found by the
// scan that follows the watch; not one may be lost.
TEST_F(DirectoryWatcherTest, ModifiedLosesNoWriteRightAfterMkdirP) {
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const ioPath root = dir_ / std::to_string(round);
    MakeDirs(root);
    Calls calls;
    auto watcher = Watch(root, WatchEvent::Modified, calls);
    ASSERT_TRUE(watcher);
    MakeDirs(root / "a/b/c");
    WriteFile(root / "a/b/c/f", "x");
    ASSERT_TRUE(calls.WaitFor(1));
  }
}

// Each action is followed by a sentinel rename. Events are handled in order,
// so once the sentinel's call arrived, every call of the action has too.
TEST_F(DirectoryWatcherTest, NameChangedReportsRenamesInsideTheTreeOnly) {
  constexpr int kBurst = 100;
  MakeDirs(dir_ / "tree/sub/dir");
  MakeDirs(dir_ / "outside");
  const auto tree = [&](const std::string& name) { return dir_ / ("tree/" + name); };
  const struct {
    const char* name;
    std::function<void()> prepare;
    std::function<void()> act;
    int calls;
  } cases[] = {
      {"rename", [&] { WriteFile(tree("f"), "x"); }, [&] { Rename(tree("f"), tree("g")); }, 1},
      {"rename across subdirectories", [&] { WriteFile(tree("f"), "x"); },
       [&] { Rename(tree("f"), tree("sub/dir/g")); }, 1},
      {"create", [] {}, [&] { WriteFile(tree("sub/new"), "x"); }, 0},
      {"delete", [&] { WriteFile(tree("f"), "x"); }, [&] { ASSERT_TRUE(ioPath::remove(tree("f"))); }, 0},
      {"move in from outside", [&] { WriteFile(dir_ / "outside/f", "x"); },
       [&] { Rename(dir_ / "outside/f", tree("sub/f")); }, 0},
      {"move out", [&] { WriteFile(tree("f"), "x"); }, [&] { Rename(tree("f"), dir_ / "outside/f"); }, 0},
      {"rename directory", [] {}, [&] { Rename(tree("sub"), tree("sub2")); }, 0},
      {"burst of renames",
       [&] {
         for (int i = 0; i < kBurst; ++i) WriteFile(tree("f" + std::to_string(i)), "x");
       },
       [&] {
         for (int i = 0; i < kBurst; ++i) Rename(tree("f" + std::to_string(i)), tree("g" + std::to_string(i)));
       },
       kBurst},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(ioPath::remove_all(dir_ / "tree"));
    MakeDirs(tree("sub/dir"));
    WriteFile(tree("sentinel"), "x");
    row.prepare();
    Calls calls;
    auto watcher = Watch(dir_ / "tree", WatchEvent::NameChanged, calls);
    ASSERT_TRUE(watcher);
    row.act();
    Rename(tree("sentinel"), tree("sentinel.done"));
    EXPECT_TRUE(calls.WaitFor(row.calls + 1));
    EXPECT_EQ(calls.count(), row.calls + 1);
  }
}

TEST_F(DirectoryWatcherTest, DestroyingIdleWatcherIsPromptAndLeavesNoDescriptor) {
  const auto before = OpenDescriptors();
  Calls calls;
  auto watcher = Watch(dir_.path(), WatchEvent::Modified, calls);
  ASSERT_TRUE(watcher);
  factory_.reset();  // watchers do not depend on their factory
  WriteFile(dir_ / "file", "x");
  ASSERT_TRUE(calls.WaitFor(1));

  const auto start = std::chrono::steady_clock::now();
  watcher.reset();
  // Generous for a thread blocked in poll(): the stop must not wait for a time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(DirectoryWatcherTest, FailuresGiveEmptyPointerAndOneError) {
  WriteFile(dir_ / "file", "x");
  const std::string missing = (dir_ / "missing").utf8string();
  const std::string file = (dir_ / "file").utf8string();
  const struct {
    std::string directory;
    int kind;
    std::string text;
  } cases[] = {
      {missing, 1, missing + " is not a directory"},
      {file, 2, file + " is not a directory"},
      {dir_.path().utf8string(), 0, "invalid map<K, T> key"},
      {dir_.path().utf8string(), 3, "invalid map<K, T> key"},
      {dir_.path().utf8string(), -1, "invalid map<K, T> key"},
  };
  const auto descriptors = OpenDescriptors();
  for (const auto& row : cases) {
    SCOPED_TRACE(row.text + " / kind " + std::to_string(row.kind));
    LogCapture log;
    auto token = std::make_shared<int>(0);
    bool called = false;
    auto watcher = factory_->CreateWatcher(ioPath(row.directory), static_cast<WatchEvent>(row.kind),
                                           [token, &called] { called = true; });
    EXPECT_FALSE(watcher);
    EXPECT_FALSE(called);
    EXPECT_EQ(token.use_count(), 1) << "the callback outlived the failed call";
    const auto errors = ErrorsFrom(log, "DirectoryWatcher.cpp");
    ASSERT_EQ(log.records().size(), 1u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, row.text);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

TEST_F(DirectoryWatcherTest, EmptyCallbackLogsBadFunctionCall) {
  LogCapture log;
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, std::function<void()>());
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "file", "x");
  ASSERT_TRUE(Tarnix::Test::WaitUntil([&] { return !ErrorsFrom(log, "DirectoryWatcher.cpp").empty(); }));
  EXPECT_EQ(ErrorsFrom(log, "DirectoryWatcher.cpp")[0].text, std::bad_function_call().what());
}

TEST_F(DirectoryWatcherTest, ThrowingCallbackIsLoggedAndReportingGoesOn) {
  LogCapture log;
  Calls calls;
  auto count = calls.Callback();
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, [&] {
    count();
    throw std::runtime_error("callback failed");
  });
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "first", "x");
  ASSERT_TRUE(calls.WaitFor(1));
  WriteFile(dir_ / "second", "x");
  ASSERT_TRUE(calls.WaitFor(2));
  watcher.reset();
  const auto errors = ErrorsFrom(log, "DirectoryWatcher.cpp");
  ASSERT_GE(errors.size(), 2u);
  EXPECT_EQ(errors[0].text, "callback failed");
}

// While the worker is held in a callback, more events arrive than the queue
// holds: the overflow is logged once and reports nothing.
TEST_F(DirectoryWatcherTest, QueueOverflowIsLoggedAsWarning) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  ASSERT_GT(limit, 0);

  LogCapture log;
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool release = false;
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, [&] {
    std::unique_lock<std::mutex> lock(mutex);
    held = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "first", "x");
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, Tarnix::Test::kGenerousDeadline, [&] { return held; }));
  }
  // Alternating between two files, so that the kernel cannot merge the events.
  const int fds[2] = {::open((dir_ / "a").platformString().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
                      ::open((dir_ / "b").platformString().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
  for (int i = 0; i < limit + 16; ++i) ASSERT_EQ(::write(fds[i % 2], "x", 1), 1);
  ::close(fds[0]);
  ::close(fds[1]);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
    changed.notify_all();
  }
  const auto overflows = [&] {
    int found = 0;
    for (const auto& record : log.records()) {
      found += record.severity == google::GLOG_WARNING && record.file == "DirectoryWatcher.cpp" &&
               record.text.find("overflowed") != std::string::npos;
    }
    return found;
  };
  EXPECT_TRUE(Tarnix::Test::WaitUntil([&] { return overflows() > 0; }));
  watcher.reset();
  EXPECT_EQ(overflows(), 1);
}

// Runs in a child process inside a user namespace of its own, where the
// number of inotify watches can be limited without touching the machine's
// limit: the root and "sub" take two watches, "new1" the last one allowed.
TEST_F(DirectoryWatcherTest, WatchLimitSkipsOneDirectoryWithAWarning) {
  MakeDirs(dir_ / "sub");
  const int status = Tarnix::Test::RunInChild([&] {
    if (::unshare(CLONE_NEWUSER) != 0 || !(std::ofstream("/proc/sys/user/max_inotify_watches") << 3)) {
      return 77;  // no user namespaces here
    }
    LogCapture log;
    Calls calls;
    auto watcher = Watch(dir_.path(), WatchEvent::Modified, calls);
    if (!watcher) return 1;
    MakeDirs(dir_ / "new1");
    MakeDirs(dir_ / "new2");
    WriteFile(dir_ / "new1/file", "x");
    if (!calls.WaitFor(1)) return 2;
    WriteFile(dir_ / "sub/file", "x");  // the rest of the tree keeps reporting
    if (!calls.WaitFor(2)) return 3;
    watcher.reset();
    int warnings = 0;
    for (const auto& record : log.records()) {
      if (record.severity != google::GLOG_WARNING) continue;
      ++warnings;
      for (const char* part : {"/new2 ", "No space left on device", "/proc/sys/fs/inotify/max_user_watches",
                               " 3 directories"}) {
        if (record.text.find(part) == std::string::npos) {
          std::cerr << "warning lacks \"" << part << "\": " << record.text << "\n";
          return 4;
        }
      }
    }
    return warnings == 1 ? 0 : 5;
  });
  if (status == 77) GTEST_SKIP() << "cannot create a user namespace";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace Tarnix::Core
