// Fresh temporary directories, the product's own one and its clearing by
// age; on Linux, where every user shares the temporary directory, what
// others may have planted there; GetApplicationDir in a process of its own.
#include "Filesystem/TemporaryDirectories.h"

#include "support/Test.h"

#include <ctime>
#include <regex>

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)
using namespace ::testing;       // NOLINT(google-build-using-namespace)
using boost::filesystem::filesystem_error;

const auto kPermissionDenied = Property(&filesystem_error::code, boost::system::errc::permission_denied);

// Each test has a system temporary directory of its own.
class TemporaryDirectoriesTest : public TempDirTest {
 protected:
  void SetUp() override {
    ioPath::create_directory(tmp_);
    SetEnvironment(kTemporaryDirectoryVariable, tmp_.utf8string());
  }
  void TearDown() override { SetEnvironment(kTemporaryDirectoryVariable, old_); }

  const std::string old_ = GetEnvironment(kTemporaryDirectoryVariable);
  const ioPath tmp_ = dir_ / "tmp", product_ = tmp_ / "Product";
};

TEST_F(TemporaryDirectoriesTest, GenerateTempDirMakesFreshUuidDirectories) {
  const ioPath dirs[] = {GenerateTempDir(), GenerateTempDir()};
  EXPECT_NE(dirs[0], dirs[1]);
  for (const ioPath& dir : dirs) {
    EXPECT_EQ(dir.parent_path(), tmp_);
    const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(dir.filename().utf8string(), uuid4)) << dir;
  }
#ifndef _WIN32
  // Private where every user shares the temporary directory: the product's levels too.
  const ioPath temp = GetProductTemporaryFilesDir("Vendor/Product");
  for (const ioPath& level : {dirs[0], temp, temp.parent_path(), temp.parent_path().parent_path()}) {
    EXPECT_EQ(boost::filesystem::symlink_status(level.platformString()).permissions(), 0700) << level;
  }
  // A temporary directory where nothing can be made (not even by root), and none at
  // all (Windows falls back to another one).
  SetEnvironment(kTemporaryDirectoryVariable, "/proc");
  const ioPath lost = GenerateTempDir();
  EXPECT_TRUE(lost.parent_path() == ioPath("/proc") && !lost.exists()) << lost;
  SetEnvironment(kTemporaryDirectoryVariable, (dir_ / "missing").utf8string());
  EXPECT_THAT([] { GenerateTempDir(); }, ThrowsMessage<std::runtime_error>("Unable to create temp directory"));
#endif
}

// A directory's own time counts, not its contents'; 30 days is old enough.
// A product name cannot lead out of the temporary directory.
TEST_F(TemporaryDirectoriesTest, ProductDirectoryIsCreatedAndClearedByAge) {
  const ioPath temp = tmp_ / "Vendor/Product/temp";
  EXPECT_EQ(GetProductTemporaryFilesDir("Vendor/Product"), temp);
  ioPath::create_directory(temp / "oldDir");
  for (const char* name : {"oldFile", "oldDir/fresh", "youngFile"}) WriteFile(temp / name, "");
  const std::pair<const char*, int> ages[] = {{"oldFile", 40}, {"oldDir", 30}, {"youngFile", 1}};
  for (const auto& [name, days] : ages) SetFileTime(temp / name, std::time(nullptr) - days * 86400LL);
  ClearProductTemporaryFilesDir("Vendor/Product", 30);
  for (const auto& [name, days] : ages) EXPECT_EQ((temp / name).exists(), days < 30) << name;
  ClearProductTemporaryFilesDir("Vendor/Product", 0);
  EXPECT_FALSE(temp.exists());
  EXPECT_TRUE(temp.parent_path().is_directory());

  for (const char* name : {"../escape", "Vendor/../../escape", ".."}) {
    SCOPED_TRACE(name);
    EXPECT_THAT([name] { GetProductTemporaryFilesDir(name); },
                Throws<filesystem_error>(Property(&filesystem_error::code, boost::system::errc::invalid_argument)));
    EXPECT_FALSE((dir_ / "escape").exists());
  }
}

// --- Linux only: the temporary directory is shared by every user ------------
#ifndef _WIN32
// At the product or the temp level, another user plants a symbolic link, or
// the level is one that others may write to (its contents could be swapped
// for links between a check and the clean-up): refused, and nothing behind it
// is touched. Another user's directory is never cleared.
TEST_F(TemporaryDirectoriesTest, RefusesPlantedLinksAndLevelsOthersCanWrite) {
  const ioPath victim = dir_ / "victim";
  ASSERT_TRUE(ioPath::create_directory(victim));
  WriteFile(victim / "old", "precious");
  for (const ioPath& level : {product_, product_ / "temp"}) {
    for (const bool planted : {true, false}) {
      SCOPED_TRACE(level.utf8string() + (planted ? " planted" : " writable"));
      ioPath::remove_all(product_);
      ASSERT_TRUE(ioPath::create_directories(planted ? level.parent_path() : product_ / "temp"));
      if (planted) {
        Link(victim.utf8string(), level);
        EXPECT_THAT([] { GetProductTemporaryFilesDir("Product"); },
                    Throws<filesystem_error>(AllOf(kPermissionDenied, Property(&filesystem_error::path1, level.platformString()))));
      } else {
        WriteFile(product_ / "temp/old", "x");
        SetFileTime(product_ / "temp/old", std::time(nullptr) - 40 * 86400LL);
        ASSERT_EQ(::chmod(level.platformString().c_str(), 0777), 0);
      }
      EXPECT_THAT([] { ClearProductTemporaryFilesDir("Product", 0); }, Throws<filesystem_error>(kPermissionDenied));
      EXPECT_TRUE(ReadFile(victim / "old") == "precious" && !(victim / "temp").exists());
      EXPECT_TRUE(planted || (product_ / "temp/old").exists());
    }
  }
  if (::geteuid() != 0) return;  // only root can give a directory to another user
  ioPath::remove_all(product_);
  ASSERT_TRUE(ioPath::create_directories(product_ / "temp"));
  ASSERT_EQ(::chown(product_.platformString().c_str(), 65534, 65534), 0);
  EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), filesystem_error);
  EXPECT_TRUE((product_ / "temp").exists());
}
#endif  // Linux only

// The probe prints GetApplicationDir() of its own process: the directory of
// the first word of its command line, taken whole (here with a space in it).
TEST_F(TemporaryDirectoriesTest, ApplicationDirIsDirectoryOfFirstCommandLineWord) {
  const ioPath built(HelperProgram(LUM_APPLICATION_DIR_PROBE));
  const ioPath bin = dir_ / "my bin", probe = bin / built.filename();
  ASSERT_TRUE(ioPath::create_directory(bin));
  ASSERT_TRUE(ioPath::copy_file(built, probe));
  const std::pair<std::string, std::string> rows[] = {  // the first word, what the probe prints
      {probe.utf8string(), bin.utf8string()},
      {"probe", ""},  // a bare name: the executable's own place is not consulted
#ifndef _WIN32
      {"my bin/probe", "my bin"},
#endif
  };
  for (const auto& [firstWord, expected] : rows) {
    SCOPED_TRACE(firstWord);
    EXPECT_EQ(Process(probe.utf8string(), {"x"}, dir_.path(), firstWord).Finish().out, expected);
  }
}

}  // namespace
}  // namespace Tarnix::Core
