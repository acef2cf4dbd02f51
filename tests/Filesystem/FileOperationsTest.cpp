// FileExists, RemoveFile, RemoveDir and CopyDir: what they remove or copy,
// which failures become false and which reach the caller.
#include "Filesystem/FileOperations.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace Tarnix::Core {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::ReadFile;
using support::TempDirTest;
using support::WriteFile;

constexpr long long kDay = 24 * 60 * 60;

class FileOperations : public TempDirTest {
 protected:
  // A symbolic-link loop: its status query fails for every user, root included.
  ioPath MakeLoop() {
    const ioPath loop = dir_ / "loop";
    EXPECT_EQ(::symlink("loop", loop.platformString().c_str()), 0);
    return loop;
  }
};

TEST_F(FileOperations, FileExistsAndRemoveFileOnEveryKindOfPath) {
  WriteFile(dir_ / "file", "x");
  ASSERT_EQ(::symlink("missing", (dir_ / "dangling").platformString().c_str()), 0);
  EXPECT_FALSE(FileExists(dir_ / "dangling")) << "links are followed";
  const ioPath loop = MakeLoop();
  EXPECT_THROW(FileExists(loop), filesystem_error);
  ASSERT_TRUE(ioPath::create_directory(dir_ / "sub"));
  EXPECT_FALSE(RemoveFile(dir_ / "sub"));
  EXPECT_TRUE(FileExists(dir_ / "sub"));
  EXPECT_FALSE(RemoveFile(dir_ / "missing"));
  EXPECT_TRUE(RemoveFile(ioPath(dir_.path().utf8string() + "//file")));
  EXPECT_FALSE(FileExists(dir_ / "file"));
  EXPECT_THROW(RemoveFile(loop), filesystem_error) << "the type test is not guarded";
}

TEST_F(FileOperations, RemoveFileLeavesAReadLockedFile) {
  const ioPath file = dir_ / "locked";
  WriteFile(file, "in use");
  support::Baton locked;
  support::Baton release;
  const int child = support::Fork([&] {
    const int fd = ::open(file.platformString().c_str(), O_RDONLY);
    if (fd < 0 || ::flock(fd, LOCK_SH) != 0) return 2;
    locked.Signal();
    return release.Wait() ? 0 : 3;  // the lock goes with the process
  });
  ASSERT_TRUE(locked.Wait());
  EXPECT_FALSE(RemoveFile(file));
  EXPECT_EQ(ReadFile(file), "in use");
  release.Signal();
  EXPECT_EQ(support::WaitForChild(child), 0);

  // Another open file description in this very process holds it just the same.
  const int fd = ::open(file.platformString().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  EXPECT_FALSE(RemoveFile(file));
  ::close(fd);
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
  EXPECT_THROW(RemoveDir(MakeLoop()), filesystem_error);
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

  // A link whose target is gone is dated by itself and goes like any entry, wherever the listing meets it.
  ASSERT_TRUE(ioPath::create_directory(directory));
  for (int i = 0; i < 20; ++i) WriteFile(directory / std::to_string(i), "x");
  ASSERT_EQ(::symlink("missing", (directory / "dangling").platformString().c_str()), 0);
  EXPECT_TRUE(RemoveDir(directory, 0, true));
  EXPECT_FALSE(FileExists(directory));

  ASSERT_TRUE(ioPath::create_directory(directory));
  ASSERT_EQ(::symlink("loop", (directory / "loop").platformString().c_str()), 0);
  EXPECT_FALSE(RemoveDir(directory, 0, true)) << "the loop's time cannot be read";
  EXPECT_TRUE(FileExists(directory));
}

TEST_F(FileOperations, CopyDirCopiesTreesOverwritesAndKeepsOthers) {
  const ioPath source = dir_ / "src";
  ASSERT_TRUE(ioPath::create_directories(source / "sub/deeper"));
  WriteFile(source / "top", "new top");
  WriteFile(source / "sub/deeper/f", "deep");
  ASSERT_EQ(::symlink("sub", (source / "dirlink").platformString().c_str()), 0);
  ASSERT_EQ(::symlink("top", (source / "filelink").platformString().c_str()), 0);
  ASSERT_EQ(::symlink("missing", (source / "dangling").platformString().c_str()), 0);

  const ioPath destination = dir_ / "dst";
  ASSERT_TRUE(ioPath::create_directory(destination));
  WriteFile(destination / "top", "old top, longer");
  WriteFile(destination / "unrelated", "stays");

  EXPECT_TRUE(CopyDir(source, destination));
  EXPECT_EQ(ReadFile(destination / "top"), "new top");
  EXPECT_EQ(ReadFile(destination / "unrelated"), "stays");
  EXPECT_EQ(ReadFile(destination / "sub/deeper/f"), "deep");
  EXPECT_FALSE((destination / "dirlink").is_symlink()) << "links are copied as what they point to";
  EXPECT_EQ(ReadFile(destination / "dirlink/deeper/f"), "deep");
  EXPECT_FALSE((destination / "filelink").is_symlink());
  EXPECT_EQ(ReadFile(destination / "filelink"), "new top");
  EXPECT_FALSE(FileExists(destination / "dangling"));
}

// Links already in the destination, to a file or to a directory, are replaced, never written through.
TEST_F(FileOperations, CopyDirReplacesLinksInTheDestination) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "src/d"));
  WriteFile(dir_ / "src/f", "new f");
  WriteFile(dir_ / "src/d/g", "new g");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "dst"));
  ASSERT_TRUE(ioPath::create_directories(dir_ / "victim"));
  WriteFile(dir_ / "victim/f", "precious");
  ASSERT_EQ(::symlink("../victim/f", (dir_ / "dst/f").platformString().c_str()), 0);
  ASSERT_EQ(::symlink("../victim", (dir_ / "dst/d").platformString().c_str()), 0);
  EXPECT_TRUE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(ReadFile(dir_ / "victim/f"), "precious");
  EXPECT_FALSE(FileExists(dir_ / "victim/g"));
  EXPECT_FALSE((dir_ / "dst/f").is_symlink() || (dir_ / "dst/d").is_symlink());
  EXPECT_EQ(ReadFile(dir_ / "dst/f"), "new f");
  EXPECT_EQ(ReadFile(dir_ / "dst/d/g"), "new g");
}

TEST_F(FileOperations, CopyDirFailsWithoutTouchingAnythingWhenTheParentIsMissing) {
  ASSERT_TRUE(ioPath::create_directory(dir_ / "src"));
  WriteFile(dir_ / "src/f", "x");
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "missing/dst"));
  EXPECT_FALSE(FileExists(dir_ / "missing"));
  EXPECT_FALSE(CopyDir(dir_ / "src/f", dir_ / "dst")) << "the source must be a directory";
  EXPECT_FALSE(CopyDir(dir_ / "nothing", dir_ / "dst"));
  EXPECT_FALSE(FileExists(dir_ / "dst"));
  EXPECT_THROW(CopyDir(MakeLoop(), dir_ / "dst"), filesystem_error);
}

TEST_F(FileOperations, CopyDirSkipsAnUnreadableFile) {
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
