// Junctions: the 255-character rule and the messages of each refusal, that
// operations touch only the link, and the on-disk record byte by byte.
#include "Filesystem/Junction.h"
#include "Filesystem/internal/ReparseRecord.h"

#include "support/Test.h"

#include <boost/lexical_cast.hpp>

namespace Tarnix::Core {
namespace {
using Texts = std::vector<std::string>;

std::string Quoted(const ioPath& path) { return boost::lexical_cast<std::string>(path); }

class JunctionTest : public ::Tarnix::Test::TempDirTest {
 protected:
  Texts Logged() const {  // every record as "<severity> <text>", each checked to come from Junction.cpp
    Texts texts;
    for (const auto& record : log_.records()) {
      EXPECT_EQ(record.file, "Junction.cpp");
      texts.push_back(google::GetLogSeverityName(record.severity) + (" " + record.text));
    }
    return texts;
  }
  ::Tarnix::Test::LogCapture log_;
};

// The limit is checked before anything is made, so it holds wherever
// junctions can be made at all (the test below makes one of 255).
TEST_F(JunctionTest, TargetsOver255CharactersAreRefused) {
  const auto target = dir_ / std::string(256 - dir_.path().utf8string().size() - 1, 'a');
  EXPECT_FALSE(Junction(dir_ / "refused").create(target));
  EXPECT_FALSE(Junction(dir_ / "refused").exists());
  EXPECT_EQ(Logged(), (Texts{"WARNING The path is not a directory: " + Quoted(target),
                             "ERROR Can't create junction. Target path is too long: " + Quoted("\\??\\" + target)}));
}

// A dangling target of 255 characters is made on demand.
TEST_F(JunctionTest, OperationsTouchOnlyTheLink) {
  LUM_SKIP_UNDER_WINE("FSCTL_SET_REPARSE_POINT (junctions cannot be made)");
  const ioPath longest = dir_ / std::string(255 - dir_.path().utf8string().size() - 1, 'a');
  Junction fits(dir_ / "fits");
  EXPECT_TRUE(fits.create(longest));
  EXPECT_EQ(fits.targetPath(), longest);
  EXPECT_FALSE(fits.targetExists());
  EXPECT_TRUE(fits.makeTargetDir());
  EXPECT_TRUE(fits.targetExists());

  const ioPath target = dir_ / "target";
  ASSERT_TRUE(ioPath::create_directory(target));
  ::Tarnix::Test::WriteFile(target / "kept", "kept");
  Junction link(dir_ / "link");
  ASSERT_TRUE(link.create(target));
  EXPECT_FALSE(Junction(target).create(dir_.path()));  // over an existing path
  EXPECT_FALSE(link.copy(target));                      // onto an existing path
  EXPECT_FALSE(Junction(target).copy(dir_ / "b"));      // from a plain directory
  EXPECT_FALSE(Junction::isJunction(target));           // silently
  EXPECT_FALSE(Junction::isJunction(dir_ / "missing"));
  EXPECT_EQ(Logged(), (Texts{"WARNING The path is not a directory: " + Quoted(longest),
                             "ERROR Can't create junction. The path already exists: " + Quoted(target),
                             "ERROR Can't copy junction. The path already exists: " + Quoted(target),
                             "ERROR Can't copy junction. The path is not a junction: " + Quoted(target),
                             "ERROR Can't open file " + Quoted(dir_ / "missing") + " with error 2"}));
  EXPECT_TRUE(link.copy(dir_ / "copy"));
  EXPECT_EQ(Junction(dir_ / "copy").targetPath(), target);
  EXPECT_TRUE(link.rename(dir_ / "renamed"));
  EXPECT_EQ(link.path(), dir_ / "link");
  EXPECT_FALSE(link.exists());
  Junction renamed(dir_ / "renamed");
  EXPECT_EQ(renamed.targetPath(), target);
  EXPECT_TRUE(renamed.remove());
  EXPECT_FALSE(renamed.exists());
  EXPECT_EQ(::Tarnix::Test::ReadFile(dir_ / "copy" / "kept"), "kept");
}

// The on-disk form of a junction, byte by byte against the layout in ReparseRecord.h.
TEST(ReparseRecord, MountPointRecordIsByteExact) {
  const std::u16string target = u"\\??\\C:\\D";  // n = 8
  internal::ReparseBuffer buffer;
  buffer.fill(0xEE);  // stale bytes must not survive
  ASSERT_EQ(internal::BuildMountPointRecord(target, buffer), 52u);  // 4n + 20
  std::vector<std::uint8_t> expected = {0x03, 0x00, 0x00, 0xA0, 44, 0, 0, 0,  // tag, data length 4n + 12, reserved
                                        0, 0, 16, 0, 18, 0, 16, 0};  // name offsets 0 and 2n + 2, 2n bytes each
  for (int name = 0; name < 2; ++name) {  // substitute, then print name: T and a NUL each
    for (char16_t c : target + u'\0') expected.insert(expected.end(), {static_cast<std::uint8_t>(c), 0});
  }
  expected.resize(buffer.size(), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.end()), expected);
  EXPECT_EQ(internal::StripNtObjectPrefix(internal::SubstituteName(buffer)), u"C:\\D");
  ASSERT_NE(internal::BuildMountPointRecord(u"C:\\??\\x", buffer), 0u);  // no prefix: read back unchanged
  EXPECT_EQ(internal::StripNtObjectPrefix(internal::SubstituteName(buffer)), u"C:\\??\\x");
}

#ifdef _WIN32
// --- Windows only: where the system refuses to write the reparse point -------
// Wine answers FSCTL_SET_REPARSE_POINT with error 50, "not supported": create
// leaves nothing behind and says why.
TEST_F(JunctionTest, RefusedCreationRemovesTheNewDirectoryAndLogsTheError) {
  if (!::Tarnix::Test::UnderWine()) GTEST_SKIP() << "Windows writes the reparse point: the tests above cover it";
  const ioPath target = dir_ / "target";
  ASSERT_TRUE(ioPath::create_directory(target));
  Junction link(dir_ / "link");
  EXPECT_FALSE(link.create(target));
  EXPECT_FALSE(link.exists()) << "the directory made for the junction must go again";
  EXPECT_EQ(Logged(), (Texts{"ERROR Can't create junction " + Quoted(link.path()) + " with error 50",
                             "ERROR Junction configuration failed. Junction: " + Quoted(link.path()) +
                                 " target: " + Quoted(target)}));
}
#endif

}  // namespace
}  // namespace Tarnix::Core
