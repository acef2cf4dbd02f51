// main() points HOME and XDG_DATA_HOME at a fresh directory before anything
// can ask GIO where the trash is (it reads them once per process), so nothing
// ever reaches the real user's trash.
#include "Filesystem/ShellOperations.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace Tarnix::Core {
namespace {

ioPath g_trash;  // $XDG_DATA_HOME/Trash, set by main

class MoveToTrashTest : public ::Tarnix::Test::TempDirTest {
 protected:
  ::Tarnix::Test::LogCapture log_;
};

TEST_F(MoveToTrashTest, FilesAndTreesGoToTheTrashUnderTheirOriginalPath) {
  const struct {
    const char* name;
    bool tree;
    const char* written;  // how the caller writes the path after dir_
  } rows[] = {{"file", false, "/file"}, {"tree", true, "/tree"}, {"doubled", false, "//doubled"},
              {"trailing", true, "/trailing/"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    const ioPath original = dir_ / row.name;
    const ioPath content = row.tree ? original / "sub" / "leaf" : original;
    ASSERT_TRUE(ioPath::create_directories(content.parent_path()));
    ::Tarnix::Test::WriteFile(content, row.name);
    EXPECT_TRUE(MoveToTrash(ioPath(dir_.path().platformString() + row.written)));
    EXPECT_FALSE(original.exists());
    const std::string trashed = (g_trash / "files" / content.relative(dir_.path())).platformString();
    EXPECT_EQ(::Tarnix::Test::ReadFile(trashed), row.name);
    const std::string info = ::Tarnix::Test::ReadFile(g_trash / "info" / (std::string(row.name) + ".trashinfo"));
    EXPECT_NE(info.find("\nPath=" + original.platformString() + "\n"), std::string::npos) << info;
  }
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(MoveToTrashTest, MissingPathIsFalseWithoutRecord) {
  EXPECT_FALSE(MoveToTrash(dir_ / "missing"));
  EXPECT_TRUE(log_.records().empty());
}

// GIO refuses the trash on system-internal mounts such as /dev/shm.
TEST_F(MoveToTrashTest, RefusedTrashLogsTheCodeOnce) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir_.path().platformString().c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "needs /dev/shm as a file system of its own";
  }
  ::Tarnix::Test::TempDir onShm("/dev/shm");
  ::Tarnix::Test::WriteFile(onShm / "file", "x");
  EXPECT_FALSE(MoveToTrash(onShm / "file"));
  EXPECT_TRUE((onShm / "file").exists());
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, google::GLOG_ERROR);
  EXPECT_EQ(records[0].file, "MoveToTrash.cpp");
  EXPECT_EQ(records[0].text, "Moving to trash failed with code:15");  // G_IO_ERROR_NOT_SUPPORTED
}

}  // namespace
}  // namespace Tarnix::Core

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Tarnix::Test::TempDir home;  // on the tests' own file system, so GIO uses this home's trash
  const Tarnix::ioPath dataHome = home / ".local" / "share";
  Tarnix::Core::g_trash = dataHome / "Trash";
  ::setenv("HOME", home.path().platformString().c_str(), 1);
  ::setenv("XDG_DATA_HOME", dataHome.platformString().c_str(), 1);
  return RUN_ALL_TESTS();
}
