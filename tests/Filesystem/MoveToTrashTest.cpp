// The trash tests own the user's trash: main() points HOME and XDG_DATA_HOME
// at a fresh directory before anything can ask GIO where the trash is (GIO
// reads them once per process), so nothing ever reaches the real user's trash.
#include "Filesystem/ShellOperations.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

namespace support = ::Tarnix::Test;

ioPath g_dataHome;  // set by main before any test runs

// The original paths recorded in the trash's .trashinfo files, percent-decoded.
std::vector<std::string> TrashedPaths() {
  std::vector<std::string> paths;
  const ioPath info = g_dataHome / "Trash" / "info";
  if (!info.exists()) return paths;
  for (const auto& entry : info.iterator()) {
    const std::string text = support::ReadFile(ioPath(entry.path()));
    const auto start = text.find("\nPath=");
    if (start == std::string::npos) continue;
    const std::string escaped = text.substr(start + 6, text.find('\n', start + 6) - start - 6);
    std::string decoded;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '%' && i + 2 < escaped.size()) {
        decoded.push_back(static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16)));
        i += 2;
      } else {
        decoded.push_back(escaped[i]);
      }
    }
    paths.push_back(decoded);
  }
  return paths;
}

class MoveToTrashTest : public support::TempDirTest {
 protected:
  void SetUp() override { ioPath::remove_all(g_dataHome / "Trash"); }
  support::LogCapture log_;
};

TEST_F(MoveToTrashTest, FilesAndTreesGoToTheTrashUnderTheirOriginalPath) {
  struct Row {
    const char* what;
    const char* name;
    bool tree;
    std::string written;  // how the caller writes the path, after dir_
  };
  const Row rows[] = {
      {"file", "file.txt", false, "/file.txt"},
      {"directory tree", "tree", true, "/tree"},
      {"doubled separator", "doubled.txt", false, "//doubled.txt"},
      {"trailing separator", "trailing", true, "/trailing/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const ioPath original = dir_ / row.name;
    if (row.tree) {
      ASSERT_TRUE(ioPath::create_directories(original / "sub"));
      support::WriteFile(original / "sub" / "leaf", "leaf");
    } else {
      support::WriteFile(original, "contents");
    }
    EXPECT_TRUE(MoveToTrash(ioPath(dir_.path().platformString() + row.written)));
    EXPECT_FALSE(original.exists());
    const ioPath trashed = g_dataHome / "Trash" / "files" / row.name;
    EXPECT_EQ(support::ReadFile(row.tree ? trashed / "sub" / "leaf" : trashed), row.tree ? "leaf" : "contents");
  }
  std::vector<std::string> expected;
  for (const Row& row : rows) expected.push_back((dir_ / row.name).platformString());
  std::vector<std::string> recorded = TrashedPaths();
  std::sort(expected.begin(), expected.end());
  std::sort(recorded.begin(), recorded.end());
  EXPECT_EQ(recorded, expected);
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(MoveToTrashTest, MissingPathIsFalseWithoutRecord) {
  EXPECT_FALSE(MoveToTrash(dir_ / "missing"));
  EXPECT_TRUE(log_.records().empty());
  EXPECT_FALSE((g_dataHome / "Trash").exists());
}

TEST_F(MoveToTrashTest, RefusedTrashLogsTheCodeOnce) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || !S_ISDIR(shm.st_mode) ||
      ::stat(dir_.path().platformString().c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "needs /dev/shm as a file system of its own";
  }
  support::TempDir onShm("/dev/shm");
  const ioPath file = onShm / "file";
  support::WriteFile(file, "x");

  EXPECT_FALSE(MoveToTrash(file));
  EXPECT_TRUE(file.exists());
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, google::GLOG_ERROR);
  EXPECT_EQ(records[0].file, "MoveToTrash.cpp");
  const std::string prefix = "Moving to trash failed with code:";
  ASSERT_EQ(records[0].text.compare(0, prefix.size(), prefix), 0) << records[0].text;
  const std::string code = records[0].text.substr(prefix.size());
  EXPECT_FALSE(code.empty());
  EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
  EXPECT_NE(code, "0");
}

}  // namespace
}  // namespace Tarnix::Core

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // On the file system of every test's own directory, so that GIO uses this
  // home's trash rather than a per-mount one.
  Tarnix::Test::TempDir home;
  Tarnix::Core::g_dataHome = home / ".local" / "share";
  ::setenv("HOME", home.path().platformString().c_str(), 1);
  ::setenv("XDG_DATA_HOME", Tarnix::Core::g_dataHome.platformString().c_str(), 1);
  return RUN_ALL_TESTS();
}
