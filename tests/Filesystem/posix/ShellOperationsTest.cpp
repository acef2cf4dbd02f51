// Linux: the freedesktop.org trash through GIO, write permission bits for
// ReadOnly, and the XDG rules for the cache root.
#include "Filesystem/ShellOperations.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

namespace Tarnix::Core {
namespace {
using namespace ::Tarnix::Test;
using LinuxShellOperationsTest = TempDirTest;

TEST_F(LinuxShellOperationsTest, TrashKeepsTheOriginalPathOrLogsWhyNot) {
  const LogCapture log;
  const ioPath trash = std::string(std::getenv("XDG_DATA_HOME")) + "/Trash";  // set by main
  const std::pair<std::string, std::string> rows[] = {  // the path as written after dir_, the file in it
      {"/file", "file"}, {"/tree", "tree/sub/leaf"}, {"//doubled", "doubled"}, {"/trailing/", "trailing/sub/leaf"}};
  for (const auto& [written, content] : rows) {
    SCOPED_TRACE(written);
    const std::string name = content.substr(0, content.find('/'));
    ASSERT_TRUE(ioPath::create_directories((dir_ / content).parent_path()));
    WriteFile(dir_ / content, name);
    EXPECT_TRUE(MoveToTrash(dir_.path().platformString() + written));
    EXPECT_EQ(ReadFile(trash / "files" / content), name);
    const std::string info = ReadFile(trash / "info" / (name + ".trashinfo"));
    EXPECT_NE(info.find("\nPath=" + (dir_ / name).platformString() + "\n"), std::string::npos) << info;
  }
  // GIO refuses the trash on system-internal mounts such as /dev/shm (G_IO_ERROR_NOT_SUPPORTED, 15).
  const TempDir onShm("/dev/shm");
  if (!OnDifferentFileSystems(onShm.path(), dir_.path())) GTEST_SKIP() << "needs /dev/shm on its own file system";
  WriteFile(onShm / "file", "x");
  EXPECT_FALSE(MoveToTrash(onShm / "file"));
  EXPECT_TRUE((onShm / "file").exists());
  ASSERT_EQ(log.records().size(), 1u);
  const LogRecord record = log.records()[0];
  EXPECT_EQ(std::tie(record.severity, record.file, record.text),
            std::make_tuple(google::GLOG_ERROR, "MoveToTrash.cpp", "Moving to trash failed with code:15"));
}

// Root ignores the permission bits, so the effect is checked on the bits.
TEST_F(LinuxShellOperationsTest, OnlyReadOnlyReachesTheMode) {
  const ioPath path = dir_ / "file";
  WriteFile(path, "x");
  for (const std::uint32_t bits : {0x00u, 0x01u, 0x02u, 0x08u, 0x7Fu, 0x80u}) {
    SCOPED_TRACE(bits);
    ASSERT_EQ(::chmod(path.platformString().c_str(), 0462), 0);  // group and others may write, the owner not
    EXPECT_TRUE(SetPathAttribute(path, static_cast<PathAttribute>(bits)));
    struct stat status {};
    ASSERT_EQ(::stat(path.platformString().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, bits & 0x01 ? 0440u : 0662u);  // ReadOnly clears every write bit
  }
}

TEST(LinuxSystemCacheRoot, FollowsTheXdgRules) {
  const passwd* user = ::getpwuid(::geteuid());
  const std::string fromDatabase = user && user->pw_dir[0] == '/' ? std::string(user->pw_dir) + "/.cache" : "";
  const std::tuple<const char*, const char*, std::string> rows[] = {  // XDG_CACHE_HOME ("c" is relative), HOME, root
      {"/c", "/h", "/c"}, {"c", "/h", "/h/.cache"}, {nullptr, "/h", "/h/.cache"}, {nullptr, nullptr, fromDatabase}};
  for (const auto& [cacheHome, home, expected] : rows) {
    SCOPED_TRACE(expected);
    cacheHome ? ::setenv("XDG_CACHE_HOME", cacheHome, 1) : ::unsetenv("XDG_CACHE_HOME");
    home ? ::setenv("HOME", home, 1) : ::unsetenv("HOME");
    EXPECT_EQ(GetSystemCacheRoot().platformString(), expected);
  }
}

}  // namespace
}  // namespace Tarnix::Core

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // HOME and XDG_DATA_HOME point at a fresh directory on the tests' own file system before GIO reads them
  // (once per process): GIO uses this home's trash, and nothing ever reaches the real user's.
  const Tarnix::Test::TempDir home;
  ::setenv("HOME", home.path().platformString().c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home / ".local/share").platformString().c_str(), 1);
  return RUN_ALL_TESTS();
}
