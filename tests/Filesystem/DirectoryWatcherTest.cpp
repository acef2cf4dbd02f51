#include "Filesystem/DirectoryWatcher.h"

#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <sched.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace Tarnix::Core {
namespace {

using Tarnix::Test::LogCapture;
using Tarnix::Test::WaitUntil;
using Tarnix::Test::WriteFile;
using testing::ElementsAre;
using testing::HasSubstr;

// Counts the callback's calls. A call on the thread that made the Calls (the
// caller of CreateWatcher) is not counted, so a test expecting it times out.
struct Calls {
  std::function<void()> Callback() { return [this] { count += std::this_thread::get_id() != creatingThread; }; }
  // The number of calls once there are at least `calls`, or fewer at the deadline.
  int WaitFor(int calls) { WaitUntil([&] { return count >= calls; }); return count; }
  std::atomic<int> count{0};
  const std::thread::id creatingThread = std::this_thread::get_id();
};

std::set<std::string> OpenDescriptors() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) names.insert(entry.path().filename());
  return names;
}

// The texts of the watcher's records of one severity.
std::vector<std::string> Texts(const LogCapture& log, google::LogSeverity severity) {
  std::vector<std::string> found;
  for (const auto& r : log.records())
    if (r.severity == severity && r.file == "DirectoryWatcher.cpp") found.push_back(r.text);
  return found;
}

class DirectoryWatcherTest : public Tarnix::Test::TempDirTest {
 protected:
  void MakeDirs(const ioPath& path) { ASSERT_TRUE(ioPath::create_directories(path)) << path; }
  void Rename(const ioPath& from, const ioPath& to) { ASSERT_TRUE(ioPath::rename(from, to)) << from << " " << to; }

  std::shared_ptr<IDirectoryWatcherFactory> factory_ = CreateDirectoryWatcherFactory();
};

// Files written into a directory before its watch exists are found by the
// listing that follows the watch; not one may be lost.
TEST_F(DirectoryWatcherTest, ModifiedLosesNoWriteRightAfterMkdirP) {
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    const ioPath root = dir_ / std::to_string(round);
    MakeDirs(root);
    Calls calls;
    auto watcher = factory_->CreateWatcher(root, WatchEvent::Modified, calls.Callback());
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
  const auto renameAll = [&] {
    for (int i = 0; i < kBurst; ++i) Rename(tree("f" + std::to_string(i)), tree("g" + std::to_string(i)));
  };
  for (const auto& [name, act, expected] : std::vector<std::tuple<std::string, std::function<void()>, int>>{
           {"rename across directories", [&] { Rename(tree("f0"), tree("sub/g")); }, 1},
           {"burst", renameAll, kBurst},
           {"create", [&] { WriteFile(tree("sub/new"), "x"); }, 0},
           {"delete", [&] { ASSERT_TRUE(ioPath::remove(tree("f0"))); }, 0},
           {"move in from outside", [&] { Rename(dir_ / "outside", tree("sub/f")); }, 0},
           {"rename directory", [&] { Rename(tree("sub"), tree("sub2")); }, 0}}) {
    SCOPED_TRACE(name);
    ioPath::remove_all(dir_.path());
    MakeDirs(tree("sub"));
    for (int i = 0; i < kBurst; ++i) WriteFile(tree("f" + std::to_string(i)), "x");
    for (const char* file : {"sentinel", "../outside"}) WriteFile(tree(file), "x");
    Calls calls;
    auto watcher = factory_->CreateWatcher(dir_ / "tree", WatchEvent::NameChanged, calls.Callback());
    ASSERT_TRUE(watcher);
    act();
    Rename(tree("sentinel"), tree("sentinel.done"));
    EXPECT_EQ(calls.WaitFor(expected + 1), expected + 1);
  }
}

// Watched through a relative, non-canonical path: it is resolved against the
// current directory, and the watch follows the canonical one.
// Destruction must return (a worker blocked in its wait is woken, not timed
// out: DirectoryWatcherBench measures how long it takes) and leave nothing open.
TEST_F(DirectoryWatcherTest, ReportsDeepWritesAndStopsWithoutLeaks) {
  MakeDirs(dir_ / "tree/a/b");
  const auto before = OpenDescriptors();
  const ioPath previous = ioPath::current_path();
  Calls calls;
  ASSERT_EQ(::chdir(dir_.path().platformString().c_str()), 0);
  auto watcher = factory_->CreateWatcher(ioPath("tree/../tree"), WatchEvent::Modified, calls.Callback());
  ASSERT_EQ(::chdir(previous.platformString().c_str()), 0);
  ASSERT_TRUE(watcher);
  factory_.reset();  // watchers do not depend on their factory
  WriteFile(dir_ / "tree/a/b/file", "x");
  ASSERT_GE(calls.WaitFor(1), 1);
  watcher.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(DirectoryWatcherTest, FailuresGiveEmptyPointerAndOneError) {
  WriteFile(dir_ / "file", "x");
  const std::string root = dir_.path().utf8string(), badKind = "invalid map<K, T> key";
  for (const auto& [directory, kind, text] : std::vector<std::tuple<std::string, int, std::string>>{
           {root + "/missing", 1, root + "/missing is not a directory"},
           {root + "/file", 2, root + "/file is not a directory"},
           {root, 0, badKind}, {root, 3, badKind}, {root, -1, badKind}}) {
    SCOPED_TRACE(text + ", kind " + std::to_string(kind));
    LogCapture log;
    bool called = false;
    EXPECT_FALSE(factory_->CreateWatcher(directory, static_cast<WatchEvent>(kind), [&] { called = true; }));
    EXPECT_FALSE(called);
    EXPECT_EQ(log.records().size(), 1u);
    EXPECT_THAT(Texts(log, google::GLOG_ERROR), ElementsAre(text));
  }
}

// An empty callback throws std::bad_function_call when called.
TEST_F(DirectoryWatcherTest, CallbackExceptionIsLogged) {
  LogCapture log;
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, std::function<void()>());
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "file", "x");
  EXPECT_TRUE(WaitUntil([&] { return !Texts(log, google::GLOG_ERROR).empty(); }));
  EXPECT_THAT(Texts(log, google::GLOG_ERROR), ElementsAre(std::bad_function_call().what()));
}

// While the worker is held in a callback, more events arrive than the kernel
// queues: the overflow is logged once.
TEST_F(DirectoryWatcherTest, QueueOverflowIsLoggedAsWarning) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  LogCapture log;
  std::atomic<bool> entered{false}, released{false};
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, [&] {
    entered = true;
    WaitUntil([&] { return released.load(); });
  });
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "first", "x");
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
  // Alternating between two files, so that the kernel cannot merge the events.
  std::ofstream files[] = {std::ofstream((dir_ / "a").platformString()), std::ofstream((dir_ / "b").platformString())};
  for (int i = 0; i < limit + 16; ++i) files[i % 2] << 'x' << std::flush;
  released = true;
  EXPECT_TRUE(WaitUntil([&] { return !Texts(log, google::GLOG_WARNING).empty(); }));
  watcher.reset();
  EXPECT_THAT(Texts(log, google::GLOG_WARNING), ElementsAre(HasSubstr("queue of change notifications overflowed")));
}

// In a child process with a user namespace of its own, where the number of
// inotify watches can be limited without touching the machine's limit. With
// two, the root and "new1" take them and "new2" is left out.
TEST_F(DirectoryWatcherTest, WatchLimitSkipsADirectoryWithAWarning) {
  const int status = Tarnix::Test::RunInChild([&] {
    if (::unshare(CLONE_NEWUSER) != 0 || !(std::ofstream("/proc/sys/user/max_inotify_watches") << 2)) return 77;
    LogCapture log;
    Calls calls;
    auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, calls.Callback());
    MakeDirs(dir_ / "new1");
    MakeDirs(dir_ / "new2");
    WriteFile(dir_ / "new1/file", "x");
    if (!watcher || calls.WaitFor(1) < 1) return 1;
    watcher.reset();
    const auto skipped = testing::AllOf(HasSubstr("/new2 "), HasSubstr("No space left on device"),
                                        HasSubstr("/proc/sys/fs/inotify/max_user_watches"), HasSubstr(" 2 dir"));
    return testing::Value(Texts(log, google::GLOG_WARNING), ElementsAre(skipped)) ? 0 : 2;
  });
  if (status == 77) GTEST_SKIP() << "no user namespace (a sanitizer's thread, or not permitted)";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace Tarnix::Core
