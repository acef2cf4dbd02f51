// ioPath members that touch the disk: which ones report failure in their
// result and which ones throw, on missing, looping and forbidden paths.
#include "Filesystem/ioPath.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace Tarnix {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::TempDirTest;
using support::WriteFile;

class ioPathOperations : public TempDirTest {
 protected:
  // A scratch directory on tmpfs, or null when it shares the test directory's file system.
  std::unique_ptr<support::TempDir> OtherFileSystem() {
    auto shm = std::make_unique<support::TempDir>("/dev/shm");
    if (!support::OnDifferentFileSystems(dir_.path(), shm->path())) shm.reset();
    return shm;
  }
};

// A missing path is no error for the type tests; a failing status query (a
// symbolic-link loop fails for root too) throws from them. The reporting
// members turn both into 0 or false. A path with a NUL byte, which the system
// would see as the test directory itself, fails like an unreachable one.
TEST_F(ioPathOperations, MissingAndUnreachablePaths) {
  const ioPath loop = dir_ / "loop";
  ASSERT_EQ(::symlink("loop", loop.platformString().c_str()), 0);
  const ioPath cutShort = dir_.path() + ioPath(std::string(1, '\0'));
  using TypeTest = bool (ioPath::*)() const;
  const TypeTest typeTests[] = {&ioPath::exists, &ioPath::is_directory, &ioPath::is_regular_file, &ioPath::is_other};
  for (const ioPath& p : {dir_ / "missing", loop, loop / "file", cutShort}) {
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
  EXPECT_TRUE(loop.is_symlink()) << "the link itself can be examined";
}

TEST_F(ioPathOperations, AccessDeniedThrowsFromTestsAndReportsFromOthers) {
  const ioPath closed = dir_ / "closed";
  ASSERT_TRUE(ioPath::create_directory(closed));
  WriteFile(closed / "file", "12345");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(closed.platformString().c_str(), 0), 0);
  const ioPath file = closed / "file";
  const int status = support::RunUnprivileged([&] {
    int failures = 0;
    try {
      file.exists();
      ++failures;
    } catch (const filesystem_error&) {
    }
    failures += file.file_size() != 0;
    failures += file.last_write_time() != 0;
    failures += ioPath::create_directory(closed / "sub");
    failures += file.copy_file(dir_ / "copy");
    return failures;
  });
  EXPECT_EQ(status, 0);
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
  const auto shm = OtherFileSystem();
  if (!shm) GTEST_SKIP() << "the temp directory and /dev/shm are one file system here: no cross-device rename";
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

TEST_F(ioPathOperations, RenameAcrossFileSystemsUndoesTheCopyWhenTheSourceStays) {
  const auto shm = OtherFileSystem();
  if (!shm) GTEST_SKIP() << "the temp directory and /dev/shm are one file system here: no cross-device rename";
  // The source's directory is read-only for an unprivileged user: the copy
  // succeeds, its removal fails, and the copy must disappear again.
  const ioPath sourceDir = dir_ / "ro";
  ASSERT_TRUE(ioPath::create_directory(sourceDir));
  WriteFile(sourceDir / "file", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(sourceDir.platformString().c_str(), 0555), 0);
  ASSERT_EQ(::chmod((sourceDir / "file").platformString().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(shm->path().platformString().c_str(), 0777), 0);
  const ioPath target = *shm / "file";
  EXPECT_EQ(support::RunUnprivileged([&] { return ioPath::rename(sourceDir / "file", target) ? 1 : 0; }), 0);
  EXPECT_TRUE((sourceDir / "file").exists());
  EXPECT_FALSE(target.exists());
}

}  // namespace
}  // namespace Tarnix
