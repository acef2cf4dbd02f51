// ioPath members that touch the disk: which ones report failure in their
// result and which ones throw, on missing, looping and forbidden paths.
#include "Filesystem/ioPath.h"

#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace Tarnix {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::TempDirTest;
using support::WriteFile;

using ioPathOperations = TempDirTest;

// A missing path is no error for the type tests; a failing status query (a
// symbolic-link loop fails for root too) throws from them. The reporting
// members turn both into 0 or false. A path with a NUL byte, which the system
// would see as the test directory itself, fails like an unreachable one.
TEST_F(ioPathOperations, MissingAndUnreachablePaths) {
  const ioPath cutShort = dir_.path() + ioPath(std::string(1, '\0'));
  std::vector<ioPath> paths = {dir_ / "missing", cutShort};
#ifndef _WIN32
  const ioPath loop = dir_ / "loop";
  ASSERT_EQ(::symlink("loop", loop.platformString().c_str()), 0);
  paths.insert(paths.end(), {loop, loop / "file"});
  EXPECT_TRUE(loop.is_symlink()) << "the link itself can be examined";
#endif
  using TypeTest = bool (ioPath::*)() const;
  const TypeTest typeTests[] = {&ioPath::exists, &ioPath::is_directory, &ioPath::is_regular_file, &ioPath::is_other};
  for (const ioPath& p : paths) {
    SCOPED_TRACE(p.utf8string());
    const bool statusFails = p != dir_ / "missing";
    for (const TypeTest test : typeTests) {
      if (statusFails) {
        EXPECT_THROW((p.*test)(), filesystem_error);
      } else {
        EXPECT_FALSE((p.*test)());
      }
    }
    EXPECT_EQ(p.file_size(), 0u);
    EXPECT_EQ(p.last_write_time(), 0);
    EXPECT_FALSE(ioPath::create_directory(p / "x"));
    EXPECT_FALSE((p / "x").rename(dir_ / "elsewhere"));
    EXPECT_FALSE((p / "x").copy_file(dir_ / "copy"));
    EXPECT_THROW(p.canonical_path(), filesystem_error);
    EXPECT_THROW(p.iterator(), filesystem_error);
  }
  EXPECT_FALSE((dir_ / "missing").remove());
  EXPECT_EQ((dir_ / "missing").remove_all(), 0u);
  EXPECT_THROW(cutShort.remove_all(), filesystem_error);
  EXPECT_TRUE(dir_.path().is_directory());
}

TEST_F(ioPathOperations, CreateRemoveCopyAndRenameWithinOneFileSystem) {
  EXPECT_TRUE(ioPath::create_directory(dir_.path())) << "an existing directory is success";
  EXPECT_FALSE(ioPath::create_directory(dir_ / "tree/sub")) << "missing parent";
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "x");
  WriteFile(dir_ / "tree/g", "y");
  EXPECT_THROW((dir_ / "tree").remove(), filesystem_error) << "a non-empty directory";
  EXPECT_EQ(ioPath::remove_all(dir_ / "tree"), 4u) << "two files, two directories";
  EXPECT_FALSE((dir_ / "tree").exists());

  WriteFile(dir_ / "from", "new");
  WriteFile(dir_ / "to", "old and longer");
  EXPECT_TRUE((dir_ / "from").copy_file(dir_ / "to"));
  EXPECT_EQ(support::ReadFile(dir_ / "to"), "new");
  EXPECT_TRUE(ioPath::rename(dir_ / "from", dir_ / "renamed"));
  EXPECT_FALSE((dir_ / "from").exists());
  EXPECT_TRUE(ioPath::remove(dir_ / "renamed"));
}

TEST_F(ioPathOperations, RenameTreeAcrossFileSystemsCopiesAndRemovesTheSource) {
  const auto shm = support::TempDirOnOtherFileSystem(dir_.path());
  if (!shm) GTEST_SKIP() << "no second file system here: no cross-device rename";
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "deep");
  WriteFile(dir_ / "tree/g", "top");
  const ioPath target = *shm / "tree";
  EXPECT_TRUE((dir_ / "tree").rename(target));
  EXPECT_FALSE((dir_ / "tree").exists());
  EXPECT_EQ(support::ReadFile(target / "sub/f"), "deep");
  EXPECT_EQ(support::ReadFile(target / "g"), "top");

  // A single file goes the same way.
  WriteFile(dir_ / "single", "one");
  EXPECT_TRUE(ioPath::rename(dir_ / "single", *shm / "single"));
  EXPECT_FALSE((dir_ / "single").exists());
  EXPECT_EQ(support::ReadFile(*shm / "single"), "one");
}

}  // namespace
}  // namespace Tarnix
