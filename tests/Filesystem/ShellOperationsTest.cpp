// The recycle bin, attribute bits and the cache root. Linux: the
// freedesktop.org trash through GIO, write permission bits for ReadOnly and
// the XDG rules; Windows: the shell's recycle bin, SetFileAttributesW and the
// local application-data known folder.
#include "Filesystem/ShellOperations.h"

#include "support/Test.h"

#include <cstdlib>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#endif

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)
using ShellOperationsTest = TempDirTest;

// A path written with '/' between its elements is taken too (the Windows
// shell itself takes only '\'); a missing path is refused without a word.
TEST_F(ShellOperationsTest, MoveToTrashTakesFilesAndTreesAway) {
  const LogCapture log;
  WriteFile(dir_ / "plain", "x");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "dir/sub"));
  WriteFile(dir_ / "dir/sub/leaf", "y");
  std::string slashed = (dir_ / "plain").utf8string();
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  EXPECT_TRUE(MoveToTrash(ioPath(slashed)));
  EXPECT_TRUE(MoveToTrash(dir_ / "dir"));
  EXPECT_FALSE((dir_ / "plain").exists() || (dir_ / "dir").exists());
  EXPECT_FALSE(MoveToTrash(dir_ / "missing"));
  EXPECT_TRUE(log.records().empty());
}

#ifndef _WIN32
// --- Linux only ----------------------------------------------------------------
// The trash keeps the original path however it was written; GIO refuses the
// trash on system-internal mounts such as /dev/shm (G_IO_ERROR_NOT_SUPPORTED, 15).
TEST_F(ShellOperationsTest, TrashKeepsTheOriginalPathOrLogsWhyNot) {
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
TEST_F(ShellOperationsTest, OnlyReadOnlyReachesTheMode) {
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
  EXPECT_FALSE(SetPathAttribute(dir_ / "missing", PathAttribute::ReadOnly));
}

TEST(SystemCacheRoot, FollowsTheXdgRules) {
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
#else
// --- Windows only --------------------------------------------------------------
// Read-only, hidden and system are what every Windows file system keeps, and
// the set replaces what was there. (Wine also keeps archive, but sets it on
// every file, asked or not.)
TEST_F(ShellOperationsTest, AttributesAreSetToExactlyTheTranslatedSet) {
  const ioPath path = dir_ / "file";
  WriteFile(path, "x");
  constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::pair<PathAttribute, DWORD> rows[] = {
      {PathAttribute::ReadOnly | PathAttribute::Hidden, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
      {PathAttribute::Archive, FILE_ATTRIBUTE_ARCHIVE},
      {PathAttribute::System | PathAttribute::ReadOnly, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY},
      {PathAttribute::Normal, 0}};
  for (const auto& [attributes, expected] : rows) {
    SCOPED_TRACE(static_cast<int>(attributes));
    EXPECT_TRUE(SetPathAttribute(path, attributes));
    const DWORD actual = ::GetFileAttributesW(path.wstring().c_str());
    EXPECT_EQ(actual & kKept, expected & kKept);
    EXPECT_TRUE((actual & expected & FILE_ATTRIBUTE_ARCHIVE) == (expected & FILE_ATTRIBUTE_ARCHIVE));
  }
  EXPECT_FALSE(SetPathAttribute(dir_ / "missing", PathAttribute::ReadOnly));
}

TEST(SystemCacheRoot, IsTheLocalApplicationDataFolder) {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr) GTEST_SKIP() << "LOCALAPPDATA is not set to compare with";
  EXPECT_EQ(GetSystemCacheRoot(), ioPath(std::wstring(local)));
}
#endif

}  // namespace
}  // namespace Tarnix::Core

#ifndef _WIN32
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // HOME and XDG_DATA_HOME point at a fresh directory on the tests' own file system before GIO reads them
  // (once per process): GIO uses this home's trash, and nothing ever reaches the real user's.
  const Tarnix::Test::TempDir home;
  ::setenv("HOME", home.path().platformString().c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home / ".local/share").platformString().c_str(), 1);
  return RUN_ALL_TESTS();
}
#endif
