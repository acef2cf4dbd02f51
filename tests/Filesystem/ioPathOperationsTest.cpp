// ioPath members that touch the disk: which ones report failure in their
// result and which ones throw, on missing, looping and forbidden paths.
#include "Filesystem/ioPath.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace Tarnix {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::TempDirTest;
using support::WriteFile;

class ioPathOperations : public TempDirTest {};

TEST_F(ioPathOperations, MissingPathIsFalseOrZeroForTestsAndReportingMembers) {
  const ioPath missing = dir_ / "missing";
  EXPECT_FALSE(missing.exists());
  EXPECT_FALSE(missing.is_directory());
  EXPECT_FALSE(missing.is_regular_file());
  EXPECT_FALSE(missing.is_other());
  EXPECT_FALSE(missing.is_symlink());
  EXPECT_EQ(missing.file_size(), 0u);
  EXPECT_EQ(missing.last_write_time(), 0);
  EXPECT_FALSE(missing.remove());
  EXPECT_EQ(missing.remove_all(), 0u);
  EXPECT_FALSE(missing.rename(dir_ / "elsewhere"));
  EXPECT_FALSE(missing.copy_file(dir_ / "copy"));
  EXPECT_THROW(missing.canonical_path(), filesystem_error);
  EXPECT_THROW(missing.iterator(), filesystem_error);
}

// A failing status query must throw from the tests and be swallowed by the
// reporting members. A symbolic-link loop fails for root too.
TEST_F(ioPathOperations, FailingStatusQueryThrowsFromTestsOnly) {
  const ioPath loop = dir_ / "loop";
  ASSERT_EQ(::symlink("loop", loop.platformString().c_str()), 0);
  const ioPath behindLoop = loop / "file";
  for (const ioPath& p : {loop, behindLoop}) {
    SCOPED_TRACE(p.utf8string());
    EXPECT_THROW(p.exists(), filesystem_error);
    EXPECT_THROW(p.is_directory(), filesystem_error);
    EXPECT_THROW(p.is_regular_file(), filesystem_error);
    EXPECT_THROW(p.is_other(), filesystem_error);
    EXPECT_EQ(p.file_size(), 0u);
    EXPECT_EQ(p.last_write_time(), 0);
    EXPECT_FALSE(ioPath::create_directory(behindLoop));
    EXPECT_FALSE(ioPath::create_directories(behindLoop / "x"));
  }
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

TEST_F(ioPathOperations, TypesSizesAndTimes) {
  const ioPath file = dir_ / "file";
  WriteFile(file, "hello");
  support::SetFileTime(file, 1'000'000'000);
  EXPECT_TRUE(file.is_regular_file());
  EXPECT_EQ(file.file_size(), 5u);
  EXPECT_EQ(ioPath::last_write_time(file), 1'000'000'000);
  EXPECT_EQ(dir_.path().file_size(), 0u) << "a directory has no size";
  EXPECT_TRUE(dir_.path().is_directory());

  const ioPath fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.platformString().c_str(), 0600), 0);
  EXPECT_TRUE(fifo.is_other());
  EXPECT_FALSE(file.is_other());

  const ioPath link = dir_ / "link";
  ASSERT_EQ(::symlink("file", link.platformString().c_str()), 0);
  EXPECT_TRUE(link.is_symlink());
  EXPECT_TRUE(link.is_regular_file()) << "the type tests follow links";
  EXPECT_FALSE(file.is_symlink());
}

TEST_F(ioPathOperations, CreateDirectoryReportsInsteadOfThrowing) {
  EXPECT_TRUE(ioPath::create_directory(dir_.path())) << "an existing directory is success";
  EXPECT_FALSE(ioPath::create_directory(dir_ / "a/b")) << "missing parent";
  EXPECT_TRUE(ioPath::create_directories(dir_ / "a/b"));
  EXPECT_TRUE((dir_ / "a/b").is_directory());
  WriteFile(dir_ / "file", "");
  EXPECT_FALSE(ioPath::create_directory(dir_ / "file")) << "a file in the way";
}

TEST_F(ioPathOperations, RemoveAndRemoveAll) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "x");
  WriteFile(dir_ / "tree/g", "y");
  EXPECT_THROW((dir_ / "tree").remove(), filesystem_error) << "a non-empty directory";
  EXPECT_EQ(ioPath::remove_all(dir_ / "tree"), 4u) << "two files, two directories";
  EXPECT_FALSE((dir_ / "tree").exists());
  WriteFile(dir_ / "file", "");
  EXPECT_TRUE(ioPath::remove(dir_ / "file"));
}

TEST_F(ioPathOperations, CopyFileOverwrites) {
  WriteFile(dir_ / "from", "new");
  WriteFile(dir_ / "to", "old and longer");
  EXPECT_TRUE((dir_ / "from").copy_file(dir_ / "to"));
  EXPECT_EQ(support::ReadFile(dir_ / "to"), "new");
}

TEST_F(ioPathOperations, RenameWithinOneFileSystem) {
  WriteFile(dir_ / "from", "x");
  EXPECT_TRUE(ioPath::rename(dir_ / "from", dir_ / "to"));
  EXPECT_FALSE((dir_ / "from").exists());
  EXPECT_EQ(support::ReadFile(dir_ / "to"), "x");
}

TEST_F(ioPathOperations, RenameTreeAcrossFileSystemsCopiesAndRemovesTheSource) {
  support::TempDir shm("/dev/shm");
  if (!support::OnDifferentFileSystems(dir_.path(), shm.path())) {
    GTEST_SKIP() << "the temp directory and /dev/shm are one file system here: no cross-device rename to test";
  }
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "deep");
  WriteFile(dir_ / "tree/g", "top");
  const ioPath target = shm / "tree";
  EXPECT_TRUE((dir_ / "tree").rename(target));
  EXPECT_FALSE((dir_ / "tree").exists());
  EXPECT_EQ(support::ReadFile(target / "sub/f"), "deep");
  EXPECT_EQ(support::ReadFile(target / "g"), "top");

  // A single file goes the same way.
  WriteFile(dir_ / "single", "one");
  EXPECT_TRUE(ioPath::rename(dir_ / "single", shm / "single"));
  EXPECT_FALSE((dir_ / "single").exists());
  EXPECT_EQ(support::ReadFile(shm / "single"), "one");
}

TEST_F(ioPathOperations, RenameAcrossFileSystemsUndoesTheCopyWhenTheSourceStays) {
  support::TempDir shm("/dev/shm");
  if (!support::OnDifferentFileSystems(dir_.path(), shm.path())) {
    GTEST_SKIP() << "the temp directory and /dev/shm are one file system here: no cross-device rename to test";
  }
  // The source's directory is read-only for an unprivileged user: the copy
  // succeeds, its removal fails, and the copy must disappear again.
  const ioPath sourceDir = dir_ / "ro";
  ASSERT_TRUE(ioPath::create_directory(sourceDir));
  WriteFile(sourceDir / "file", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(sourceDir.platformString().c_str(), 0555), 0);
  ASSERT_EQ(::chmod((sourceDir / "file").platformString().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(shm.path().platformString().c_str(), 0777), 0);
  const ioPath target = shm / "file";
  EXPECT_EQ(support::RunUnprivileged([&] { return ioPath::rename(sourceDir / "file", target) ? 1 : 0; }), 0);
  EXPECT_TRUE((sourceDir / "file").exists());
  EXPECT_FALSE(target.exists());
}

TEST_F(ioPathOperations, AbsoluteRelativeCanonicalAndIteration) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "a/b"));
  WriteFile(dir_ / "a/b/f", "");
  ASSERT_EQ(::symlink("a/b", (dir_ / "link").platformString().c_str()), 0);
  EXPECT_EQ((dir_ / "link/../b/./f").canonical_path(), (dir_ / "a/b/f").canonical_path());
  EXPECT_EQ((dir_ / "a/b/f").relative(dir_ / "a").utf8string(), "b/f");
  EXPECT_EQ(ioPath("rel").absolute_path(), ioPath::current_path() / "rel");
  EXPECT_EQ(ioPath::absolute(ioPath("/abs")).utf8string(), "/abs");
  EXPECT_TRUE(ioPath::temp_directory_path().is_directory());

  int direct = 0;
  for (auto it = dir_.path().iterator(); it != boost::filesystem::directory_iterator(); ++it) ++direct;
  EXPECT_EQ(direct, 2);  // a, link
  int all = 0;
  for (auto it = dir_.path().recursive_iterator(); it != boost::filesystem::recursive_directory_iterator(); ++it) {
    ++all;
  }
  EXPECT_EQ(all, 4) << "a, a/b, a/b/f and the link, which is not followed";
}

}  // namespace
}  // namespace Tarnix
