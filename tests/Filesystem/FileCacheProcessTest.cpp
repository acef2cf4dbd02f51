// The caches between processes: a read lock held in one process against the
// removals of another, and a bounded stress run of several processes at once.
#include "Filesystem/FileCache.h"

#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tests/Filesystem/CacheTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

using namespace Tarnix::Test;  // NOLINT(google-build-using-namespace)

class FileCacheProcesses : public Test::TempDirTest {
 protected:
  ioPath root_ = dir_ / "cache";
};

TEST_F(FileCacheProcesses, RecordHeldInOneProcessSurvivesAnother) {
  const std::string key = AbstractFileCache::MakeCacheKey("shared");
  ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key, MakeSource(dir_.path(), "held", "held"), kStamp));
  AbstractFileCache::CacheRecord byPath;  // no lock of this process
  byPath.path = FileCache(root_, kNoBudget).FindRecord(key).path;

  Baton locked, release;
  const int holder = Fork([&] {
    const auto record = FileCache(root_, kNoBudget).FindRecord(key);
    locked.Signal();
    return release.Wait() && record.path == byPath.path ? 0 : 2;
  });
  ASSERT_TRUE(locked.Wait());
  {
    LogCapture log;
    const FileCache cache(root_, 0);
    EXPECT_FALSE(cache.PutRecord(key, MakeSource(dir_.path(), "new", "new"), kStamp + 1));
    EXPECT_TRUE(cache.RemoveRecord(byPath));
    EXPECT_EQ(ReadFile(byPath.path), "held");
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, google::GLOG_WARNING);
    EXPECT_EQ(records[0].file, "FileCache.cpp");
    EXPECT_EQ(records[0].text, "Failed to remove: " + byPath.path.utf8string());
  }
  release.Signal();
  ASSERT_EQ(WaitForChild(holder), 0);
  FileCache(root_, 0);
  EXPECT_FALSE(byPath.path.exists());
}

// The key and timestamp, then a body whose length and letter follow from the
// timestamp: a torn, foreign or swapped file shows.
std::string Contents(const std::string& key, long long stamp) {
  return key + " " + std::to_string(stamp) + "\n" + std::string(stamp % 9000, static_cast<char>('a' + stamp % 26));
}

struct StressRun {
  ioPath root;
  std::vector<ioPath> sourceRoots;  // the last one may lie on another file system
  std::vector<std::string> keys;
  std::chrono::steady_clock::time_point deadline;
  bool Running() const { return std::chrono::steady_clock::now() < deadline; }
};

int Fail(const ioPath& path, const char* what) {
  std::fprintf(stderr, "%s %s\n", path.utf8string().c_str(), what);
  return 2;
}

// Puts, finds (checking the file several times while holding its record) and
// removes at random until the deadline.
int Worker(const StressRun& run, int id) {
  std::mt19937 random(id);
  const FileCache cache(run.root, kNoBudget);
  std::vector<ioPath> sourceDirs;
  for (const ioPath& dir : run.sourceRoots) sourceDirs.push_back(dir / ("w" + std::to_string(id)));
  for (const ioPath& dir : sourceDirs) ioPath::create_directories(dir);
  for (long long sequence = 1; run.Running(); ++sequence) {
    const std::string& key = run.keys[random() % run.keys.size()];
    const unsigned action = random() % 3;
    if (action == 0) {
      // Workers share the file names, so they also meet at one target path.
      const long long stamp = kStamp + 10 * sequence + id;
      const ioPath& dir = sourceDirs[random() % sourceDirs.size()];
      cache.PutRecord(key, MakeSource(dir, "f" + std::to_string(random() % 2), Contents(key, stamp)), stamp);
    } else if (action == 1) {
      const auto record = cache.FindRecord(key);
      if (record.path.empty()) continue;
      const std::string first = ReadFile(record.path);
      if (first != Contents(key, record.timestamp)) return Fail(record.path, "does not match its key and time");
      for (int again = 0; again < 4; ++again) {
        if (ReadFile(record.path) != first) return Fail(record.path, "changed or vanished while locked");
      }
    } else {
      auto record = cache.FindRecord(key);
      record.readLock.reset();
      cache.RemoveRecord(record);
    }
  }
  return 0;
}

// Constructs the cache with a small budget again and again. Only a walk that
// meets a directory in flux may throw, and the cache never removes directories.
int Cleaner(const StressRun& run) {
  FLAGS_minloglevel = google::GLOG_ERROR;  // locked files are expected here
  while (run.Running()) FileCache(run.root, 64);
  return 0;
}

TEST_F(FileCacheProcesses, ConcurrentUseNeverLosesOrChangesALockedFile) {
  StressRun run{root_, {dir_.path()}, {}, std::chrono::steady_clock::now() + std::chrono::seconds(2)};
  std::unique_ptr<TempDir> shm;
  if (ioPath("/dev/shm").is_directory()) {
    shm = std::make_unique<TempDir>("/dev/shm");
    run.sourceRoots.push_back(shm->path());  // copies between file systems where it is one
  }
  for (const char* text : {"one", "two", "three"}) run.keys.push_back(AbstractFileCache::MakeCacheKey(text));

  std::vector<int> children;
  for (int id = 0; id < 4; ++id) children.push_back(Fork([&, id] { return Worker(run, id); }));
  children.push_back(Fork([&] { return Cleaner(run); }));
  for (int pid : children) EXPECT_EQ(WaitForChild(pid), 0) << "child " << pid;
}

}  // namespace
}  // namespace Tarnix::Core
