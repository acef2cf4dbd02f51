// FileExists, RemoveFile, RemoveDir and CopyDir: what they remove or copy,
// which failures become false and which reach the caller.
#include "Filesystem/FileOperations.h"

#include "Filesystem/AbstractFileCache.h"

#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <ctime>

namespace Tarnix::Core {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::ReadFile;
using support::TempDirTest;
using support::WriteFile;

constexpr long long kDay = 24 * 60 * 60;

using FileOperations = TempDirTest;

TEST_F(FileOperations, FileExistsAndRemoveFileOnEveryKindOfPath) {
  WriteFile(dir_ / "file", "x");
  ASSERT_TRUE(ioPath::create_directory(dir_ / "sub"));
  EXPECT_FALSE(RemoveFile(dir_ / "sub"));
  EXPECT_TRUE(FileExists(dir_ / "sub"));
  EXPECT_FALSE(RemoveFile(dir_ / "missing"));
  EXPECT_TRUE(RemoveFile(ioPath(dir_.path().utf8string() + "//file")));
  EXPECT_FALSE(FileExists(dir_ / "file"));
}

// A read lock held in this process; FileCacheTest holds one in another.
TEST_F(FileOperations, RemoveFileLeavesAReadLockedFile) {
  const ioPath file = dir_ / "locked";
  WriteFile(file, "in use");
  auto lock = ICacheReadLock::CreateInstance(file);
  EXPECT_FALSE(RemoveFile(file));
  EXPECT_EQ(ReadFile(file), "in use");
  lock.reset();
  EXPECT_TRUE(RemoveFile(file)) << "removable again once the readers are gone";
}

TEST_F(FileOperations, RemoveDirRemovesWholeTrees) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/a/b"));
  WriteFile(dir_ / "tree/a/b/f", "x");
  WriteFile(dir_ / "file", "x");
  EXPECT_FALSE(RemoveDir(dir_ / "file"));
  EXPECT_TRUE(FileExists(dir_ / "file"));
  EXPECT_FALSE(RemoveDir(dir_ / "missing"));
  EXPECT_TRUE(RemoveDir(dir_ / "tree"));
  EXPECT_FALSE(FileExists(dir_ / "tree"));
}

TEST_F(FileOperations, RemoveDirByAgeKeepsYoungerAndFutureEntries) {
  struct Entry {
    const char* name;
    long long ageSeconds;  // negative: in the future
  };
  const Entry entries[] = {{"ten_days", 10 * kDay}, {"three_days", 3 * kDay}, {"one_day_23h", kDay + 23 * 3600},
                           {"fresh", 0}, {"two_days_ahead", -2 * kDay}};
  struct Row {
    int minAgeDays;
    bool removeSelf;
    std::vector<std::string> kept;
    bool result;
  };
  const Row rows[] = {
      {7, false, {"three_days", "one_day_23h", "fresh", "two_days_ahead"}, true},
      {7, true, {"three_days", "one_day_23h", "fresh", "two_days_ahead"}, true},
      {2, false, {"one_day_23h", "fresh", "two_days_ahead"}, true},
      {1, false, {"fresh", "two_days_ahead"}, true},
      {0, true, {"two_days_ahead"}, true},
      {11, false, {"ten_days", "three_days", "one_day_23h", "fresh", "two_days_ahead"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "minAgeDays " << row.minAgeDays << ", removeSelf " << row.removeSelf);
    const ioPath directory = dir_ / "aged";
    ASSERT_TRUE(ioPath::create_directory(directory));
    const long long now = std::time(nullptr);
    for (const Entry& entry : entries) {
      const ioPath path = directory / entry.name;
      if (entry.ageSeconds == 10 * kDay) {
        ASSERT_TRUE(ioPath::create_directory(path));  // a subdirectory goes with its contents
        WriteFile(path / "inside", "x");
      } else {
        WriteFile(path, "x");
      }
      support::SetFileTime(path, now - entry.ageSeconds);
    }
    EXPECT_EQ(RemoveDir(directory, row.minAgeDays, row.removeSelf), row.result);
    std::vector<std::string> kept;
    for (const Entry& entry : entries) {
      if (FileExists(directory / entry.name)) kept.push_back(entry.name);
    }
    EXPECT_EQ(kept, row.kept);
    EXPECT_TRUE(FileExists(directory)) << "a younger entry stayed";
    ASSERT_TRUE(RemoveDir(directory));
  }
}

TEST_F(FileOperations, RemoveDirByAgeRemovesItselfWhenAllEntriesWentOrNoneExisted) {
  const ioPath directory = dir_ / "old";
  ASSERT_TRUE(ioPath::create_directories(directory / "sub"));
  WriteFile(directory / "sub/f", "x");
  WriteFile(directory / "g", "x");
  support::SetFileTime(directory / "sub", std::time(nullptr) - 5 * kDay);
  support::SetFileTime(directory / "g", std::time(nullptr) - 5 * kDay);
  EXPECT_TRUE(RemoveDir(directory, 0, true));
  EXPECT_FALSE(FileExists(directory));

  ASSERT_TRUE(ioPath::create_directory(directory));
  EXPECT_FALSE(RemoveDir(directory, 3, false)) << "nothing removed";
  EXPECT_TRUE(FileExists(directory));
  EXPECT_TRUE(RemoveDir(directory, 3, true));
  EXPECT_FALSE(FileExists(directory));
  EXPECT_FALSE(RemoveDir(directory, 0, true)) << "missing";

}

TEST_F(FileOperations, CopyDirCopiesTreesOverwritesAndKeepsOthers) {
  const ioPath source = dir_ / "src";
  ASSERT_TRUE(ioPath::create_directories(source / "sub/deeper"));
  WriteFile(source / "top", "new top");
  WriteFile(source / "sub/deeper/f", "deep");

  const ioPath destination = dir_ / "dst";
  ASSERT_TRUE(ioPath::create_directory(destination));
  WriteFile(destination / "top", "old top, longer");
  WriteFile(destination / "unrelated", "stays");

  EXPECT_TRUE(CopyDir(source, destination));
  EXPECT_EQ(ReadFile(destination / "top"), "new top");
  EXPECT_EQ(ReadFile(destination / "unrelated"), "stays");
  EXPECT_EQ(ReadFile(destination / "sub/deeper/f"), "deep");
}

TEST_F(FileOperations, CopyDirFailsWithoutTouchingAnythingWhenTheParentIsMissing) {
  ASSERT_TRUE(ioPath::create_directory(dir_ / "src"));
  WriteFile(dir_ / "src/f", "x");
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "missing/dst"));
  EXPECT_FALSE(FileExists(dir_ / "missing"));
  EXPECT_FALSE(CopyDir(dir_ / "src/f", dir_ / "dst")) << "the source must be a directory";
  EXPECT_FALSE(CopyDir(dir_ / "nothing", dir_ / "dst"));
  EXPECT_FALSE(FileExists(dir_ / "dst"));
}

}  // namespace
}  // namespace Tarnix::Core
