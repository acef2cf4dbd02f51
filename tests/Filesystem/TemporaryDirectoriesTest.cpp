#include "Filesystem/TemporaryDirectories.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

using Tarnix::Test::TempDirTest;

constexpr long long kDay = 24 * 60 * 60;

long long DaysAgo(int days) { return static_cast<long long>(std::time(nullptr)) - days * kDay; }

mode_t PermissionBits(const ioPath& path) {
  struct stat st {};
  return ::lstat(path.platformString().c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Points the system temporary directory ($TMPDIR) somewhere else for one test.
class ScopedTmpdir {
 public:
  explicit ScopedTmpdir(const std::string& value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", value.c_str(), 1);
  }
  ~ScopedTmpdir() {
    if (old_) {
      ::setenv("TMPDIR", old_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

// Each test gets its own system temporary directory inside its test directory.
class TemporaryDirectoriesTest : public TempDirTest {
 protected:
  TemporaryDirectoriesTest() : tmp_(dir_ / "tmp"), tmpdir_(tmp_.utf8string()) { ioPath::create_directory(tmp_); }

  const ioPath tmp_;
  ScopedTmpdir tmpdir_;
};

TEST_F(TemporaryDirectoriesTest, GenerateTempDirMakesFreshPrivateUuidDirectories) {
  const ioPath first = GenerateTempDir();
  const ioPath second = GenerateTempDir();
  EXPECT_NE(first, second);
  for (const ioPath& dir : {first, second}) {
    SCOPED_TRACE(dir.utf8string());
    EXPECT_EQ(dir.parent_path(), tmp_);
    EXPECT_TRUE(dir.is_directory());
    EXPECT_EQ(PermissionBits(dir), 0700u);
    // Version 4, RFC 4122 variant, lower case: xxxxxxxx-xxxx-4xxx-[89ab]xxx-xxxxxxxxxxxx
    const std::string name = dir.filename().utf8string();
    ASSERT_EQ(name.size(), 36u);
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        EXPECT_EQ(name[i], '-') << i;
      } else {
        EXPECT_NE(std::string("0123456789abcdef").find(name[i]), std::string::npos) << i;
      }
    }
    EXPECT_EQ(name[14], '4');
    EXPECT_NE(std::string("89ab").find(name[19]), std::string::npos);
  }
}

TEST_F(TemporaryDirectoriesTest, GenerateTempDirYieldsPathItCannotCreate) {
  // Not even root can create a directory in /proc.
  ScopedTmpdir unwritable("/proc");
  const ioPath dir = GenerateTempDir();
  EXPECT_EQ(dir.parent_path(), ioPath("/proc"));
  EXPECT_EQ(dir.filename().utf8string().size(), 36u);
  EXPECT_FALSE(dir.exists());
}

TEST_F(TemporaryDirectoriesTest, UndeterminableTemporaryDirectoryThrows) {
  Tarnix::Test::WriteFile(dir_ / "file", "");
  ScopedTmpdir notADirectory((dir_ / "file").utf8string());
  try {
    GenerateTempDir();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to create temp directory");
  }
  EXPECT_THROW(GetProductTemporaryFilesDir("Product"), boost::filesystem::filesystem_error);
  EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), boost::filesystem::filesystem_error);
}

TEST_F(TemporaryDirectoriesTest, ProductDirectoryIsCreatedPrivate) {
  const ioPath temp = GetProductTemporaryFilesDir("Product");
  EXPECT_EQ(temp, tmp_ / "Product" / "temp");
  EXPECT_TRUE(temp.is_directory());
  EXPECT_EQ(PermissionBits(tmp_ / "Product"), 0700u);
  EXPECT_EQ(PermissionBits(temp), 0700u);
  // Existing directories of our own are used as they are.
  Tarnix::Test::WriteFile(temp / "kept", "x");
  EXPECT_EQ(GetProductTemporaryFilesDir("Product"), temp);
  EXPECT_TRUE((temp / "kept").exists());

  // A product name with a vendor level makes every level private.
  EXPECT_EQ(GetProductTemporaryFilesDir("Vendor/Product"), tmp_ / "Vendor" / "Product" / "temp");
  for (const ioPath& level : {tmp_ / "Vendor", tmp_ / "Vendor" / "Product", tmp_ / "Vendor" / "Product" / "temp"}) {
    EXPECT_EQ(PermissionBits(level), 0700u) << level;
  }
}

TEST_F(TemporaryDirectoriesTest, ClearRemovesEntriesByAge) {
  struct Case {
    int minAgeDays;
    std::vector<int> entryAgesDays;  // even: file "f<i>", odd: directory "d<i>" holding a fresh file
    bool tempRemains;
  };
  const Case cases[] = {
      {0, {40, 2, 1}, false},
      {30, {40, 31, 1, 29}, true},  // d1 is old by its own time, whatever it holds
      {30, {}, false},  // never had entries: created, then removed again
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "minAgeDays " << c.minAgeDays << ", " << c.entryAgesDays.size() << " entries");
    const ioPath product = tmp_ / "Product";
    ioPath::remove_all(product);
    if (!c.entryAgesDays.empty()) {
      const ioPath temp = GetProductTemporaryFilesDir("Product");
      for (std::size_t i = 0; i < c.entryAgesDays.size(); ++i) {
        const ioPath entry = temp / ((i % 2 ? "d" : "f") + std::to_string(i));
        if (i % 2) {
          ioPath::create_directory(entry);
          Tarnix::Test::WriteFile(entry / "fresh", "x");
        } else {
          Tarnix::Test::WriteFile(entry, "x");
        }
        Tarnix::Test::SetFileTime(entry, DaysAgo(c.entryAgesDays[i]));
      }
    }

    ClearProductTemporaryFilesDir("Product", c.minAgeDays);

    EXPECT_TRUE(product.is_directory());
    EXPECT_EQ((product / "temp").exists(), c.tempRemains);
    for (std::size_t i = 0; i < c.entryAgesDays.size() && c.tempRemains; ++i) {
      const ioPath entry = product / "temp" / ((i % 2 ? "d" : "f") + std::to_string(i));
      EXPECT_EQ(entry.exists(), c.entryAgesDays[i] < c.minAgeDays) << entry;
    }
  }
}

// Someone else prepares the product or temp level in the shared temporary
// directory: as a symbolic link to a directory of theirs, or as their own
// directory. Neither may be used, and nothing behind it may be touched.
TEST_F(TemporaryDirectoriesTest, RefusesPlantedProductDirectories) {
  enum class Plant { kSymlink, kForeignOwner };
  struct Case {
    const char* name;
    bool atTempLevel;
    Plant plant;
  };
  const Case cases[] = {
      {"link as product", false, Plant::kSymlink},
      {"link as temp", true, Plant::kSymlink},
      {"foreign product", false, Plant::kForeignOwner},
      {"foreign temp", true, Plant::kForeignOwner},
  };
  constexpr uid_t kNobody = 65534;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.plant == Plant::kForeignOwner && ::geteuid() != 0) {
      std::cout << "[ SKIPPED  ] " << c.name << ": needs root to give a directory away\n";
      continue;
    }
    const ioPath product = tmp_ / "Product";
    const ioPath planted = c.atTempLevel ? product / "temp" : product;
    const ioPath victim = c.plant == Plant::kSymlink ? dir_ / "victim" : planted;
    ioPath::remove_all(product);
    ioPath::remove_all(dir_ / "victim");
    if (c.atTempLevel) {
      ASSERT_TRUE(ioPath::create_directory(product));
    }
    ASSERT_TRUE(ioPath::create_directory(victim));
    Tarnix::Test::WriteFile(victim / "old", "precious");
    Tarnix::Test::SetFileTime(victim / "old", DaysAgo(100));
    if (c.plant == Plant::kSymlink) {
      ASSERT_EQ(::symlink(victim.platformString().c_str(), planted.platformString().c_str()), 0);
    } else {
      ASSERT_EQ(::chown(victim.platformString().c_str(), kNobody, kNobody), 0);
      ASSERT_EQ(::chown((victim / "old").platformString().c_str(), kNobody, kNobody), 0);
    }

    try {
      GetProductTemporaryFilesDir("Product");
      ADD_FAILURE() << "no exception";
    } catch (const boost::filesystem::filesystem_error& e) {
      EXPECT_EQ(e.code(), boost::system::errc::permission_denied);
      EXPECT_EQ(ioPath(e.path1()), planted);
    }
    EXPECT_THROW(ClearProductTemporaryFilesDir("Product", 0), boost::filesystem::filesystem_error);

    EXPECT_EQ(Tarnix::Test::ReadFile(victim / "old"), "precious");
    EXPECT_FALSE((victim / "temp").exists());
    EXPECT_TRUE(victim.is_directory());
  }
}

// Runs the probe as `file` with the argument vector `argv` (empty: none at
// all) from the working directory `cwd`; returns what it printed.
std::string RunProbe(const ioPath& cwd, const ioPath& file, const std::vector<std::string>& argv) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const int pid = Tarnix::Test::Fork([&] {
    if (::dup2(out[1], STDOUT_FILENO) < 0 || ::chdir(cwd.platformString().c_str()) != 0) return 126;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(file.platformString().c_str(), args.data());
    return 127;
  });
  ::close(out[1]);
  std::string printed;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(out[0], buffer, sizeof buffer)) != 0) {
    if (got > 0) printed.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  ::close(out[0]);
  EXPECT_EQ(Tarnix::Test::WaitForChild(pid), 0);
  return printed;
}

TEST_F(TemporaryDirectoriesTest, ApplicationDirIsDirectoryOfFirstCommandLineWord) {
  // A copy in a directory whose name has a space: the word is taken whole.
  const ioPath bin = dir_ / "my bin";
  ASSERT_TRUE(ioPath::create_directory(bin));
  ASSERT_TRUE(ioPath::copy_file(ioPath(LUM_APPLICATION_DIR_PROBE), bin / "probe"));
  const ioPath probe = bin / "probe";

  struct Case {
    const char* name;
    ioPath cwd;
    ioPath file;
    std::vector<std::string> argv;
    std::string expected;
  };
  const Case cases[] = {
      {"absolute path", dir_.path(), probe, {probe.utf8string(), "--ignored"}, bin.utf8string()},
      {"relative path", dir_.path(), ioPath("my bin/probe"), {"my bin/probe"}, "my bin"},
      {"dot path", bin, ioPath("./probe"), {"./probe"}, "."},
      {"bare name", bin, probe, {"probe"}, ""},
      {"argv[0] elsewhere", bin, probe, {"/opt/elsewhere/tool"}, "/opt/elsewhere"},
      {"no words", bin, probe, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RunProbe(c.cwd, c.file, c.argv), c.expected);
  }
}

}  // namespace
}  // namespace Tarnix::Core
