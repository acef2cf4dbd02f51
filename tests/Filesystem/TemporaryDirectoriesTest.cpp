#include "Filesystem/TemporaryDirectories.h"

#include "support/Platform.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>

#include <cstdio>
#include <ctime>
#include <regex>

#ifdef _WIN32
#include <windows.h>
#else
#include "support/ChildProcess.h"

#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Tarnix::Core {
namespace {

namespace support = Tarnix::Test;
using namespace ::testing;
using boost::filesystem::filesystem_error;

// Each test has a system temporary directory of its own ($TMPDIR on Linux,
// %TMP% on Windows).
class TemporaryDirectoriesTest : public support::TempDirTest {
 protected:
  void SetUp() override {
    ioPath::create_directory(tmp_);
    support::SetEnvironment(support::kTemporaryDirectoryVariable, tmp_.utf8string());
  }
  void TearDown() override { support::SetEnvironment(support::kTemporaryDirectoryVariable, old_); }

  const std::string old_ = support::GetEnvironment(support::kTemporaryDirectoryVariable);
  const ioPath tmp_ = dir_ / "tmp";
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
  // No temporary directory at all (Windows falls back to another one).
  support::SetEnvironment(support::kTemporaryDirectoryVariable, (dir_ / "missing").utf8string());
  EXPECT_THAT([] { GenerateTempDir(); }, ThrowsMessage<std::runtime_error>("Unable to create temp directory"));
#endif
}

TEST_F(TemporaryDirectoriesTest, ProductDirectoryIsCreatedAndClearedByAge) {
  const ioPath product = tmp_ / "Vendor" / "Product", temp = product / "temp";
  EXPECT_EQ(GetProductTemporaryFilesDir("Vendor/Product"), temp);
  ioPath::create_directory(temp / "oldDir");
  for (const char* name : {"oldFile", "oldDir/fresh", "youngFile"}) support::WriteFile(temp / name, "");
  // A directory's own time counts, not its contents'; 30 days is old enough.
  const std::pair<const char*, int> ages[] = {{"oldFile", 40}, {"oldDir", 30}, {"youngFile", 1}};
  for (const auto& [name, days] : ages) support::SetFileTime(temp / name, std::time(nullptr) - days * 86400LL);
  ClearProductTemporaryFilesDir("Vendor/Product", 30);
  for (const auto& [name, days] : ages) EXPECT_EQ((temp / name).exists(), days < 30) << name;
  ClearProductTemporaryFilesDir("Vendor/Product", 0);
  EXPECT_FALSE(temp.exists());
  EXPECT_TRUE(product.is_directory());
}

// A product name cannot lead out of the temporary directory.
TEST_F(TemporaryDirectoriesTest, RefusesNamesThatLeadOut) {
  for (const char* name : {"../escape", "Vendor/../../escape", ".."}) {
    SCOPED_TRACE(name);
    EXPECT_THAT([name] { GetProductTemporaryFilesDir(name); },
                Throws<filesystem_error>(Property(&filesystem_error::code, boost::system::errc::invalid_argument)));
    EXPECT_FALSE((dir_ / "escape").exists());
  }
}

// --- Linux only: the temporary directory is shared by every user ------------
#ifndef _WIN32
int Mode(const ioPath& path) { return boost::filesystem::symlink_status(path.platformString()).permissions(); }

TEST_F(TemporaryDirectoriesTest, DirectoriesAreCreatedPrivate) {
  EXPECT_EQ(Mode(GenerateTempDir()), 0700);
  const ioPath product = tmp_ / "Vendor" / "Product";
  GetProductTemporaryFilesDir("Vendor/Product");
  for (const ioPath& level : {product.parent_path(), product, product / "temp"}) EXPECT_EQ(Mode(level), 0700) << level;
  ::setenv("TMPDIR", "/proc", 1);  // not even root can create a directory here
  const ioPath lost = GenerateTempDir();
  EXPECT_EQ(lost.parent_path(), ioPath("/proc"));
  EXPECT_FALSE(lost.exists());
}

// Another user plants a symbolic link as the product or temp level in the
// shared temporary directory: it is refused and nothing behind it is touched.
TEST_F(TemporaryDirectoriesTest, RefusesPlantedSymbolicLinks) {
  const ioPath product = tmp_ / "Product", victim = dir_ / "victim";
  ASSERT_TRUE(ioPath::create_directory(victim));
  support::WriteFile(victim / "old", "precious");
  for (const ioPath& planted : {product, product / "temp"}) {
    SCOPED_TRACE(planted.utf8string());
    ioPath::remove_all(product);
    ioPath::create_directories(planted.parent_path());
    ASSERT_EQ(::symlink(victim.platformString().c_str(), planted.platformString().c_str()), 0);
    EXPECT_THAT([] { GetProductTemporaryFilesDir("Product"); },
                Throws<filesystem_error>(AllOf(
                    Property(&filesystem_error::code, boost::system::errc::permission_denied),
                    Property(&filesystem_error::path1, planted.platformString()))));
    EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), filesystem_error);
    EXPECT_EQ(support::ReadFile(victim / "old"), "precious");
    EXPECT_FALSE((victim / "temp").exists());
  }
  if (::geteuid() != 0) return;  // only root can give a directory to another user
  ioPath::remove_all(product);
  ASSERT_TRUE(ioPath::create_directories(product / "temp"));
  ASSERT_EQ(::chown(product.platformString().c_str(), 65534, 65534), 0);
  EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), filesystem_error);
  EXPECT_TRUE((product / "temp").exists()) << "another user's directory is never cleared";
}

// A product level that others may write to could have its contents swapped for links between a check and the
// clean-up: it is refused.
TEST_F(TemporaryDirectoriesTest, RefusesLevelsOthersCanWrite) {
  const ioPath product = tmp_ / "Product";
  for (const ioPath& level : {product, product / "temp"}) {
    SCOPED_TRACE(level.utf8string());
    ioPath::remove_all(product);
    ASSERT_TRUE(ioPath::create_directories(product / "temp"));
    support::WriteFile(product / "temp/old", "x");
    support::SetFileTime(product / "temp/old", std::time(nullptr) - 40 * 86400LL);
    ASSERT_EQ(::chmod(level.platformString().c_str(), 0777), 0);
    EXPECT_THAT([] { ClearProductTemporaryFilesDir("Product", 0); },
                Throws<filesystem_error>(Property(&filesystem_error::code, boost::system::errc::permission_denied)));
    EXPECT_TRUE((product / "temp/old").exists());
  }
}

// The probe, started as `file` from dir_ with the argument vector `argv`, prints GetApplicationDir().
TEST_F(TemporaryDirectoriesTest, ApplicationDirIsDirectoryOfFirstCommandLineWord) {
  const ioPath bin = dir_ / "my bin", probe = bin / "probe";  // a space: the word is taken whole
  ASSERT_TRUE(ioPath::create_directory(bin));
  ASSERT_TRUE(ioPath::copy_file(ioPath(LUM_APPLICATION_DIR_PROBE), probe));
  const std::string absolute = probe.utf8string();
  const struct { ioPath file; std::vector<const char*> argv; std::string expected; } rows[] = {
      {probe, {absolute.c_str(), "x", nullptr}, bin.utf8string()},
      {"my bin/probe", {"my bin/probe", nullptr}, "my bin"},
      {probe, {"probe", nullptr}, ""},  // by bare name: the executable's own place is not consulted
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.argv[0]);
    ASSERT_EQ(support::RunInChild([&] {
      if (::chdir(dir_.path().platformString().c_str()) == 0 && std::freopen("out", "w", stdout)) {
        ::execv(row.file.platformString().c_str(), const_cast<char* const*>(row.argv.data()));
      }
      return 127;
    }), 0);
    EXPECT_EQ(support::ReadFile(dir_ / "out"), row.expected);
  }
}

#endif  // Linux only

// --- Windows only --------------------------------------------------------------
#ifdef _WIN32
// The probe, started with the command line `commandLine` (and, when given,
// the executable `program`), prints GetApplicationDir().
TEST_F(TemporaryDirectoriesTest, ApplicationDirIsDirectoryOfFirstCommandLineWord) {
  const ioPath bin = dir_ / "my bin", probe = bin / "probe.exe";  // a space: the word is taken whole
  ASSERT_TRUE(ioPath::create_directory(bin));
  ASSERT_TRUE(ioPath::copy_file(ioPath(LUM_APPLICATION_DIR_PROBE), probe));
  const struct { std::wstring commandLine; std::string expected; } rows[] = {
      {L"\"" + probe.wstring() + L"\" x", bin.utf8string()},
      {L"probe.exe", ""},  // by bare name: the executable's own place is not consulted
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ioPath(row.commandLine).utf8string());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE out = ::CreateFileW((dir_ / "out").wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    PROCESS_INFORMATION started{};
    std::wstring commandLine = row.commandLine;
    ASSERT_TRUE(::CreateProcessW(probe.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &started));
    ::WaitForSingleObject(started.hProcess, INFINITE);
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    ::CloseHandle(out);
    EXPECT_EQ(support::ReadFile(dir_ / "out"), row.expected);
  }
}
#endif  // Windows only

}  // namespace
}  // namespace Tarnix::Core
