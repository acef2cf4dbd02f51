// ioPath members that touch the disk: which ones report failure in their
// result and which ones throw, on missing, looping and forbidden paths; a
// rename across file systems, and its undo when the source cannot go.
#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/ioPath.h"

#include "support/Test.h"

namespace Tarnix {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)
using boost::filesystem::filesystem_error;
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
    for (const TypeTest test : typeTests) {
      if (p == dir_ / "missing") {
        EXPECT_FALSE((p.*test)());
      } else {
        EXPECT_THROW((p.*test)(), filesystem_error);
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
  EXPECT_EQ((dir_ / "missing").remove_all(), 0u);
  EXPECT_THROW(cutShort.remove_all(), filesystem_error);
  EXPECT_TRUE(ioPath::create_directory(dir_.path())) << "an existing directory is success";
}

TEST_F(ioPathOperations, RenameTreeAcrossFileSystemsCopiesAndRemovesTheSource) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system here: no cross-device rename";
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "deep");
  WriteFile(dir_ / "tree/g", "top");
  EXPECT_TRUE((dir_ / "tree").rename(*other / "tree"));
  EXPECT_FALSE((dir_ / "tree").exists());
  EXPECT_EQ(ReadFile(*other / "tree/sub/f"), "deep");
  EXPECT_EQ(ReadFile(*other / "tree/g"), "top");
}

#ifndef _WIN32
// --- Linux only: what permissions do, as an unprivileged user -----------------
TEST_F(ioPathOperations, AccessDeniedThrowsFromTestsAndReportsFromOthers) {
  const ioPath closed = dir_ / "closed", file = closed / "file";
  ASSERT_TRUE(ioPath::create_directory(closed));
  WriteFile(file, "12345");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(closed.platformString().c_str(), 0), 0);
  EXPECT_EQ(RunUnprivileged([&] {
              try {
                file.exists();
                return 1;
              } catch (const filesystem_error&) {
              }
              return file.file_size() == 0 && file.last_write_time() == 0 &&
                             !ioPath::create_directory(closed / "sub") && !file.copy_file(dir_ / "copy") ? 0 : 2;
            }), 0);
}

// The source's directory is read-only for an unprivileged user: the copy
// succeeds, its removal fails, and the copy must disappear again.
TEST_F(ioPathOperations, RenameAcrossFileSystemsUndoesTheCopyWhenTheSourceStays) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system here: no cross-device rename";
  const ioPath sourceDir = dir_ / "ro";
  ASSERT_TRUE(ioPath::create_directory(sourceDir));
  WriteFile(sourceDir / "file", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(sourceDir.platformString().c_str(), 0555), 0);
  ASSERT_EQ(::chmod((sourceDir / "file").platformString().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(other->path().platformString().c_str(), 0777), 0);
  EXPECT_EQ(RunUnprivileged([&] { return ioPath::rename(sourceDir / "file", *other / "file") ? 1 : 0; }), 0);
  EXPECT_TRUE((sourceDir / "file").exists());
  EXPECT_FALSE((*other / "file").exists());
}
#else
// --- Windows only: a file held open without delete sharing cannot be removed --
TEST_F(ioPathOperations, RenameAcrossVolumesUndoesTheCopyWhenTheSourceIsHeld) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second volume here: no cross-volume rename";
  WriteFile(dir_ / "file", "x");
  const auto lock = Core::ICacheReadLock::CreateInstance(dir_ / "file");
  EXPECT_FALSE(ioPath::rename(dir_ / "file", *other / "file"));
  EXPECT_TRUE((dir_ / "file").exists());
  EXPECT_FALSE((*other / "file").exists());
}
#endif

}  // namespace
}  // namespace Tarnix
