#include "Filesystem/PathNaming.h"

#include "support/TempDir.h"

#include <utf8.h>

#include <gtest/gtest.h>

namespace Tarnix::Core {
namespace {

const std::string kE = "\xC3\xA9";  // é, two bytes of UTF-8

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string result;
  while (times-- > 0) result += piece;
  return result;
}

using DirectorySuffix = Tarnix::Test::TempDirTest;

TEST_F(DirectorySuffix, MatchesLastElementIgnoringAsciiCase) {
  EXPECT_EQ(RemoveDirectorySuffixIfRequired("/x/Data", "DATA"), ioPath("/x"));
  EXPECT_EQ(RemoveDirectorySuffixIfRequired("/x/Data", "dat"), ioPath("/x/Data"));
  EXPECT_EQ(RemoveDirectorySuffixIfRequired("/x/" + kE, "\xC3\x89"), ioPath("/x/" + kE));  // é is not É
  ASSERT_TRUE(ioPath::create_directories(dir_ / "DATA" / "data"));
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_.path(), "DATA"), dir_ / "DATA");
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_ / "DATA", "data"), dir_ / "DATA");  // already there
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_.path(), "missing"), dir_.path());
}

TEST(CheckValidFilename, LengthLimitAndWindowsNameRule) {
  const std::pair<std::string, bool> cases[] = {
      {"", false},           {"/" + std::string(254, 'a'), true}, {"/" + std::string(255, 'a'), false},
      {"/" + Repeat(kE, 127), true},        {"/" + Repeat(kE, 127) + "a", false},
      {"out/..", true},      {"out/clip.", false},  {"out/clip ", false},   {"out/ clip", false},
      {"out/a:b", false},    {"out/a|b", false},    {"out/a\\b", false},    {"out/a\x1F", false},
      {"x|:/clip", true},  // only the last element follows the name rule
  };
  for (const auto& [path, valid] : cases) EXPECT_EQ(CheckValidFilename(ioPath(path)), valid) << '"' << path << '"';
}

class UpdateFilePathIfExistTest : public Tarnix::Test::TempDirTest {
 protected:
  // The name chosen for out/`start` with out/`existing` on disk and out/`reserved` reserved.
  std::string Run(const std::string& start, const std::string& extension,
                  const std::vector<std::string>& existing = {}, const std::vector<std::string>& reserved = {}) {
    ioPath::remove_all(out_);
    ioPath::create_directory(out_);
    for (const std::string& name : existing) Tarnix::Test::WriteFile(out_ / ioPath(name), "");
    std::set<ioPath> reservedPaths;
    for (const std::string& name : reserved) reservedPaths.insert(out_ / ioPath(name));
    ioPath path = start.empty() ? out_ : out_ / ioPath(start);
    UpdateFilePathIfExist(&reservedPaths, start.empty(), extension, &path);
    EXPECT_EQ(path.parent_path(), out_);
    return path.filename().utf8string();
  }

  const ioPath out_ = dir_ / "out";
};

TEST_F(UpdateFilePathIfExistTest, NumbersPastExistingAndReservedNames) {
  EXPECT_EQ(Run("clip", "mp4"), "clip.mp4");
  EXPECT_EQ(Run("clip.avi", ""), "clip");
  EXPECT_EQ(Run("clip", ".mp4", {"clip.mp4", "clip (1).mp4"}), "clip (2).mp4");
  EXPECT_EQ(Run("clip", "mp4", {"clip.mp4", "clip (2).mp4"}), "clip (1).mp4");
  EXPECT_EQ(Run("clip", "mp4", {}, {"clip.mp4"}), "clip (1).mp4");
  EXPECT_EQ(Run("clip", "mp4", {"clip.mp4"}, {"clip (1).mp4"}), "clip (2).mp4");
  // One counter per call: after the reserved (1), the next search starts at (2).
  EXPECT_EQ(Run("clip", "mp4", {"clip (2).mp4"}, {"clip.mp4", "clip (1).mp4"}), "clip (3).mp4");
  EXPECT_EQ(Run("", "mp4"), "(1).mp4");  // a directory: "(1)" inside it
  EXPECT_EQ(Run("", "mp4", {"(1).mp4"}), "(1) (1).mp4");
}

TEST_F(UpdateFilePathIfExistTest, MakesNamesValid) {
  EXPECT_EQ(Run(".mp4", "mp4"), "(1).mp4");
  EXPECT_EQ(Run(".mp4", "mp4", {".mp4"}), "(1).mp4");
  EXPECT_EQ(Run(".mp4", "mp4", {"(1).mp4"}), "(1) (1).mp4");
  EXPECT_EQ(Run("   clip", "mp4"), "clip.mp4");
  EXPECT_EQ(Run("   clip", "mp4", {"clip.mp4"}), "clip (1).mp4");
  EXPECT_EQ(Run("a:bc", "mp4"), "a.mp4");  // shortened from the end until valid
  // Over 255 bytes: whole characters come off the end of the stem; invalid UTF-8 becomes '-'.
  const std::size_t room = 255 - out_.utf8string().size() - std::string("/.mp4").size();
  EXPECT_EQ(Run(Repeat(kE, 200), "mp4"), Repeat(kE, room / 2) + ".mp4");
  EXPECT_EQ(Run("\xFF" + Repeat(kE, 200), "mp4"), "-" + Repeat(kE, (room - 1) / 2) + ".mp4");
}

TEST_F(UpdateFilePathIfExistTest, LongParentKeepsValidNameButCannotShortenInvalidOne) {
  const ioPath parent = out_ / ioPath(std::string(250, 'p'));
  ioPath path = parent / "clip";
  UpdateFilePathIfExist(nullptr, false, "mp4", &path);
  EXPECT_EQ(path, parent / "clip.mp4");  // the name alone is tested first
  path = parent / "clip|";
  EXPECT_THROW(UpdateFilePathIfExist(nullptr, false, "mp4", &path), utf8::not_enough_room);
  EXPECT_EQ(path, parent / "clip|.mp4");
  UpdateFilePathIfExist(nullptr, false, "mp4", nullptr);
}

TEST(MakeDirectoryToFileListMap, GroupsByParentInInputOrderWithoutDuplicates) {
  const std::map<ioPath, std::vector<ioPath>> expected = {
      {"", {"loose"}}, {"A", {"A/x"}}, {"a", {"a/x", "a/z", "a/y"}}, {"b", {"b/y"}}};
  EXPECT_EQ(MakeDirectoryToFileListMap({"a/x", "b/y", "a/z", "a/x", "A/x", "loose", "a/y"}), expected);
  EXPECT_TRUE(MakeDirectoryToFileListMap({}).empty());
}

}  // namespace
}  // namespace Tarnix::Core
