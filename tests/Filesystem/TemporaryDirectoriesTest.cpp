#include "Filesystem/TemporaryDirectories.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <string>
#include <stdexcept>

namespace Tarnix::Core {
namespace {

namespace support = Tarnix::Test;

long long DaysAgo(int days) { return std::time(nullptr) - days * 86400LL; }

mode_t Permissions(const ioPath& path) {
  struct stat st {};
  return ::lstat(path.platformString().c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Each test has a system temporary directory ($TMPDIR) of its own.
class TemporaryDirectoriesTest : public support::TempDirTest {
 protected:
  TemporaryDirectoriesTest() {
    if (const char* old = ::getenv("TMPDIR")) oldTmpdir_ = old;
    ioPath::create_directory(tmp_);
    SetTmpdir(tmp_.utf8string().c_str());
  }
  ~TemporaryDirectoriesTest() override { SetTmpdir(oldTmpdir_ ? oldTmpdir_->c_str() : nullptr); }
  static void SetTmpdir(const char* value) { value ? ::setenv("TMPDIR", value, 1) : ::unsetenv("TMPDIR"); }

  const ioPath tmp_ = dir_ / "tmp";
  std::optional<std::string> oldTmpdir_;
};

TEST_F(TemporaryDirectoriesTest, GenerateTempDirMakesFreshPrivateUuidDirectories) {
  const ioPath first = GenerateTempDir();
  const ioPath second = GenerateTempDir();
  EXPECT_NE(first, second);
  for (const ioPath& dir : {first, second}) {
    EXPECT_EQ(dir.parent_path(), tmp_);
    // xxxxxxxx-xxxx-4xxx-Vxxx-xxxxxxxxxxxx in lower case, V one of 8 9 a b
    const std::string name = dir.filename().utf8string();
    ASSERT_EQ(name.size(), 36u);
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef-"), std::string::npos) << name;
    EXPECT_EQ(std::string({name[8], name[13], name[18], name[23], name[14]}), "----4") << name;
    EXPECT_NE(std::string("89ab").find(name[19]), std::string::npos) << name;
    EXPECT_EQ(Permissions(dir), 0700u) << dir;
  }
}

TEST_F(TemporaryDirectoriesTest, UnusableTemporaryDirectory) {
  SetTmpdir("/proc");  // not even root can create a directory here
  const ioPath dir = GenerateTempDir();
  EXPECT_EQ(dir.parent_path(), ioPath("/proc"));
  EXPECT_FALSE(dir.exists());

  support::WriteFile(dir_ / "file", "");
  SetTmpdir((dir_ / "file").utf8string().c_str());  // no temporary directory at all
  try {
    GenerateTempDir();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to create temp directory");
  }
  EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), boost::filesystem::filesystem_error);
}

TEST_F(TemporaryDirectoriesTest, ProductDirectoryLevelsAreCreatedPrivate) {
  EXPECT_EQ(GetProductTemporaryFilesDir("Vendor/Product"), tmp_ / "Vendor" / "Product" / "temp");
  for (const ioPath& level : {tmp_ / "Vendor", tmp_ / "Vendor" / "Product", tmp_ / "Vendor" / "Product" / "temp"}) {
    EXPECT_EQ(Permissions(level), 0700u) << level;
  }
}

TEST_F(TemporaryDirectoriesTest, ClearRemovesOldEntriesAndThenTemp) {
  const ioPath product = tmp_ / "Product";
  ClearProductTemporaryFilesDir("Product", 30);  // created, nothing in it: removed again
  EXPECT_TRUE(product.is_directory());
  EXPECT_FALSE((product / "temp").exists());

  const ioPath temp = GetProductTemporaryFilesDir("Product");
  ioPath::create_directory(temp / "oldDir");
  for (const char* name : {"oldFile", "oldDir/fresh", "youngFile"}) support::WriteFile(temp / name, "x");
  support::SetFileTime(temp / "oldFile", DaysAgo(40));
  support::SetFileTime(temp / "oldDir", DaysAgo(30));  // its own time counts, not its contents'
  support::SetFileTime(temp / "youngFile", DaysAgo(1));
  ClearProductTemporaryFilesDir("Product", 30);
  EXPECT_FALSE((temp / "oldFile").exists());
  EXPECT_FALSE((temp / "oldDir").exists());
  EXPECT_TRUE((temp / "youngFile").exists());

  ClearProductTemporaryFilesDir("Product", 0);
  EXPECT_FALSE(temp.exists());
  EXPECT_TRUE(product.is_directory());
}

// Another user prepares the product or temp level in the shared temporary
// directory, as a symbolic link or as a directory of theirs: it is refused and
// nothing behind it is touched.
TEST_F(TemporaryDirectoriesTest, RefusesPlantedLevels) {
  const ioPath product = tmp_ / "Product";
  for (const bool tempLevel : {false, true}) {
    for (const bool symlink : {true, false}) {
      SCOPED_TRACE(::testing::Message() << (tempLevel ? "temp" : "product") << (symlink ? " link" : " foreign"));
      if (!symlink && ::geteuid() != 0) continue;  // only root can give a directory away
      ioPath::remove_all(product);
      ioPath::remove_all(dir_ / "victim");
      if (tempLevel) ioPath::create_directory(product);
      const ioPath planted = tempLevel ? product / "temp" : product;
      const ioPath victim = symlink ? dir_ / "victim" : planted;
      ioPath::create_directory(victim);
      support::WriteFile(victim / "old", "precious");
      support::SetFileTime(victim / "old", DaysAgo(100));
      ASSERT_EQ(symlink ? ::symlink(victim.platformString().c_str(), planted.platformString().c_str())
                        : ::chown(victim.platformString().c_str(), 65534, 65534),
                0);
      try {
        GetProductTemporaryFilesDir("Product");
        ADD_FAILURE() << "no exception";
      } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::errc::permission_denied);
        EXPECT_EQ(ioPath(e.path1()), planted);
      }
      EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), boost::filesystem::filesystem_error);
      EXPECT_EQ(support::ReadFile(victim / "old"), "precious");
      EXPECT_FALSE((victim / "temp").exists());
    }
  }
}

// What the probe prints when started as `file` with `argv` from `cwd`.
std::string RunProbe(const ioPath& cwd, const ioPath& file, std::vector<std::string> argv) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const int pid = support::Fork([&] {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (::dup2(out[1], STDOUT_FILENO) >= 0 && ::chdir(cwd.platformString().c_str()) == 0) {
      ::execv(file.platformString().c_str(), args.data());
    }
    return 127;
  });
  ::close(out[1]);
  std::string printed;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(out[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) printed.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  EXPECT_EQ(support::WaitForChild(pid), 0);
  return printed;
}

TEST_F(TemporaryDirectoriesTest, ApplicationDirIsDirectoryOfFirstCommandLineWord) {
  const ioPath bin = dir_ / "my bin";  // a space: the word is taken whole
  const ioPath probe = bin / "probe";
  ASSERT_TRUE(ioPath::create_directory(bin));
  ASSERT_TRUE(ioPath::copy_file(ioPath(LUM_APPLICATION_DIR_PROBE), probe));
  EXPECT_EQ(RunProbe(dir_.path(), probe, {probe.utf8string(), "x"}), bin.utf8string());
  EXPECT_EQ(RunProbe(dir_.path(), "my bin/probe", {"my bin/probe"}), "my bin");
  EXPECT_EQ(RunProbe(bin, "./probe", {"./probe"}), ".");
  EXPECT_EQ(RunProbe(bin, probe, {"probe"}), "");
  EXPECT_EQ(RunProbe(bin, probe, {"/opt/elsewhere/tool"}), "/opt/elsewhere");  // not the executable's place
  EXPECT_EQ(RunProbe(bin, probe, {}), "");
}

}  // namespace
}  // namespace Tarnix::Core
