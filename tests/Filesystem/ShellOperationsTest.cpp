// The recycle bin, attribute bits and the cache root, as far as they behave
// alike everywhere; posix/ and win/ hold what each platform does beyond that.
#include "Filesystem/ShellOperations.h"
#include "Filesystem/internal/PathAttribute.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace Tarnix::Core {
namespace {
using namespace ::Tarnix::Test;
using ShellOperationsTest = TempDirTest;

TEST_F(ShellOperationsTest, MoveToTrashTakesFilesAndTreesAwayAndIgnoresMissingPaths) {
  const LogCapture log;
  WriteFile(dir_ / "file", "x");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/leaf", "y");
  for (const char* name : {"file", "tree"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(MoveToTrash(dir_ / name));
    EXPECT_FALSE((dir_ / name).exists());
  }
  EXPECT_FALSE(MoveToTrash(dir_ / "missing"));
  EXPECT_TRUE(log.records().empty());
}

TEST(PathAttributeTranslation, EachBitHasItsWindowsValue) {
  const std::pair<std::uint32_t, std::uint32_t> rows[] = {
      {0x00, 0x80},   {0x01, 0x1},    {0x02, 0x2}, {0x04, 0x4},    {0x08, 0x20}, {0x10, 0x100},
      {0x20, 0x1000}, {0x40, 0x2000}, {0x03, 0x3}, {0x7F, 0x3127},  // combinations
      {0x80, 0x0},    {0xFFFFFF88, 0x20}};  // bits above 0x40 ignored: alone they are the empty set
  for (const auto& [bits, windows] : rows) {
    EXPECT_EQ(internal::ToWindowsAttributes(static_cast<PathAttribute>(bits)), windows) << bits;
  }
}

TEST_F(ShellOperationsTest, SetPathAttributeFailsOnAMissingPath) {
  EXPECT_FALSE(SetPathAttribute(dir_ / "missing", PathAttribute::ReadOnly));
}

}  // namespace
}  // namespace Tarnix::Core
