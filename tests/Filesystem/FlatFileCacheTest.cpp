#include "Filesystem/FlatFileCache.h"

#include "support/TempDir.h"
#include "tests/Filesystem/CacheTestSupport.h"

#include <gtest/gtest.h>

#include <utility>

namespace Tarnix::Core {
namespace {

using namespace Tarnix::Test;  // NOLINT(google-build-using-namespace)

class FlatFileCacheTest : public Test::TempDirTest {
 protected:
  ioPath root_ = dir_ / "flat/root";
  FlatFileCache cache_{root_};
};

TEST_F(FlatFileCacheTest, PutFindRemoveRoundTripAndReadLock) {
  const ioPath source = MakeSource(dir_.path(), "produced.tmp", "contents");
  EXPECT_FALSE(cache_.PutRecord("entry", source, 0));
  ASSERT_TRUE(cache_.PutRecord("entry", source, kStamp));
  EXPECT_FALSE(source.exists());
  EXPECT_TRUE(HasBothTimes(root_ / "entry", kStamp));
  AbstractFileCache::CacheRecord record = cache_.FindRecord("entry");
  EXPECT_EQ(record.path, root_ / "entry");
  EXPECT_EQ(record.timestamp, kStamp);
  ASSERT_NE(record.readLock, nullptr);

  const ioPath next = MakeSource(dir_.path(), "next", "next");
  EXPECT_FALSE(cache_.PutRecord("entry", next, kStamp)) << "held: not replaced";
  EXPECT_TRUE(cache_.RemoveRecord(record)) << "held: not removed";
  EXPECT_EQ(ReadFile(record.path), "contents");
  EXPECT_FALSE(cache_.PutRecord("entry", root_ / "entry", kStamp)) << "its own cached file is refused";
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

TEST_F(FlatFileCacheTest, MoveEmptiesTheSourceRoot) {
  ASSERT_TRUE(cache_.PutRecord("k", MakeSource(dir_.path(), "s", "x"), kStamp));
  FlatFileCache moved(std::move(cache_));
  EXPECT_TRUE(cache_.FindRecord("k").path.empty());  // NOLINT(bugprone-use-after-move)
  FlatFileCache assigned(dir_ / "other");
  assigned = std::move(moved);
  EXPECT_TRUE(moved.FindRecord("k").path.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(assigned.FindRecord("k").path.empty());
}

}  // namespace
}  // namespace Tarnix::Core
