// Windows: a file someone holds open without delete sharing cannot be
// removed, so a move across volumes that copied it must undo the copy.
#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/ioPath.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace Tarnix {
namespace {

namespace support = ::Tarnix::Test;
using ioPathOperations = support::TempDirTest;

TEST_F(ioPathOperations, RenameAcrossVolumesUndoesTheCopyWhenTheSourceIsHeld) {
  const auto other = support::TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second volume here: no cross-volume rename";
  support::WriteFile(dir_ / "file", "x");
  const auto lock = Core::ICacheReadLock::CreateInstance(dir_ / "file");
  EXPECT_FALSE(ioPath::rename(dir_ / "file", *other / "file"));
  EXPECT_TRUE((dir_ / "file").exists());
  EXPECT_FALSE((*other / "file").exists());
}

}  // namespace
}  // namespace Tarnix
