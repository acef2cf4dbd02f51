// The caches between processes: a read lock held in one process against the
// removals of another, and a bounded stress run of several processes at once.
#include "Filesystem/FileCache.h"

#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tests/Filesystem/CacheTestSupport.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

using Test::Baton;
using Test::Fork;
using Test::LogCapture;
using Test::MakeSource;
using Test::ReadFile;
using Test::TempDir;
using Test::WaitForChild;
using Test::kStamp;

constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();

class FileCacheProcesses : public Test::TempDirTest {
 protected:
  ioPath root_ = dir_ / "cache";
};

TEST_F(FileCacheProcesses, RecordHeldInOneProcessSurvivesAnother) {
  const std::string key = AbstractFileCache::MakeCacheKey("shared");
  ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key, MakeSource(dir_.path(), "held", "held"), kStamp));
  const ioPath held = FileCache(root_, kNoBudget).FindRecord(key).path;
  ASSERT_FALSE(held.empty());

  Baton locked;
  Baton release;
  const int holder = Fork([&] {
    const auto record = FileCache(root_, kNoBudget).FindRecord(key);
    if (record.path != held) return 2;
    locked.Signal();
    return release.Wait() ? 0 : 3;
  });
  ASSERT_TRUE(locked.Wait());

  {
    LogCapture log;
    const FileCache cache(root_, 0);
    const ioPath replacement = MakeSource(dir_.path(), "replacement", "new");
    EXPECT_FALSE(cache.PutRecord(key, replacement, kStamp + 1));
    AbstractFileCache::CacheRecord byPath;
    byPath.path = held;
    EXPECT_TRUE(cache.RemoveRecord(byPath));
    EXPECT_EQ(ReadFile(held), "held");
    EXPECT_TRUE(replacement.exists());
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, google::GLOG_WARNING);
    EXPECT_EQ(records[0].file, "FileCache.cpp");
    EXPECT_EQ(records[0].text, "Failed to remove: " + held.utf8string());
  }

  release.Signal();
  ASSERT_EQ(WaitForChild(holder), 0);
  FileCache(root_, 0);
  EXPECT_FALSE(held.exists());
}

// What a writer puts and a reader checks: the key and the timestamp, then a
// body whose length and letter follow from the timestamp, so that a torn,
// foreign or swapped file shows.
std::string Contents(const std::string& key, long long stamp) {
  return key + " " + std::to_string(stamp) + "\n" + std::string(stamp % 9000, static_cast<char>('a' + stamp % 26));
}

struct StressRun {
  ioPath root;
  std::vector<ioPath> sourceRoots;  // the last one may lie on another file system
  std::vector<std::string> keys;
  std::chrono::steady_clock::time_point deadline;
};

int Fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  return 2;
}

// Puts, finds (reading and checking the file while holding its record) and
// removes at random until the deadline.
int Worker(const StressRun& run, int id) {
  std::mt19937 random(id);
  const FileCache cache(run.root, kNoBudget);
  std::vector<ioPath> sourceDirs;
  for (const ioPath& dir : run.sourceRoots) {
    sourceDirs.push_back(dir / ("w" + std::to_string(id)));
    ioPath::create_directories(sourceDirs.back());
  }
  long long sequence = 0;
  while (std::chrono::steady_clock::now() < run.deadline) {
    const std::string& key = run.keys[random() % run.keys.size()];
    switch (random() % 3) {
      case 0: {
        const long long stamp = kStamp + 10 * ++sequence + id;
        // Workers share the file names, so they also meet at one target path.
        const ioPath& dir = sourceDirs[random() % sourceDirs.size()];
        const ioPath source = MakeSource(dir, "f" + std::to_string(random() % 2), Contents(key, stamp));
        cache.PutRecord(key, source, stamp);
        break;
      }
      case 1: {
        const auto record = cache.FindRecord(key);
        if (record.path.empty()) break;
        const std::string first = ReadFile(record.path);
        if (first != Contents(key, record.timestamp)) {
          return Fail(record.path.utf8string() + " does not match its key and timestamp");
        }
        for (int again = 0; again < 4; ++again) {  // hold it a while, as a real reader would
          if (ReadFile(record.path) != first) return Fail(record.path.utf8string() + " changed or vanished");
        }
        break;
      }
      default: {
        auto record = cache.FindRecord(key);
        record.readLock.reset();
        cache.RemoveRecord(record);
      }
    }
  }
  return 0;
}

int Cleaner(const StressRun& run) {
  FLAGS_minloglevel = google::GLOG_ERROR;  // locked files are expected here
  while (std::chrono::steady_clock::now() < run.deadline) {
    try {
      FileCache(run.root, 64);
    } catch (const boost::filesystem::filesystem_error&) {
      // allowed: a walk that meets a directory in flux
    }
  }
  return 0;
}

TEST_F(FileCacheProcesses, ConcurrentUseNeverLosesOrChangesALockedFile) {
  StressRun run;
  run.root = root_;
  run.sourceRoots.push_back(dir_.path());
  std::unique_ptr<TempDir> shm;
  if (ioPath("/dev/shm").is_directory()) {
    shm = std::make_unique<TempDir>("/dev/shm");
    run.sourceRoots.push_back(shm->path());  // copies between file systems where it is one
  }
  for (const char* text : {"one", "two", "three"}) run.keys.push_back(AbstractFileCache::MakeCacheKey(text));
  run.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);

  std::vector<int> children;
  for (int id = 0; id < 4; ++id) children.push_back(Fork([&, id] { return Worker(run, id); }));
  children.push_back(Fork([&] { return Cleaner(run); }));
  for (int pid : children) EXPECT_EQ(WaitForChild(pid), 0) << "child " << pid;
}

}  // namespace
}  // namespace Tarnix::Core
