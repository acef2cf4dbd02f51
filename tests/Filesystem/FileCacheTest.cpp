#include "Filesystem/FileCache.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/FilePlacement.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "tests/Filesystem/CacheTestSupport.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <stdexcept>
#include <vector>

namespace Tarnix::Core {
namespace {

using Test::HasBothTimes;
using Test::LogCapture;
using Test::MakeSource;
using Test::OnDifferentFileSystems;
using Test::ReadFile;
using Test::TempDir;
using Test::WriteFile;
using Test::kStamp;

class FileCacheTest : public Test::TempDirTest {
 protected:
  ioPath root_ = dir_ / "cache";
  ioPath in_ = dir_.path();  // where sources are produced
  std::string key_ = AbstractFileCache::MakeCacheKey("produced content");
  ioPath recordDir_ = root_ / ioPath(key_.substr(0, 2)) / ioPath(key_.substr(2, 2)) / ioPath(key_.substr(4));
};

TEST(MakeCacheKey, IsTheHexDigestOfTheExactBytes) {
  EXPECT_EQ(AbstractFileCache::MakeCacheKey(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(AbstractFileCache::MakeCacheKey("abc"), AbstractFileCache::MakeCacheKey("abc"));
  EXPECT_NE(AbstractFileCache::MakeCacheKey("abc"), AbstractFileCache::MakeCacheKey("ABC"));
}

TEST_F(FileCacheTest, PutFindRemoveRoundTrip) {
  const FileCache cache(root_, 0);
  EXPECT_TRUE(root_.is_directory());
  const ioPath source = MakeSource(in_, "page.bin", "contents");
  ASSERT_TRUE(cache.PutRecord(key_, source, kStamp));
  EXPECT_FALSE(source.exists());

  AbstractFileCache::CacheRecord record = cache.FindRecord(key_);
  EXPECT_EQ(record.key, key_);
  EXPECT_EQ(record.path, recordDir_ / "page.bin");
  EXPECT_EQ(record.timestamp, kStamp);
  EXPECT_TRUE(HasBothTimes(record.path, kStamp));
  EXPECT_EQ(ReadFile(record.path), "contents");
  ASSERT_NE(record.readLock, nullptr);

  EXPECT_TRUE(cache.RemoveRecord(record)) << "our own lock must keep the file";
  EXPECT_TRUE(record.path.exists());
  record.readLock.reset();
  EXPECT_FALSE(cache.RemoveRecord(record));
  EXPECT_FALSE(record.path.exists());
  EXPECT_TRUE(recordDir_.is_directory());
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
}

TEST_F(FileCacheTest, PutReplacesTheKeysFileUnderAnotherName) {
  const FileCache cache(root_, 0);
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "old.txt", "old"), kStamp));
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "new.dat", "new"), kStamp + 1));
  EXPECT_FALSE((recordDir_ / "old.txt").exists());
  const auto record = cache.FindRecord(key_);
  EXPECT_EQ(record.path, recordDir_ / "new.dat");
  EXPECT_EQ(record.timestamp, kStamp + 1);

  // A subdirectory is never a record and never removed, so a source of that name cannot move in.
  ASSERT_TRUE(ioPath::create_directories(recordDir_ / "sub"));
  EXPECT_FALSE(cache.PutRecord(key_, MakeSource(in_, "sub", "x"), kStamp));
  EXPECT_TRUE((recordDir_ / "sub").is_directory());
  // Passing the cached file back in would delete it; refused.
  EXPECT_FALSE(cache.PutRecord(key_, recordDir_ / "new.dat", kStamp));
  EXPECT_TRUE((recordDir_ / "new.dat").exists());
}

TEST_F(FileCacheTest, RefusesZeroTimestampAndMissingSource) {
  const FileCache cache(root_, 0);
  const ioPath source = MakeSource(in_, "s", "x");
  EXPECT_FALSE(cache.PutRecord(key_, source, 0));
  EXPECT_FALSE(cache.PutRecord(key_, in_ / "missing", kStamp));
  EXPECT_FALSE(cache.PutRecord("ab", in_ / "missing", kStamp)) << "checked before the key is mapped";
  EXPECT_TRUE(source.exists());
  EXPECT_FALSE(recordDir_.exists());
}

TEST_F(FileCacheTest, KeysMapToThreeLevels) {
  const FileCache cache(root_, 0);
  EXPECT_THROW(cache.FindRecord("abc"), std::out_of_range);
  EXPECT_THROW(cache.PutRecord("abc", MakeSource(in_, "s", "x"), kStamp), std::out_of_range);
  EXPECT_TRUE(cache.FindRecord("abcd").path.empty());
  EXPECT_FALSE((root_ / "ab").exists()) << "a lookup creates nothing";
  for (const std::string key : {"abcd", "abcdefgh", "ab/c/de"}) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(cache.PutRecord(key, MakeSource(in_, "s", "x"), kStamp));
    EXPECT_EQ(cache.FindRecord(key).path,
              root_ / ioPath(key.substr(0, 2)) / ioPath(key.substr(2, 2)) / ioPath(key.substr(4)) / "s");
  }
}

TEST_F(FileCacheTest, ReadLockedFileSurvivesPutAndRemoveAndStaysUsable) {
  const FileCache cache(root_, 0);
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "a", "held"), kStamp));
  const auto record = cache.FindRecord(key_);
  const auto second = cache.FindRecord(key_);  // two locks on one file coexist
  ASSERT_NE(second.readLock, nullptr);

  const ioPath source = MakeSource(in_, "b", "new");
  EXPECT_FALSE(cache.PutRecord(key_, source, kStamp));
  EXPECT_TRUE(source.exists());
  EXPECT_TRUE(cache.RemoveRecord(record));
  EXPECT_FALSE(RemoveFile(record.path));
  WriteFile(record.path, "rewritten");
  EXPECT_EQ(ReadFile(record.path), "rewritten");
}

TEST_F(FileCacheTest, ReadLockedSourceIsCopiedButStays) {
  const FileCache cache(root_, 0);
  const ioPath held = MakeSource(in_, "held", "held");
  const auto lock = ICacheReadLock::CreateInstance(held);
  EXPECT_THROW(cache.PutRecord(key_, held, kStamp), boost::filesystem::filesystem_error);
  EXPECT_EQ(ReadFile(held), "held");
  EXPECT_EQ(ReadFile(cache.FindRecord(key_).path), "held");
}

TEST_F(FileCacheTest, LockThatCouldNotBeTakenProtectsNothing) {
  const ioPath path = in_ / "later";
  auto lock = ICacheReadLock::CreateInstance(path);
  ASSERT_NE(lock, nullptr);
  WriteFile(path, "a file that appeared after the lock");
  EXPECT_TRUE(RemoveFile(path));
}

TEST_F(FileCacheTest, CopyAndMoveDoNotCleanUp) {
  const FileCache cache(root_, std::numeric_limits<unsigned long long>::max());
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "a", "data"), kStamp));
  FileCache copy(cache);
  const FileCache moved(std::move(copy));
  EXPECT_FALSE(moved.FindRecord(key_).path.empty());
}

TEST_F(FileCacheTest, PutFromAnotherFileSystemCopiesCompleteAndStamped) {
  if (!ioPath("/dev/shm").is_directory()) GTEST_SKIP() << "no /dev/shm on this machine";
  TempDir shm("/dev/shm");
  if (!OnDifferentFileSystems(shm.path(), dir_.path())) {
    GTEST_SKIP() << "/dev/shm and the temporary directory are one file system; nothing to copy between";
  }
  const FileCache cache(root_, 0);
  const ioPath source = MakeSource(shm.path(), "big.bin", std::string(3 << 20, 'z'));
  ASSERT_TRUE(cache.PutRecord(key_, source, kStamp));
  EXPECT_FALSE(source.exists());
  const auto record = cache.FindRecord(key_);
  EXPECT_EQ(record.path, recordDir_ / "big.bin");
  EXPECT_TRUE(HasBothTimes(record.path, kStamp));
  EXPECT_EQ(ReadFile(record.path), std::string(3 << 20, 'z'));
  EXPECT_EQ(std::distance(recordDir_.iterator(), boost::filesystem::directory_iterator()), 1)
      << "no staging file may stay behind";
}

// The staged copy, with both ways of staging it.
TEST_F(FileCacheTest, CopyIntoPlaceNeverLeavesOrReplaces) {
  for (auto staging : {internal::Staging::UnnamedFile, internal::Staging::NamedTempFile}) {
    SCOPED_TRACE(static_cast<int>(staging));
    TempDir out;
    const ioPath source = MakeSource(in_, "s", "payload");
    const ioPath target = out.path() / "t";
    EXPECT_FALSE(internal::CopyIntoPlace(source, target, kStamp, staging));
    EXPECT_TRUE(HasBothTimes(target, kStamp));  // before reading moves the access time
    EXPECT_EQ(ReadFile(target), "payload");
    EXPECT_EQ(internal::CopyIntoPlace(source, target, kStamp, staging), std::errc::file_exists);
    EXPECT_EQ(std::distance(out.path().iterator(), boost::filesystem::directory_iterator()), 1);
  }
}

class FileCacheCleanup : public FileCacheTest {
 protected:
  // A 10-byte record, a 20-byte stray file in the root and an empty one deep
  // outside the key layout.
  void Fill() {
    const FileCache cache(root_, std::numeric_limits<unsigned long long>::max());
    ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "rec", std::string(10, 'r')), kStamp));
    WriteFile(root_ / "stray", std::string(20, 's'));
    ASSERT_TRUE(ioPath::create_directories(root_ / "x/y/z/w"));
    WriteFile(root_ / "x/y/z/w/empty", "");
  }
  std::vector<ioPath> Files() const { return {recordDir_ / "rec", root_ / "stray", root_ / "x/y/z/w/empty"}; }
};

TEST_F(FileCacheCleanup, RemovesEverythingOnlyWhenOverBudget) {
  struct Row {
    unsigned long long limit;
    bool removes;
  } rows[] = {{30, false}, {29, true}, {0, true}, {std::numeric_limits<unsigned long long>::max(), false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.limit);
    Fill();
    FileCache cache(root_, row.limit);
    for (const ioPath& file : Files()) EXPECT_EQ(file.exists(), !row.removes) << file;
    EXPECT_TRUE(recordDir_.is_directory());
    EXPECT_TRUE((root_ / "x/y/z/w").is_directory());
  }
}

TEST_F(FileCacheCleanup, EmptyFilesFitABudgetOfZero) {
  ASSERT_TRUE(ioPath::create_directories(root_ / "ab/cd"));
  WriteFile(root_ / "ab/cd/empty", "");
  WriteFile(root_ / "empty", "");
  FileCache cache(root_, 0);
  EXPECT_TRUE((root_ / "ab/cd/empty").exists());
  EXPECT_TRUE((root_ / "empty").exists());
}

TEST_F(FileCacheCleanup, LockedFileSurvivesAndIsLogged) {
  Fill();
  const auto record = FileCache(root_, std::numeric_limits<unsigned long long>::max()).FindRecord(key_);
  LogCapture log;
  FileCache cache(root_, 0);
  EXPECT_TRUE(record.path.exists());
  EXPECT_FALSE((root_ / "stray").exists());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, google::GLOG_WARNING);
  EXPECT_EQ(records[0].file, "FileCache.cpp");
  EXPECT_EQ(records[0].text, "Failed to remove: " + record.path.utf8string());
}

}  // namespace
}  // namespace Tarnix::Core
