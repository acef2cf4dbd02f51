#include "Filesystem/FlatFileCache.h"

#include "support/TempDir.h"
#include "tests/Filesystem/CacheTestSupport.h"

#include <gtest/gtest.h>

#include <utility>

namespace Tarnix::Core {
namespace {

using Test::HasBothTimes;
using Test::MakeSource;
using Test::ReadFile;
using Test::kStamp;

class FlatFileCacheTest : public Test::TempDirTest {
 protected:
  ioPath root_ = dir_ / "flat/root";
  FlatFileCache cache_{root_};
};

TEST_F(FlatFileCacheTest, PutFindRemoveRoundTrip) {
  EXPECT_TRUE(root_.is_directory());
  const ioPath source = MakeSource(dir_.path(), "produced.tmp", "contents");
  ASSERT_TRUE(cache_.PutRecord("entry", source, kStamp));
  EXPECT_FALSE(source.exists());

  AbstractFileCache::CacheRecord record = cache_.FindRecord("entry");
  EXPECT_EQ(record.path, root_ / "entry");
  EXPECT_EQ(record.timestamp, kStamp);
  EXPECT_TRUE(HasBothTimes(record.path, kStamp));
  ASSERT_NE(record.readLock, nullptr);

  // Held: neither replaced nor removed.
  const ioPath next = MakeSource(dir_.path(), "next", "next");
  EXPECT_FALSE(cache_.PutRecord("entry", next, kStamp));
  EXPECT_TRUE(next.exists());
  EXPECT_TRUE(cache_.RemoveRecord(record));
  EXPECT_EQ(ReadFile(record.path), "contents");

  record.readLock.reset();
  ASSERT_TRUE(cache_.PutRecord("entry", next, kStamp + 5));
  EXPECT_EQ(cache_.FindRecord("entry").timestamp, kStamp + 5);
  EXPECT_FALSE(cache_.RemoveRecord(record));
  EXPECT_TRUE(cache_.FindRecord("entry").path.empty());
}

TEST_F(FlatFileCacheTest, KeysAreFileNamesUsedUnchanged) {
  struct Row {
    const char* key;
    bool stored;
  } rows[] = {{"", false}, {"a", true}, {"no-such-dir/name", false}, {"sub/name", true}, {"..x y", true}};
  ASSERT_TRUE(ioPath::create_directories(root_ / "sub"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    const ioPath source = MakeSource(dir_.path(), "s", "x");
    EXPECT_EQ(cache_.PutRecord(row.key, source, kStamp), row.stored);
    EXPECT_EQ(source.exists(), !row.stored);
    EXPECT_EQ(cache_.FindRecord(row.key).path.empty(), !row.stored);
  }
  EXPECT_FALSE((root_ / "no-such-dir").exists()) << "the cache creates no subdirectory";
}

TEST_F(FlatFileCacheTest, RefusesZeroTimestampAndMissingSourceAndItsOwnFile) {
  const ioPath source = MakeSource(dir_.path(), "s", "x");
  EXPECT_FALSE(cache_.PutRecord("k", source, 0));
  EXPECT_FALSE(cache_.PutRecord("k", dir_ / "missing", kStamp));
  EXPECT_TRUE(source.exists());
  EXPECT_FALSE((root_ / "k").exists());
  ASSERT_TRUE(cache_.PutRecord("k", source, kStamp));
  EXPECT_FALSE(cache_.PutRecord("k", root_ / "k", kStamp + 1));
  EXPECT_TRUE(HasBothTimes(root_ / "k", kStamp));
}

TEST_F(FlatFileCacheTest, MoveEmptiesTheSourceRoot) {
  ASSERT_TRUE(cache_.PutRecord("k", MakeSource(dir_.path(), "s", "x"), kStamp));
  FlatFileCache moved(std::move(cache_));
  EXPECT_FALSE(moved.FindRecord("k").path.empty());
  EXPECT_TRUE(cache_.FindRecord("k").path.empty());  // NOLINT(bugprone-use-after-move)
  FlatFileCache assigned(dir_ / "other");
  assigned = std::move(moved);
  EXPECT_FALSE(assigned.FindRecord("k").path.empty());
  EXPECT_TRUE(moved.FindRecord("k").path.empty());  // NOLINT(bugprone-use-after-move)
  assigned = assigned;
  EXPECT_FALSE(assigned.FindRecord("k").path.empty());
}

}  // namespace
}  // namespace Tarnix::Core
