#include "Filesystem/ShellOperations.h"
#include "Filesystem/internal/PathAttribute.h"

#include "support/TempDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace Tarnix::Core {
namespace {

TEST(PathAttributeTranslation, EveryBitAndCombination) {
  const std::pair<std::uint32_t, std::uint32_t> rows[] = {
      {0x00, 0x80},   {0x01, 0x1},    {0x02, 0x2},    {0x04, 0x4},          {0x08, 0x20}, {0x10, 0x100},
      {0x20, 0x1000}, {0x40, 0x2000}, {0x03, 0x3},    {0x7F, 0x3127},       // combinations
      {0x80, 0x0},    {0xFFFFFF88, 0x20}};  // bits above 0x40 ignored: alone they are the empty set
  for (const auto& [bits, windows] : rows) {
    SCOPED_TRACE(bits);
    EXPECT_EQ(internal::ToWindowsAttributes(static_cast<PathAttribute>(bits)), windows);
  }
}

class SetPathAttributeTest : public ::Tarnix::Test::TempDirTest {};

// Root ignores the permission bits, so the effect is checked on the bits.
TEST_F(SetPathAttributeTest, ReadOnlyMapsOntoTheWriteBits) {
  const struct {
    bool directory;
    mode_t before;
    std::uint32_t bits;
    mode_t after;
  } rows[] = {{false, 0666, 0x01, 0444},  {false, 0664, 0x03, 0444},  {true, 0775, 0x01, 0555},
                      {false, 0444, 0x00, 0644},  {false, 0440, 0x06, 0640},  {false, 0640, 0x08, 0640},
                      {false, 0444, 0x80, 0644},  {false, 0644, 0x81, 0444}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << std::oct << row.before << " with 0x" << std::hex << row.bits);
    const ioPath path = dir_ / "entry";
    ioPath::remove_all(path);
    row.directory ? (void)ioPath::create_directory(path) : ::Tarnix::Test::WriteFile(path, "x");
    ASSERT_EQ(::chmod(path.platformString().c_str(), row.before), 0);
    EXPECT_TRUE(SetPathAttribute(path, static_cast<PathAttribute>(row.bits)));
    struct stat status {};
    EXPECT_EQ(::stat(path.platformString().c_str(), &status) == 0 ? status.st_mode & 07777 : 0, row.after);
  }
  EXPECT_FALSE(SetPathAttribute(dir_ / "missing", PathAttribute::ReadOnly));
}

TEST(GetSystemCacheRoot, FollowsTheXdgRules) {
  const passwd* user = ::getpwuid(::geteuid());
  const std::string fromDatabase = user && user->pw_dir[0] == '/' ? std::string(user->pw_dir) + "/.cache" : "";
  const struct {
    const char* cacheHome;
    const char* home;
    std::string expected;
  } rows[] = {{"/srv/cache", "/home/u", "/srv/cache"},
              {"relative/cache", "/home/u", "/home/u/.cache"},
              {nullptr, "/home/u", "/home/u/.cache"},
              {nullptr, nullptr, fromDatabase}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    row.cacheHome ? ::setenv("XDG_CACHE_HOME", row.cacheHome, 1) : ::unsetenv("XDG_CACHE_HOME");
    row.home ? ::setenv("HOME", row.home, 1) : ::unsetenv("HOME");
    EXPECT_EQ(GetSystemCacheRoot().platformString(), row.expected);
  }
}

}  // namespace
}  // namespace Tarnix::Core
