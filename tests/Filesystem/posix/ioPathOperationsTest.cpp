// Linux: what permissions do to the disk members, as an unprivileged user.
#include "Filesystem/ioPath.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace Tarnix {
namespace {

namespace support = ::Tarnix::Test;

using boost::filesystem::filesystem_error;
using support::WriteFile;
using ioPathOperations = support::TempDirTest;

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

TEST_F(ioPathOperations, RenameAcrossFileSystemsUndoesTheCopyWhenTheSourceStays) {
  const auto shm = support::TempDirOnOtherFileSystem(dir_.path());
  if (!shm) GTEST_SKIP() << "the temp directory and /dev/shm are one file system here: no cross-device rename";
  // The source's directory is read-only for an unprivileged user: the copy
  // succeeds, its removal fails, and the copy must disappear again.
  const ioPath sourceDir = dir_ / "ro";
  ASSERT_TRUE(ioPath::create_directory(sourceDir));
  WriteFile(sourceDir / "file", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(sourceDir.platformString().c_str(), 0555), 0);
  ASSERT_EQ(::chmod((sourceDir / "file").platformString().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(shm->path().platformString().c_str(), 0777), 0);
  const ioPath target = *shm / "file";
  EXPECT_EQ(support::RunUnprivileged([&] { return ioPath::rename(sourceDir / "file", target) ? 1 : 0; }), 0);
  EXPECT_TRUE((sourceDir / "file").exists());
  EXPECT_FALSE(target.exists());
}

}  // namespace
}  // namespace Tarnix
