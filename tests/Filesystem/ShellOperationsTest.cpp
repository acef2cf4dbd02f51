#include "Filesystem/ShellOperations.h"
#include "Filesystem/internal/PathAttribute.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace Tarnix::Core {
namespace {

namespace support = ::Tarnix::Test;

using support::TempDirTest;

constexpr PathAttribute Bits(std::uint32_t value) { return static_cast<PathAttribute>(value); }

TEST(PathAttributeTranslation, EveryBitAndCombination) {
  struct Row {
    PathAttribute attributes;
    std::uint32_t windows;
  };
  const Row rows[] = {
      {PathAttribute::Normal, 0x80},
      {PathAttribute::ReadOnly, 0x1},
      {PathAttribute::Hidden, 0x2},
      {PathAttribute::System, 0x4},
      {PathAttribute::Archive, 0x20},
      {PathAttribute::Temporary, 0x100},
      {PathAttribute::Offline, 0x1000},
      {PathAttribute::NotContentIndexed, 0x2000},
      {PathAttribute::ReadOnly | PathAttribute::Hidden, 0x3},
      {PathAttribute::Archive | PathAttribute::Offline, 0x1020},
      {Bits(0x7F), 0x3127},
      {Bits(0x80), 0x0},            // only unknown bits: the empty set, not Normal
      {Bits(0xFFFFFF80 | 0x08), 0x20},  // unknown bits ignored beside known ones
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<std::uint32_t>(row.attributes));
    EXPECT_EQ(internal::ToWindowsAttributes(row.attributes), row.windows);
  }
}

mode_t ModeOf(const ioPath& path) {
  struct stat status {};
  if (::stat(path.platformString().c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

class SetPathAttributeTest : public TempDirTest {};

TEST_F(SetPathAttributeTest, ReadOnlyMapsOntoWriteBits) {
  struct Row {
    const char* what;
    bool directory;
    mode_t before;
    PathAttribute attributes;
    mode_t after;
  };
  const Row rows[] = {
      {"read-only clears every write bit", false, 0666, PathAttribute::ReadOnly, 0444},
      {"read-only with others", false, 0664, PathAttribute::ReadOnly | PathAttribute::Hidden, 0444},
      {"normal gives the owner writing back", false, 0444, PathAttribute::Normal, 0644},
      {"any set without read-only does too", false, 0440, PathAttribute::Hidden | PathAttribute::System, 0640},
      {"attributes without equivalent change nothing", false, 0640, PathAttribute::Archive, 0640},
      {"unknown bits alone are the empty set", false, 0444, Bits(0x80), 0644},
      {"unknown bits beside read-only are ignored", false, 0644, Bits(0x81), 0444},
      {"directory", true, 0755, PathAttribute::ReadOnly, 0555},
  };
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const ioPath path = dir_ / ("entry" + std::to_string(index++));
    if (row.directory) {
      ASSERT_TRUE(ioPath::create_directory(path));
    } else {
      support::WriteFile(path, "x");
    }
    ASSERT_EQ(::chmod(path.platformString().c_str(), row.before), 0);
    EXPECT_TRUE(SetPathAttribute(path, row.attributes));
    EXPECT_EQ(ModeOf(path), row.after);
  }
}

// Root ignores permission bits, so the write attempt runs as an unprivileged
// owner in a child process.
bool OwnerCanWrite(const ioPath& path) {
  const std::string native = path.platformString();
  const bool asRoot = ::geteuid() == 0;
  constexpr uid_t kNobody = 65534;
  if (asRoot && (::chown(native.c_str(), kNobody, kNobody) != 0 ||
                 ::chmod(path.parent_path().platformString().c_str(), 0711) != 0)) {
    return false;
  }
  return support::RunInChild([&] {
           if (asRoot && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) return 2;
           const int fd = ::open(native.c_str(), O_WRONLY);
           if (fd < 0) return 1;
           ::close(fd);
           return 0;
         }) == 0;
}

TEST_F(SetPathAttributeTest, ReadOnlyStopsTheOwnerWritingUntilCleared) {
  const ioPath file = dir_ / "file";
  support::WriteFile(file, "x");
  ASSERT_TRUE(OwnerCanWrite(file));
  ASSERT_TRUE(SetPathAttribute(file, PathAttribute::ReadOnly));
  EXPECT_FALSE(OwnerCanWrite(file));
  ASSERT_TRUE(SetPathAttribute(file, PathAttribute::Normal));
  EXPECT_TRUE(OwnerCanWrite(file));
}

TEST_F(SetPathAttributeTest, MissingPathIsFalse) {
  EXPECT_FALSE(SetPathAttribute(dir_ / "missing", PathAttribute::ReadOnly));
  EXPECT_FALSE(SetPathAttribute(dir_ / "missing", PathAttribute::Normal));
}

// Sets or unsets environment variables for one test and restores them.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
  }
  ~ScopedEnvironment() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  void Set(const char* value) const {
    if (value) {
      ::setenv(name_, value, 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

std::string PasswordDatabaseHome() {
  const passwd* entry = ::getpwuid(::geteuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST(GetSystemCacheRoot, FollowsTheXdgRules) {
  const ScopedEnvironment cacheHome("XDG_CACHE_HOME");
  const ScopedEnvironment home("HOME");
  struct Row {
    const char* what;
    const char* cacheHome;
    const char* home;
    std::string expected;
  };
  const std::string fallback = PasswordDatabaseHome().empty() ? "" : PasswordDatabaseHome() + "/.cache";
  const Row rows[] = {
      {"absolute XDG_CACHE_HOME wins", "/srv/cache/", "/home/someone", "/srv/cache/"},
      {"relative XDG_CACHE_HOME is ignored", "relative/cache", "/home/someone", "/home/someone/.cache"},
      {"empty XDG_CACHE_HOME is ignored", "", "/home/someone", "/home/someone/.cache"},
      {"HOME alone", nullptr, "/home/someone", "/home/someone/.cache"},
      {"relative HOME is ignored", nullptr, "someone", fallback},
      {"neither: the password database", nullptr, nullptr, fallback},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    cacheHome.Set(row.cacheHome);
    home.Set(row.home);
    EXPECT_EQ(GetSystemCacheRoot().platformString(), row.expected);
  }
}

TEST(GetSystemCacheRoot, EmptyForAUserWithoutHome) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a password entry";
  uid_t unknown = 54321;
  while (::getpwuid(unknown) != nullptr) ++unknown;
  EXPECT_EQ(support::RunInChild([&] {
              ::unsetenv("XDG_CACHE_HOME");
              ::unsetenv("HOME");
              if (::setuid(unknown) != 0) return 2;
              return GetSystemCacheRoot().empty() ? 0 : 1;
            }),
            0);
}

}  // namespace
}  // namespace Tarnix::Core
