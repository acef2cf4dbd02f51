// Windows: the shell's recycle bin takes either separator, SetFileAttributesW
// sets exactly the translated bits, and the cache root is the local
// application-data known folder.
#include "Filesystem/ShellOperations.h"

#include "support/TempDir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace Tarnix::Core {
namespace {
using namespace ::Tarnix::Test;
using WindowsShellOperationsTest = TempDirTest;

TEST_F(WindowsShellOperationsTest, TrashTakesAPathWrittenWithForwardSlashes) {
  WriteFile(dir_ / "file", "x");
  std::wstring slashed = (dir_ / "file").wstring();
  std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
  EXPECT_TRUE(MoveToTrash(ioPath(slashed)));
  EXPECT_FALSE((dir_ / "file").exists());
}

// Read-only, hidden and system are what every Windows file system keeps, and
// the set replaces what was there. (Wine also keeps archive, but sets it on
// every file, asked or not.)
TEST_F(WindowsShellOperationsTest, AttributesAreSetToExactlyTheTranslatedSet) {
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
    if (expected & FILE_ATTRIBUTE_ARCHIVE) {
      EXPECT_TRUE(actual & FILE_ATTRIBUTE_ARCHIVE);
    }
  }
}

TEST(WindowsSystemCacheRoot, IsTheLocalApplicationDataFolder) {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr) GTEST_SKIP() << "LOCALAPPDATA is not set to compare with";
  EXPECT_EQ(GetSystemCacheRoot(), ioPath(std::wstring(local)));
}

}  // namespace
}  // namespace Tarnix::Core
