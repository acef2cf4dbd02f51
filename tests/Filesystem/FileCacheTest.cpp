#include "Filesystem/FileCache.h"

#include "Filesystem/FileOperations.h"
#include "Filesystem/internal/FilePlacement.h"
#include "support/TempDir.h"
#include "tests/Filesystem/CacheTestSupport.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>

namespace Tarnix::Core {
namespace {

using namespace Tarnix::Test;  // NOLINT(google-build-using-namespace)

long EntriesIn(const ioPath& dir) { return std::distance(dir.iterator(), boost::filesystem::directory_iterator()); }

class FileCacheTest : public Test::TempDirTest {
 protected:
  ioPath root_ = dir_ / "cache";
  ioPath in_ = dir_.path();  // where sources are produced
  std::string key_ = AbstractFileCache::MakeCacheKey("produced content");
  ioPath recordDir_ = root_ / ioPath(key_.substr(0, 2)) / ioPath(key_.substr(2, 2)) / ioPath(key_.substr(4));
};

TEST(MakeCacheKey, IsTheHexDigestOfTheExactBytes) {
  EXPECT_EQ(AbstractFileCache::MakeCacheKey(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_NE(AbstractFileCache::MakeCacheKey("abc"), AbstractFileCache::MakeCacheKey("ABC"));
}

TEST_F(FileCacheTest, PutFindRemoveRoundTrip) {
  const FileCache cache(root_, 0);
  const ioPath source = MakeSource(in_, "page.bin", "contents");
  ASSERT_TRUE(cache.PutRecord(key_, source, kStamp));
  EXPECT_FALSE(source.exists());

  AbstractFileCache::CacheRecord record = cache.FindRecord(key_);
  EXPECT_EQ(record.key, key_);
  EXPECT_EQ(record.path, recordDir_ / "page.bin");
  EXPECT_EQ(record.timestamp, kStamp);
  EXPECT_TRUE(HasBothTimes(record.path, kStamp));
  ASSERT_NE(record.readLock, nullptr);
  EXPECT_TRUE(cache.RemoveRecord(record)) << "our own lock keeps the file";
  record.readLock.reset();
  EXPECT_FALSE(cache.RemoveRecord(record));
  EXPECT_FALSE(record.path.exists());
  EXPECT_TRUE(recordDir_.is_directory());
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
}

TEST_F(FileCacheTest, PutReplacesTheKeysFileButNoSubdirectory) {
  const FileCache cache(root_, 0);
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "old.txt", "old"), kStamp));
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "new.dat", "new"), kStamp + 1));
  EXPECT_EQ(EntriesIn(recordDir_), 1);
  EXPECT_EQ(cache.FindRecord(key_).path, recordDir_ / "new.dat");

  EXPECT_FALSE(cache.PutRecord(key_, recordDir_ / "new.dat", kStamp)) << "its own cached file is refused";
  EXPECT_TRUE((recordDir_ / "new.dat").exists());
  ASSERT_TRUE(ioPath::create_directories(recordDir_ / "sub"));
  EXPECT_FALSE(cache.PutRecord(key_, MakeSource(in_, "sub", "x"), kStamp));
  EXPECT_TRUE((recordDir_ / "sub").is_directory());
}

TEST_F(FileCacheTest, RefusalsAndKeyLayout) {
  const FileCache cache(root_, 0);
  const ioPath source = MakeSource(in_, "s", "x");
  EXPECT_FALSE(cache.PutRecord(key_, source, 0));
  EXPECT_FALSE(cache.PutRecord("ab", in_ / "missing", kStamp)) << "checked before the key is mapped";
  EXPECT_THROW(cache.FindRecord("abc"), std::out_of_range);
  EXPECT_THROW(cache.PutRecord("abc", source, kStamp), std::out_of_range);
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  EXPECT_FALSE(recordDir_.exists()) << "neither a refusal nor a lookup creates anything";

  for (const std::string key : {"abcd", "abcdefgh", "ab/c/de"}) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(cache.PutRecord(key, MakeSource(in_, "s", "x"), kStamp));
    EXPECT_EQ(cache.FindRecord(key).path,
              root_ / ioPath(key.substr(0, 2)) / ioPath(key.substr(2, 2)) / ioPath(key.substr(4)) / "s");
  }
}

TEST_F(FileCacheTest, ReadLockKeepsTheFileButNotItsUse) {
  const FileCache cache(root_, 0);
  ASSERT_TRUE(cache.PutRecord(key_, MakeSource(in_, "a", "held"), kStamp));
  const auto record = cache.FindRecord(key_);
  ASSERT_NE(cache.FindRecord(key_).readLock, nullptr) << "a second lock coexists";
  const ioPath source = MakeSource(in_, "b", "new");
  EXPECT_FALSE(cache.PutRecord(key_, source, kStamp));
  EXPECT_TRUE(source.exists());
  EXPECT_TRUE(cache.RemoveRecord(record));
  WriteFile(record.path, "rewritten");
  EXPECT_EQ(ReadFile(record.path), "rewritten");

  // A lock that found no file protects nothing that appears there later.
  const auto inert = ICacheReadLock::CreateInstance(in_ / "later");
  ASSERT_NE(inert, nullptr);
  WriteFile(in_ / "later", "");
  EXPECT_TRUE(RemoveFile(in_ / "later"));
}

TEST_F(FileCacheTest, ReadLockedSourceIsCopiedButStays) {
  const FileCache cache(root_, 0);
  const ioPath held = MakeSource(in_, "held", "held");
  const auto lock = ICacheReadLock::CreateInstance(held);
  EXPECT_THROW(cache.PutRecord(key_, held, kStamp), boost::filesystem::filesystem_error);
  EXPECT_EQ(ReadFile(held), "held");
  EXPECT_EQ(ReadFile(cache.FindRecord(key_).path), "held");
}

TEST_F(FileCacheTest, PutFromAnotherFileSystemAppearsCompleteAndStamped) {
  if (!ioPath("/dev/shm").is_directory()) GTEST_SKIP() << "no /dev/shm on this machine";
  TempDir shm("/dev/shm");
  if (!OnDifferentFileSystems(shm.path(), dir_.path())) {
    GTEST_SKIP() << "/dev/shm and the temporary directory are one file system; nothing to copy between";
  }
  const FileCache cache(root_, 0);
  const ioPath source = MakeSource(shm.path(), "big.bin", std::string(3 << 20, 'z'));
  ASSERT_TRUE(cache.PutRecord(key_, source, kStamp));
  EXPECT_FALSE(source.exists());
  EXPECT_TRUE(HasBothTimes(recordDir_ / "big.bin", kStamp));
  EXPECT_EQ(ReadFile(recordDir_ / "big.bin"), std::string(3 << 20, 'z'));
  EXPECT_EQ(EntriesIn(recordDir_), 1) << "no staging file stays behind";
}

TEST_F(FileCacheTest, StagedCopyNeverReplacesNorLeavesAnything) {
  for (auto staging : {internal::Staging::UnnamedFile, internal::Staging::NamedTempFile}) {
    SCOPED_TRACE(static_cast<int>(staging));
    TempDir out;
    const ioPath source = MakeSource(in_, "s", "payload");
    EXPECT_FALSE(internal::CopyIntoPlace(source, out / "t", kStamp, staging));
    EXPECT_TRUE(HasBothTimes(out / "t", kStamp));
    EXPECT_EQ(ReadFile(out / "t"), "payload");
    EXPECT_EQ(internal::CopyIntoPlace(source, out / "t", kStamp, staging), std::errc::file_exists);
    EXPECT_EQ(EntriesIn(out.path()), 1);
  }
}

TEST_F(FileCacheTest, CleanupRemovesEverythingOnlyWhenOverBudget) {
  struct Row {
    int record, stray, deep;  // file sizes: in the key layout, in the root, deep outside the layout
    unsigned long long limit;
    bool removes;
  } rows[] = {{10, 20, 0, 30, false},
              {10, 20, 0, 29, true},
              {10, 20, 0, 0, true},
              {10, 20, 0, kNoBudget, false},
              {0, 0, 0, 0, false}};
  const ioPath files[] = {recordDir_ / "rec", root_ / "stray", root_ / "x/y/z/w/deep"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.limit);
    ASSERT_TRUE(
        FileCache(root_, kNoBudget).PutRecord(key_, MakeSource(in_, "rec", std::string(row.record, 'r')), kStamp));
    WriteFile(files[1], std::string(row.stray, 's'));
    ASSERT_TRUE(ioPath::create_directories(files[2].parent_path()));
    WriteFile(files[2], std::string(row.deep, 'd'));
    FileCache cache(root_, row.limit);
    for (const ioPath& file : files) EXPECT_EQ(file.exists(), !row.removes) << file;
    EXPECT_TRUE(recordDir_.is_directory() && files[2].parent_path().is_directory());
  }
}

}  // namespace
}  // namespace Tarnix::Core
