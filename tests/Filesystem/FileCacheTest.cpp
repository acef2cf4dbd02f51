// Both file caches in one process, then the hashed one between processes: a read
// lock held in one against the removals of another; on Linux also what others
// may plant below a root, and a bounded stress run.
#include "Filesystem/FileCache.h"
#include "Filesystem/FileOperations.h"
#include "Filesystem/FlatFileCache.h"

#include "Filesystem/internal/CacheDirectory.h"
#include "Filesystem/internal/FilePlacement.h"
#include "support/LogCapture.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#ifndef _WIN32
#include "support/ChildProcess.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <chrono>
#include <limits>
#include <random>
#include <tuple>

namespace Tarnix::Core {
namespace {

using namespace Tarnix::Test;  // NOLINT(google-build-using-namespace)
using Clock = std::chrono::steady_clock;

constexpr long long kStamp = 1'500'000'000;  // any whole second will do
constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();

ioPath MakeSource(const ioPath& dir, const std::string& name, const std::string& contents) {
  WriteFile(dir / ioPath(name), contents);
  return dir / ioPath(name);
}

long EntriesIn(const ioPath& dir) { return std::distance(dir.iterator(), boost::filesystem::directory_iterator()); }

class FileCacheTest : public TempDirTest {
 protected:
  ioPath root_ = dir_ / "cache";
  std::string key_ = AbstractFileCache::MakeCacheKey("produced content");
  ioPath recordDir_ = root_ / ioPath(key_.substr(0, 2)) / ioPath(key_.substr(2, 2)) / ioPath(key_.substr(4));
};

TEST_F(FileCacheTest, BothCachesPutFindReplaceRemove) {
  const FileCache hashed(root_, 0);
  const FlatFileCache flat(dir_ / "flat/root");
  const struct {
    const AbstractFileCache& cache;
    ioPath first, second;  // where the file of the first and of the second put lands
  } rows[] = {{hashed, recordDir_ / "page.bin", recordDir_ / "next.dat"},
              {flat, dir_ / "flat/root" / key_, dir_ / "flat/root" / key_}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first.utf8string());
    const ioPath source = MakeSource(dir_.path(), "page.bin", "contents");
    EXPECT_FALSE(row.cache.PutRecord(key_, source, 0));
    EXPECT_FALSE(row.cache.PutRecord(key_, dir_ / "missing", kStamp));
    ASSERT_TRUE(row.cache.PutRecord(key_, source, kStamp));
    EXPECT_FALSE(source.exists());
    EXPECT_TRUE(HasBothTimes(row.first, kStamp));
    auto record = row.cache.FindRecord(key_);
    EXPECT_EQ(record.path, row.first);
    EXPECT_EQ(record.timestamp, kStamp);
    ASSERT_NE(record.readLock, nullptr);

    // Held, the file is neither replaced nor removed; unheld, it is still not put over itself.
    const ioPath next = MakeSource(dir_.path(), "next.dat", "next");
    EXPECT_FALSE(row.cache.PutRecord(key_, next, kStamp + 1));
    EXPECT_TRUE(row.cache.RemoveRecord(record));
    record.readLock.reset();
    EXPECT_FALSE(row.cache.PutRecord(key_, record.path, kStamp));
    EXPECT_EQ(ReadFile(record.path), "contents");
    ASSERT_TRUE(row.cache.PutRecord(key_, next, kStamp + 1));
    EXPECT_EQ(EntriesIn(row.second.parent_path()), 1) << "the first file is gone";
    record = row.cache.FindRecord(key_);
    EXPECT_EQ(record.path, row.second);
    EXPECT_EQ(record.timestamp, kStamp + 1);
    EXPECT_EQ(ReadFile(record.path), "next");
    record.readLock.reset();
    EXPECT_FALSE(row.cache.RemoveRecord(record));
    EXPECT_TRUE(row.cache.FindRecord(key_).path.empty());
  }
  EXPECT_TRUE(recordDir_.is_directory()) << "removals keep the record directory";
}

TEST_F(FileCacheTest, HashedKeysAndAReadLockedSource) {
  const FileCache cache(root_, 0);
  EXPECT_THROW(cache.FindRecord("abc"), std::out_of_range);
  EXPECT_THROW(cache.PutRecord("abc", MakeSource(dir_.path(), "s", "x"), kStamp), std::out_of_range);
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  EXPECT_FALSE(recordDir_.exists()) << "a lookup creates nothing";
  for (const std::string key : {"abcd", "abcdefgh", "ab/c/de"}) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(cache.PutRecord(key, MakeSource(dir_.path(), "s", "x"), kStamp));
    EXPECT_EQ(cache.FindRecord(key).path,
              root_ / ioPath(key.substr(0, 2)) / ioPath(key.substr(2, 2)) / ioPath(key.substr(4)) / "s");
  }

  // A read-locked source is copied in, but stays, and the put throws.
  const ioPath held = MakeSource(dir_.path(), "held", "held");
  const auto lock = ICacheReadLock::CreateInstance(held);
  EXPECT_THROW(cache.PutRecord(key_, held, kStamp), boost::filesystem::filesystem_error);
  EXPECT_EQ(ReadFile(held), "held");
  EXPECT_EQ(ReadFile(cache.FindRecord(key_).path), "held");
}

TEST_F(FileCacheTest, FlatKeysAreFileNamesUsedUnchanged) {
  const FlatFileCache cache(root_);
  ASSERT_TRUE(ioPath::create_directories(root_ / "sub"));
  const struct {
    const char* key;
    bool stored;
  } rows[] = {{"", false}, {"a", true}, {"no-such-dir/name", false}, {"sub/name", true}, {"..x y", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    const ioPath source = MakeSource(dir_.path(), "s", "x");
    EXPECT_EQ(cache.PutRecord(row.key, source, kStamp), row.stored);
    EXPECT_EQ(source.exists(), !row.stored);
    EXPECT_EQ(cache.FindRecord(row.key).path, row.stored ? root_ / row.key : ioPath());
  }
  EXPECT_FALSE((root_ / "no-such-dir").exists()) << "the cache creates no subdirectory";
}

// The copy of a put from another file system, staged either way: it appears complete and stamped, never replaces
// what has the name meanwhile, and leaves nothing behind; room is made only once the copy is ready.
TEST_F(FileCacheTest, PutFromAnotherFileSystemIsStagedAndNeverReplacesNorLeavesAnything) {
  const auto shm = TempDirOnOtherFileSystem(dir_.path());
  if (!shm) GTEST_SKIP() << "no second file system here";
  const ioPath big = MakeSource(shm->path(), "big.bin", std::string(3 << 20, 'z'));
  ASSERT_TRUE(FileCache(root_, 0).PutRecord(key_, big, kStamp));
  EXPECT_FALSE(big.exists());
  EXPECT_TRUE(HasBothTimes(recordDir_ / "big.bin", kStamp));
  EXPECT_EQ(ReadFile(recordDir_ / "big.bin"), std::string(3 << 20, 'z'));
  EXPECT_EQ(EntriesIn(recordDir_), 1) << "no staging file stays behind";
  for (auto staging : {internal::Staging::UnnamedFile, internal::Staging::NamedTempFile}) {
    SCOPED_TRACE(static_cast<int>(staging));
    TempDir out;
    internal::CacheDirectory directory;
    ASSERT_FALSE(internal::OpenCacheDirectory(out.path(), ioPath(), false, &directory));
    const ioPath source = MakeSource(shm->path(), "s", "payload");
    const std::string longest(255, 't');  // the staging name must not grow with it
    internal::Placement placement;
    int rooms = 0;
    const auto makeRoom = [&] { return ++rooms == 1 && ReadFile(source) == "payload"; };
    EXPECT_FALSE(internal::PlaceFile(source, directory, longest, kStamp, makeRoom, &placement, staging));
    EXPECT_TRUE(placement.placed && !placement.sourceKept && !source.exists());
    EXPECT_TRUE(HasBothTimes(out / longest, kStamp));
    EXPECT_EQ(ReadFile(out / longest), "payload");
    WriteFile(source, "second");
    EXPECT_EQ(internal::PlaceFile(source, directory, longest, kStamp, [] { return true; }, &placement, staging),
              std::errc::file_exists);
    EXPECT_EQ(internal::PlaceFile(source, directory, "u", kStamp, [] { return false; }, &placement, staging),
              std::errc::device_or_resource_busy);
    EXPECT_EQ(ReadFile(source), "second") << "a failed placement keeps its source";
    EXPECT_EQ(EntriesIn(out.path()), 1);
  }
}

TEST_F(FileCacheTest, CleanupRemovesEverythingOnlyWhenOverBudget) {
  const struct {
    int record, stray;  // file sizes in the key layout and in the root; a third, deep outside it, is empty
    unsigned long long limit;
    bool kept;
  } rows[] = {{10, 20, 30, true}, {10, 20, 29, false}, {10, 20, 0, false}, {0, 0, 0, true}};
  const ioPath files[] = {recordDir_ / "rec", root_ / "stray", root_ / "x/y/z/w/deep"};
  ASSERT_TRUE(ioPath::create_directories(files[2].parent_path()));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.limit);
    const ioPath source = MakeSource(dir_.path(), "rec", std::string(row.record, 'r'));
    ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key_, source, kStamp));
    WriteFile(files[1], std::string(row.stray, 's'));
    WriteFile(files[2], "");
    FileCache(root_, row.limit);
    for (const ioPath& file : files) EXPECT_EQ(file.exists(), row.kept) << file;
    EXPECT_TRUE(recordDir_.is_directory() && files[2].parent_path().is_directory()) << "directories stay";
  }
}

// A directory whose listing takes several reads (2,000 long names) is counted whole.
TEST_F(FileCacheTest, BudgetCountsEveryFileOfALargeDirectory) {
  ASSERT_TRUE(ioPath::create_directories(root_ / "large"));
  for (int i = 0; i < 2000; ++i) WriteFile(root_ / ("large/" + std::string(60, 'n') + std::to_string(i)), "x");
  const auto report = ApplyCacheBudget(root_, kNoBudget);
  EXPECT_EQ(std::make_pair(report.countedFiles, report.countedBytes), std::make_pair(2000ull, 2000ull));
}

// The other process is a program of its own (CacheLockHolder), as on Windows,
// where a process cannot be forked.
TEST_F(FileCacheTest, RecordHeldInOneProcessSurvivesAnother) {
  ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key_, MakeSource(dir_.path(), "held", "held"), kStamp));
  auto byPath = FileCache(root_, kNoBudget).FindRecord(key_);
  byPath.readLock.reset();  // this process holds nothing

  const ioPath held = dir_ / "held.path";
  Process holder(LUM_CACHE_LOCK_HOLDER, {root_.utf8string(), key_, held.utf8string()}, {}, dir_.path());
  ASSERT_TRUE(WaitUntil([&] { return held.exists(); })) << holder.Err();
  EXPECT_EQ(ReadFile(held), byPath.path.utf8string());
  {
    LogCapture log;
    const FileCache cache(root_, 0);
    EXPECT_FALSE(cache.PutRecord(key_, MakeSource(dir_.path(), "new", "new"), kStamp + 1));
    EXPECT_TRUE(cache.RemoveRecord(byPath));
    EXPECT_FALSE(RemoveFile(byPath.path));
    EXPECT_EQ(ReadFile(byPath.path), "held");
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, google::GLOG_WARNING);
    EXPECT_EQ(records[0].file, "FileCache.cpp");
    EXPECT_EQ(records[0].text, "Failed to remove: " + byPath.path.utf8string());
  }
  ASSERT_TRUE(ioPath::remove(held));
  ASSERT_EQ(holder.Finish().status, 0);
  FileCache(root_, 0);
  EXPECT_FALSE(byPath.path.exists());
}

// --- Linux only: planted links, staging under flock(), descriptor limits, permissions, forked workers
#ifndef _WIN32
// Whoever may write below the root can plant links: at a key level, at the record directory, in it, or at a
// flat key's file or directory. No put deletes or writes anything behind one, and no lookup finds through one.
TEST_F(FileCacheTest, LinksBelowTheRootAreNeverFollowed) {
  const ioPath victim = dir_ / "victim";
  ASSERT_TRUE(ioPath::create_directories(victim / "dir"));
  WriteFile(victim / "dir/precious", "precious");
  const ioPath hashedLevels[] = {root_ / ioPath(key_.substr(0, 2)), recordDir_.parent_path(), recordDir_};
  for (const ioPath& planted : hashedLevels) {
    SCOPED_TRACE(planted.utf8string());
    ioPath::remove_all(root_);
    ASSERT_TRUE(ioPath::create_directories(planted.parent_path()));
    ASSERT_EQ(::symlink((victim / "dir").platformString().c_str(), planted.platformString().c_str()), 0);
    const FileCache cache(root_, kNoBudget);
    EXPECT_TRUE(cache.FindRecord(key_).path.empty());
    EXPECT_FALSE(cache.PutRecord(key_, MakeSource(dir_.path(), "precious", "new"), kStamp));
    EXPECT_EQ(ReadFile(victim / "dir/precious"), "precious");
    EXPECT_EQ(EntriesIn(victim / "dir"), 1);
  }
  // A link in the record directory is no cached file: it is neither found nor followed nor removed.
  ioPath::remove_all(root_);
  ASSERT_TRUE(ioPath::create_directories(recordDir_));
  ASSERT_EQ(::symlink((victim / "dir/precious").platformString().c_str(), (recordDir_ / "link").platformString().c_str()), 0);
  const FileCache cache(root_, kNoBudget);
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(dir_.path(), "page", "page"), kStamp));
  EXPECT_EQ(cache.FindRecord(key_).path, recordDir_ / "page");
  EXPECT_EQ(ReadFile(victim / "dir/precious"), "precious");

  const FlatFileCache flat(dir_ / "flat");
  ASSERT_EQ(::symlink((victim / "dir").platformString().c_str(), (dir_ / "flat/sub").platformString().c_str()), 0);
  ASSERT_EQ(::symlink((victim / "dir/precious").platformString().c_str(), (dir_ / "flat/file").platformString().c_str()), 0);
  for (const char* key : {"sub/precious", "file", "../victim/dir/precious", "sub/../../victim/dir/precious"}) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(flat.FindRecord(key).path.empty());
    EXPECT_FALSE(flat.PutRecord(key, MakeSource(dir_.path(), "s", "new"), kStamp));
    EXPECT_EQ(ReadFile(victim / "dir/precious"), "precious");
    EXPECT_EQ(EntriesIn(victim / "dir"), 1);
  }
}

// What a staging put leaves in a record directory is never a record: one that nobody holds (its writer was
// killed) is cleared by the next put, one that is still being written stays.
TEST_F(FileCacheTest, StagingFilesAreNeverFoundAndAbandonedOnesAreCleared) {
  ASSERT_TRUE(ioPath::create_directories(recordDir_));
  const ioPath abandoned = recordDir_ / ".lumfs-stage-0123456789abcdef", busy = recordDir_ / ".lumfs-stage-busy";
  WriteFile(abandoned, "half");
  WriteFile(busy, "writing");
  const int fd = ::open(busy.platformString().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const FileCache cache(root_, kNoBudget);
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(dir_.path(), "page", "page"), kStamp));
  EXPECT_FALSE(abandoned.exists());
  EXPECT_TRUE(busy.exists());
  EXPECT_EQ(cache.FindRecord(key_).path, recordDir_ / "page");
  ::close(fd);
}

// Out of descriptors, a lookup finds nothing rather than a record whose lock protects nothing.
TEST_F(FileCacheTest, LookupWithoutDescriptorsFindsNothing) {
  const FileCache hashed(root_, kNoBudget);
  const FlatFileCache flat(dir_ / "flat");
  ASSERT_TRUE(hashed.PutRecord(key_, MakeSource(dir_.path(), "page", "page"), kStamp));
  ASSERT_TRUE(flat.PutRecord(key_, MakeSource(dir_.path(), "page", "page"), kStamp));
  EXPECT_EQ(RunInChild([&] {
              std::vector<int> taken;
              for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
              if (errno != EMFILE || taken.empty()) return 10;
              ::close(taken.back());  // one left: the record directory takes it, the lock finds none
              if (!hashed.FindRecord(key_).path.empty()) return 1;
              const int last = ::open("/dev/null", O_RDONLY);
              return last >= 0 && flat.FindRecord(key_).path.empty() ? 0 : 2;
            }), 0);
}

// The report's figures are what the budget counts: files at any depth, a
// link to a file as that file (the link goes, its target stays), nothing
// through a link to a directory; a held file is kept.
TEST_F(FileCacheTest, BudgetReportCountsRemovedAndKeptFiles) {
  ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key_, MakeSource(dir_.path(), "held", "held"), kStamp));
  ASSERT_TRUE(ioPath::create_directories(root_ / "x/y"));
  ASSERT_TRUE(ioPath::create_directories(dir_ / "outside"));
  WriteFile(root_ / "x/y/deep", std::string(10, 'd'));
  WriteFile(dir_ / "outside/big", std::string(1000, 'b'));
  ASSERT_EQ(::symlink((dir_ / "outside/big").platformString().c_str(), (root_ / "to-file").platformString().c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "outside").platformString().c_str(), (root_ / "to-dir").platformString().c_str()), 0);
  const auto record = FileCache(root_, kNoBudget).FindRecord(key_);
  ASSERT_FALSE(record.path.empty());

  const auto within = ApplyCacheBudget(root_, 1014);
  EXPECT_EQ(std::make_tuple(within.countedFiles, within.countedBytes, within.removedFiles, within.keptFiles),
            std::make_tuple(3ull, 1014ull, 0ull, 0ull));
  LogCapture log;
  const auto over = ApplyCacheBudget(root_, 1013);
  EXPECT_EQ(std::make_tuple(over.limit, over.countedFiles, over.countedBytes, over.removedFiles, over.removedBytes,
                            over.keptFiles, over.keptBytes),
            std::make_tuple(1013ull, 3ull, 1014ull, 2ull, 1010ull, 1ull, 4ull));
  EXPECT_TRUE(record.path.exists());
  EXPECT_FALSE((root_ / "to-file").is_symlink());
  EXPECT_TRUE((dir_ / "outside/big").exists());
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].text, "Failed to remove: " + record.path.utf8string());
}

// A directory the walk cannot read stops it before anything is removed, also
// files it had already counted. Run unprivileged: root reads anything.
TEST_F(FileCacheTest, UnreadableDirectoryThrowsBeforeRemoving) {
  ASSERT_TRUE(ioPath::create_directories(root_ / "closed"));
  WriteFile(root_ / "top", "x");
  WriteFile(root_ / "closed/inner", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chown(root_.platformString().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown((root_ / "top").platformString().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((root_ / "closed").platformString().c_str(), 0), 0);
  const int status = RunUnprivileged([&] {
    try {
      (void)ApplyCacheBudget(root_, 0);
      return 1;
    } catch (const boost::filesystem::filesystem_error& e) {
      return e.path1() == (root_ / "closed").platformString() && e.code() == std::errc::permission_denied ? 0 : 2;
    }
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE((root_ / "top").exists());
}

// Key, time and a body whose length and letter follow from the time: a torn, foreign or swapped file shows.
std::string Contents(const std::string& key, long long stamp) {
  return key + " " + std::to_string(stamp) + "\n" + std::string(stamp % 9000, static_cast<char>('a' + stamp % 26));
}

// Puts, finds (reading the file again and again while holding it) and removes on three keys until `end`.
int Worker(const ioPath& root, const ioPath& sourceDir, int id, Clock::time_point end) {
  std::mt19937 random(id);
  const FileCache cache(root, kNoBudget);
  for (long long sequence = 1; Clock::now() < end; ++sequence) {
    const std::string key = AbstractFileCache::MakeCacheKey(std::to_string(random() % 3));
    const unsigned action = random() % 3;
    if (action == 0) {
      // Workers share the file names, so they also meet at one target path.
      const long long stamp = kStamp + 10 * sequence + id;
      const ioPath source = sourceDir / ("f" + std::to_string(random() % 2));
      WriteFile(source, Contents(key, stamp));
      cache.PutRecord(key, source, stamp);
      continue;
    }
    auto record = cache.FindRecord(key);
    for (int read = 0; action == 1 && !record.path.empty() && read < 20; ++read) {
      if (ReadFile(record.path) == Contents(key, record.timestamp)) continue;
      ADD_FAILURE() << record.path << " changed or vanished while held";
      return 2;
    }
    if (action == 2) {
      record.readLock.reset();
      cache.RemoveRecord(record);
    }
  }
  return 0;
}

TEST_F(FileCacheTest, ConcurrentUseNeverLosesOrChangesAHeldFile) {
  const auto end = Clock::now() + std::chrono::seconds(2);
  std::unique_ptr<TempDir> shm;  // odd workers' sources there are copied where it is another file system
  if (ioPath("/dev/shm").is_directory()) shm = std::make_unique<TempDir>("/dev/shm");
  std::vector<int> children;
  for (int id = 0; id < 4; ++id) {
    const ioPath sourceDir = (shm && id % 2 ? shm->path() : dir_.path()) / ("w" + std::to_string(id));
    ASSERT_TRUE(ioPath::create_directories(sourceDir));
    children.push_back(Fork([&] { return Worker(root_, sourceDir, id, end); }));
  }
  // Meets held files (expected warnings) but never throws: no directory its walk meets is removed.
  children.push_back(Fork([&] {
    FLAGS_minloglevel = google::GLOG_ERROR;
    while (Clock::now() < end) FileCache(root_, 64);
    return 0;
  }));
  for (int pid : children) EXPECT_EQ(WaitForChild(pid), 0) << "child " << pid;
}
#endif  // Linux only

}  // namespace
}  // namespace Tarnix::Core
