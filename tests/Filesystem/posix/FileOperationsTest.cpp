// Linux: symbolic links (followed, dangling, looping, planted in a
// destination) and a file only root could read.
#include "Filesystem/FileOperations.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace Tarnix::Core {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::ReadFile;
using support::WriteFile;

class LinkedFileOperations : public support::TempDirTest {
 protected:
  void Link(const char* target, const ioPath& at) { ASSERT_EQ(::symlink(target, at.platformString().c_str()), 0) << at; }
};

// A loop's status query fails for every user, root included: the unguarded
// tests let that through; a dangling link is followed to nothing.
TEST_F(LinkedFileOperations, LoopsThrowFromTheUnguardedTests) {
  Link("loop", dir_ / "loop");
  Link("missing", dir_ / "dangling");
  EXPECT_FALSE(FileExists(dir_ / "dangling")) << "links are followed";
  EXPECT_THROW(FileExists(dir_ / "loop"), filesystem_error);
  EXPECT_THROW(RemoveFile(dir_ / "loop"), filesystem_error);
  EXPECT_THROW(RemoveDir(dir_ / "loop"), filesystem_error);
  EXPECT_THROW(CopyDir(dir_ / "loop", dir_ / "dst"), filesystem_error);
}

TEST_F(LinkedFileOperations, RemoveDirByAgeDatesADanglingLinkByItself) {
  const ioPath directory = dir_ / "old";
  // A link whose target is gone is dated by itself and goes like any entry, wherever the listing meets it.
  ASSERT_TRUE(ioPath::create_directory(directory));
  for (int i = 0; i < 20; ++i) WriteFile(directory / std::to_string(i), "x");
  Link("missing", directory / "dangling");
  EXPECT_TRUE(RemoveDir(directory, 0, true));
  EXPECT_FALSE(FileExists(directory));

  ASSERT_TRUE(ioPath::create_directory(directory));
  Link("loop", directory / "loop");
  EXPECT_FALSE(RemoveDir(directory, 0, true)) << "the loop's time cannot be read";
  EXPECT_TRUE(FileExists(directory));
}

TEST_F(LinkedFileOperations, CopyDirCopiesLinksAsWhatTheyPointTo) {
  const ioPath source = dir_ / "src";
  ASSERT_TRUE(ioPath::create_directories(source / "sub"));
  WriteFile(source / "top", "top");
  WriteFile(source / "sub/f", "deep");
  Link("sub", source / "dirlink");
  Link("top", source / "filelink");
  Link("missing", source / "dangling");
  EXPECT_TRUE(CopyDir(source, dir_ / "dst"));
  EXPECT_FALSE((dir_ / "dst/dirlink").is_symlink() || (dir_ / "dst/filelink").is_symlink());
  EXPECT_EQ(ReadFile(dir_ / "dst/dirlink/f"), "deep");
  EXPECT_EQ(ReadFile(dir_ / "dst/filelink"), "top");
  EXPECT_FALSE(FileExists(dir_ / "dst/dangling"));
}

// Links already in the destination, to a file or to a directory, are replaced, never written through.
TEST_F(LinkedFileOperations, CopyDirReplacesLinksInTheDestination) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "src/d"));
  WriteFile(dir_ / "src/f", "new f");
  WriteFile(dir_ / "src/d/g", "new g");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "dst"));
  ASSERT_TRUE(ioPath::create_directories(dir_ / "victim"));
  WriteFile(dir_ / "victim/f", "precious");
  Link("../victim/f", dir_ / "dst/f");
  Link("../victim", dir_ / "dst/d");
  EXPECT_TRUE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(ReadFile(dir_ / "victim/f"), "precious");
  EXPECT_FALSE(FileExists(dir_ / "victim/g"));
  EXPECT_FALSE((dir_ / "dst/f").is_symlink() || (dir_ / "dst/d").is_symlink());
  EXPECT_EQ(ReadFile(dir_ / "dst/f"), "new f");
  EXPECT_EQ(ReadFile(dir_ / "dst/d/g"), "new g");
}

TEST_F(LinkedFileOperations, CopyDirSkipsAnUnreadableFile) {
  const ioPath source = dir_ / "src";
  ASSERT_TRUE(ioPath::create_directories(source / "sub"));
  WriteFile(source / "a", "a");
  WriteFile(source / "secret", "s");
  WriteFile(source / "sub/b", "b");
  ASSERT_EQ(::chmod((source / "secret").platformString().c_str(), 0), 0);
  // Root reads anything; run the copy as an unprivileged user who owns the rest.
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0777), 0);
  for (const char* p : {"src", "src/a", "src/sub", "src/sub/b"}) {
    ASSERT_EQ(::chown((dir_ / p).platformString().c_str(), 65534, 65534), 0);
  }
  const ioPath destination = dir_ / "dst";
  EXPECT_EQ(support::RunUnprivileged([&] { return CopyDir(source, destination) ? 0 : 1; }), 0);
  EXPECT_EQ(ReadFile(destination / "a"), "a");
  EXPECT_EQ(ReadFile(destination / "sub/b"), "b");
  EXPECT_FALSE(FileExists(destination / "secret"));
}

}  // namespace
}  // namespace Tarnix::Core
