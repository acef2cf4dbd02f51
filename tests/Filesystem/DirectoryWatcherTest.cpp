// The watchers on both platforms: what they report and what they never do.
// Where Windows reports a change differently (a move between directories is
// a removal and an addition there), the rows say so; the section at the end
// is Linux's own (inotify's queue and limits).
#include "Filesystem/DirectoryWatcher.h"

#include "support/Test.h"

#include <filesystem>
#include <tuple>

#ifndef _WIN32
#include <sched.h>
#endif

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)
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

// The texts of the watcher's records of one severity.
std::vector<std::string> Texts(const LogCapture& log, google::LogSeverity severity) {
  std::vector<std::string> found;
  for (const auto& r : log.records())
    if (r.severity == severity && r.file == "DirectoryWatcher.cpp") found.push_back(r.text);
  return found;
}

// The records of a detailed watcher, as "action path[ <- old]" lines with '/'
// between the elements on every platform, a run of identical Modified lines
// folded into one (the system may merge or repeat writes).
struct Records {
  ChangeCallback Callback() {
    return [this](const ChangeRecord& record) {
      static const char* const kActions[] = {"?", "added", "removed", "modified", "renamed", "overflow"};
      std::string line = kActions[static_cast<int>(record.action)] + (" " + record.path);
      if (!record.oldPath.empty()) line += " <- " + record.oldPath;
      std::replace(line.begin(), line.end(), '\\', '/');
      std::lock_guard<std::mutex> lock(mutex);
      if (record.action != ChangeAction::Modified || lines.empty() || lines.back() != line) lines.push_back(line);
    };
  }
  // The lines once `last` has arrived (or all of them at the deadline).
  std::vector<std::string> Until(const std::string& last) {
    WaitUntil([&] { std::lock_guard<std::mutex> lock(mutex); return !lines.empty() && lines.back() == last; });
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
  std::mutex mutex;
  std::vector<std::string> lines;  // guarded by mutex
};

void MakeDirs(const ioPath& path) { ASSERT_TRUE(ioPath::create_directories(path)) << path; }
void Rename(const ioPath& from, const ioPath& to) { ASSERT_TRUE(ioPath::rename(from, to)) << from << " " << to; }

class DirectoryWatcherTest : public TempDirTest {
 protected:
  std::shared_ptr<IDirectoryWatcherFactory> factory_ = CreateDirectoryWatcherFactory();
};

// Files made in a new directory before its watch exists are found by the
// listing that follows the watch: no write is lost, and what was made between
// the watch and the listing, which also comes as an event, is added once.
TEST_F(DirectoryWatcherTest, NewTreesLoseNoWriteAndAddEachEntryOnce) {
  LUM_SKIP_UNDER_WINE("a write at once in a folder created an instant earlier (its watch comes late)");
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    const ioPath root = dir_ / std::to_string(round);
    MakeDirs(root);
    Calls calls;
    Records records;
    auto watcher = factory_->CreateWatcher(root, WatchEvent::Modified, calls.Callback());
    auto detailed = CreateChangeWatcher(root, records.Callback());
    ASSERT_TRUE(watcher && detailed);
    MakeDirs(root / "a/b");
    WriteFile(root / "a/b/f", "x");
    MakeDirs(root / "done");  // a directory: no Modified comes after it
    ASSERT_GE(calls.WaitFor(1), 1);
    EXPECT_THAT(records.Until("added done"), ElementsAre("added a", "added a/b", "added a/b/f", "modified a/b/f", "added done"));
  }
}

// Each action is followed by a sentinel rename. Events are handled in order,
// so by the time the sentinel's call arrives the action's calls have too.
// Windows reports a file moved to another directory as removed and added.
// (Wine reports nothing from "sub", which existed before the watch: there the
// rows acting in the top folder are the ones that show anything, and the
// sentinel's rename is reported once, alone.)
TEST_F(DirectoryWatcherTest, NameChangedReportsRenamesInsideTheTreeOnly) {
  constexpr int kBurst = 100;
  const auto tree = [&](const std::string& name) { return dir_ / ("tree/" + name); };
  const auto renameAll = [&] {
    for (int i = 0; i < kBurst; ++i) Rename(tree("f" + std::to_string(i)), tree("g" + std::to_string(i)));
  };
  for (const auto& [name, act, expected] : std::vector<std::tuple<std::string, std::function<void()>, int>>{
           {"rename across directories", [&] { Rename(tree("f0"), tree("sub/g")); }, kWindows ? 0 : 1},
           {"burst", renameAll, kBurst},
           {"create", [&] { WriteFile(tree("sub/new"), "x"); }, 0},
           {"delete", [&] { ASSERT_TRUE(ioPath::remove(tree("f0"))); }, 0},
           {"move in from outside", [&] { Rename(dir_ / "outside", tree("sub/f")); }, 0},
           {"rename directory", [&] { Rename(tree("sub"), tree("sub2")); }, 0}}) {
    SCOPED_TRACE(name);
    // Under Wine a burst is lost whole when the worker re-arms late on a
    // busy machine (the overflowed batch comes back empty).
    if (name == "burst" && UnderWine()) continue;
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

// Each step waits for its own last record; a spurious record shows up in the
// step that caused it, since records come in the order of the changes.
TEST_F(DirectoryWatcherTest, ChangeRecordsNameEachEntryAndAction) {
  MakeDirs(dir_ / "tree");
  MakeDirs(dir_ / "outside/moved");
  for (const char* file : {"outside/moved/f0", "outside/moved/f1"}) WriteFile(dir_ / file, "x");
  Records records;
  auto watcher = CreateChangeWatcher(dir_ / "tree", records.Callback());
  ASSERT_TRUE(watcher);
  const auto tree = [&](const std::string& name) { return dir_ / ("tree/" + name); };
  const auto remove = [&](const std::string& name) { ASSERT_TRUE(ioPath::remove(tree(name))) << name; };
  std::vector<std::string> expected;
  for (const auto& [step, act, lines] : std::vector<std::tuple<std::string, std::function<void()>, std::vector<std::string>>>{
           {"create", [&] { WriteFile(tree("a"), "x"); }, {"added a", "modified a"}},
           {"make a subdirectory", [&] { MakeDirs(tree("sub")); }, {"added sub"}},
           {"write in the new subdirectory", [&] { WriteFile(tree("sub/f"), "x"); }, {"added sub/f", "modified sub/f"}},
           {"rename inside", [&] { Rename(tree("a"), tree("b")); }, {"renamed b <- a"}},
           {"move out", [&] { Rename(tree("b"), dir_ / "outside/b"); }, {"removed b"}},
           {"remove", [&] { remove("sub/f"); }, {"removed sub/f"}},
           {"move a directory in", [&] { Rename(dir_ / "outside/moved", tree("moved")); }, {"added moved"}},
           {"write in it", [&] { WriteFile(tree("moved/f1"), "y"); }, {"modified moved/f1"}},
           {"empty it", [&] { for (const char* name : {"moved/f0", "moved/f1"}) remove(name); },
            {"removed moved/f0", "removed moved/f1"}},
           {"rename a directory", [&] { Rename(tree("moved"), tree("kept")); }, {"renamed kept <- moved"}},
           {"remove a directory", [&] { remove("kept"); }, {"removed kept"}}}) {
    SCOPED_TRACE(step);
    act();
    // Wine watches no folder that existed before (this one was moved in): nothing comes from inside it.
    const bool insideMovedIn = step == "write in it" || step == "empty it";
    if (!(insideMovedIn && UnderWine())) expected.insert(expected.end(), lines.begin(), lines.end());
    EXPECT_EQ(records.Until(expected.back()), expected);
  }
}

// Watched through a relative, non-canonical path: it is resolved against the
// current directory, and the watch follows the canonical one down the tree
// (Wine watches only the top folder). Destruction must return (a worker
// blocked in its wait is woken, not timed out: DirectoryWatcherBench measures
// how long it takes) and leave nothing open.
TEST_F(DirectoryWatcherTest, ReportsDeepInTheTreeAndStopsWithoutLeaks) {
  MakeDirs(dir_ / "tree/a/b");
  const std::size_t before = OpenHandleCount();
  const auto previous = boost::filesystem::current_path();
  Calls calls;
  boost::filesystem::current_path(dir_.path().platformString());
  auto watcher = factory_->CreateWatcher(ioPath("tree/../tree"), WatchEvent::Modified, calls.Callback());
  boost::filesystem::current_path(previous);
  ASSERT_TRUE(watcher);
  factory_.reset();  // watchers do not depend on their factory
  WriteFile(dir_ / (UnderWine() ? "tree/file" : "tree/a/b/file"), "x");
  ASSERT_GE(calls.WaitFor(1), 1);
  watcher.reset();
  EXPECT_EQ(OpenHandleCount(), before);
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
  LogCapture log;  // the detailed watcher goes through the same checks
  EXPECT_FALSE(CreateChangeWatcher(root + "/file", [](const ChangeRecord&) { ADD_FAILURE() << "called"; }));
  EXPECT_THAT(Texts(log, google::GLOG_ERROR), ElementsAre(root + "/file is not a directory"));
}

// An empty callback throws std::bad_function_call when called.
TEST_F(DirectoryWatcherTest, CallbackExceptionIsLogged) {
  LogCapture log;
  auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, std::function<void()>());
  ASSERT_TRUE(watcher);
  WriteFile(dir_ / "file", "x");
  EXPECT_TRUE(WaitUntil([&] { return !Texts(log, google::GLOG_ERROR).empty(); }));
  // One record per call: a write may be reported more than once (Wine does).
  EXPECT_THAT(Texts(log, google::GLOG_ERROR), testing::Each(std::string(std::bad_function_call().what())));
}

// --- Linux only: inotify's queue, the descriptor limit, the watch limit -------
#ifndef _WIN32
// While the worker is held in a callback, more events arrive than the kernel
// queues: the overflow is logged once and reported once. (The plain watcher
// runs on the same worker.)
TEST_F(DirectoryWatcherTest, QueueOverflowIsLoggedAndReportedOnce) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  LogCapture log;
  std::atomic<bool> entered{false}, released{false};
  std::atomic<int> overflows{0};
  auto watcher = CreateChangeWatcher(dir_.path(), [&](const ChangeRecord& r) {
    overflows += r.action == ChangeAction::Overflow && r.path.empty() && r.oldPath.empty();
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
  EXPECT_TRUE(WaitUntil([&] { return overflows > 0; }));
  watcher.reset();
  EXPECT_THAT(Texts(log, google::GLOG_WARNING), ElementsAre(HasSubstr("queue of change notifications overflowed")));
  EXPECT_EQ(overflows, 1);
}

// In a child, since the descriptor limit is the process's: with a limit of
// one, poll() on the worker's two descriptors fails at once, every time. The
// worker must wait between tries (asleep, as the stat files of the other
// threads, opened beforehand, show), say so once, and report again when poll
// works.
TEST_F(DirectoryWatcherTest, FailingPollIsRetriedWithoutSpinning) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime opens pipes to probe memory, which the descriptor limit forbids";
#endif
  WriteFile(dir_ / "file", "x");
  const std::string from = (dir_ / "file").platformString(), to = (dir_ / "renamed").platformString();
  const int status = RunInChild([&] {
    LogCapture log;
    Calls calls;
    auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, calls.Callback());
    std::vector<int> stats;  // the worker's (and a sanitizer's own threads')
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      if (task.path().filename() == std::to_string(::gettid())) continue;
      stats.push_back(::open((task.path() / "stat").c_str(), O_RDONLY | O_CLOEXEC));
    }
    const auto asleep = [&] {  // "pid (name) S ..."; R is running
      for (const int fd : stats) {
        char stat[512];
        const std::string text(stat, static_cast<std::size_t>(std::max<ssize_t>(::pread(fd, stat, sizeof stat, 0), 0)));
        const auto close = text.rfind(')');
        if (close == std::string::npos || text.compare(close, 4, ") S ") != 0) return false;
      }
      return !stats.empty();
    };
    rlimit limit{};
    if (!watcher || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    const rlimit one{1, limit.rlim_max};
    // A rename wakes the worker without opening a file.
    if (::setrlimit(RLIMIT_NOFILE, &one) != 0 || ::rename(from.c_str(), to.c_str()) != 0) return 2;
    const bool warned = WaitUntil([&] { return !Texts(log, google::GLOG_WARNING).empty(); });
    const bool sleeps = warned && WaitUntil(asleep);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
    WriteFile(ioPath(to), "y");
    const bool reports = calls.WaitFor(1) >= 1;
    watcher.reset();
    if (!warned) return 4;
    return Texts(log, google::GLOG_WARNING).size() == 1 && sleeps ? (reports ? 0 : 6) : 5;
  });
  EXPECT_EQ(status, 0);
}

// In a child process with a user namespace of its own, where the number of
// inotify watches can be limited without touching the machine's limit. With
// two, the root and "new1" take them and "new2" is left out.
TEST_F(DirectoryWatcherTest, WatchLimitSkipsADirectoryWithAWarning) {
  const int status = RunInChild([&] {
    if (::unshare(CLONE_NEWUSER) != 0 || !(std::ofstream("/proc/sys/user/max_inotify_watches") << 2)) return 77;
    LogCapture log;
    Calls calls;
    auto watcher = factory_->CreateWatcher(dir_.path(), WatchEvent::Modified, calls.Callback());
    MakeDirs(dir_ / "new1");
    MakeDirs(dir_ / "new2");
    WriteFile(dir_ / "new1/file", "x");
    // The write may be found by the scan of "new1" before "new2" is seen: wait for both.
    if (!watcher || calls.WaitFor(1) < 1 || !WaitUntil([&] { return !Texts(log, google::GLOG_WARNING).empty(); })) return 1;
    watcher.reset();
    const auto skipped = testing::AllOf(HasSubstr("/new2 "), HasSubstr("No space left on device"),
                                        HasSubstr("/proc/sys/fs/inotify/max_user_watches"), HasSubstr(" 2 dir"));
    return testing::Value(Texts(log, google::GLOG_WARNING), ElementsAre(skipped)) ? 0 : 2;
  });
  if (status == 77) GTEST_SKIP() << "no user namespace (a sanitizer's thread, or not permitted)";
  EXPECT_EQ(status, 0);
}
#endif  // Linux only

}  // namespace
}  // namespace Tarnix::Core
