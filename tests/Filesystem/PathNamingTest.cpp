#include "Filesystem/PathNaming.h"

#include "support/Test.h"

#include <utf8.h>

namespace Tarnix::Core {
namespace {

// `n` times é, two bytes of UTF-8 each.
std::string Es(std::size_t n) { return utf8::utf32to8(std::u32string(n, U'\u00E9')); }

using PathNamingTest = Tarnix::Test::TempDirTest;

TEST_F(PathNamingTest, DirectorySuffixMatchesLastElementIgnoringAsciiCase) {
  EXPECT_EQ(RemoveDirectorySuffixIfRequired("/x/Data", "DATA"), ioPath("/x"));
  EXPECT_EQ(RemoveDirectorySuffixIfRequired("/x/Data", "dat"), ioPath("/x/Data"));
  EXPECT_EQ(RemoveDirectorySuffixIfRequired("/x/" + Es(1), "\xC3\x89"), ioPath("/x/" + Es(1)));  // é is not É
  ASSERT_TRUE(ioPath::create_directories(dir_ / "DATA" / "data"));
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_.path(), "DATA"), dir_ / "DATA");
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_ / "DATA", "data"), dir_ / "DATA");  // already there
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_.path(), "missing"), dir_.path());
}

TEST(CheckValidFilename, LengthLimitAndWindowsNameRule) {
  const std::pair<std::string, bool> cases[] = {
      {"", false},           {"/" + std::string(254, 'a'), true}, {"/" + std::string(255, 'a'), false},
      {"/" + Es(127), true}, {"/" + Es(127) + "a", false},        {"out/..", true},
      {"out/clip.", false},  {"out/clip ", false},  {"out/ clip", false},  {"out/a:b", false},
      {"out/a|b", false},    {"out/a\x1F", false},
      {"x|:/clip", true},  // only the last element follows the name rule
#ifndef _WIN32
      {"out/a\\b", false},  // on Windows the backslash separates elements
#endif
  };
  for (const auto& [path, valid] : cases) EXPECT_EQ(CheckValidFilename(ioPath(path)), valid) << '"' << path << '"';
}

TEST_F(PathNamingTest, UpdateFilePathIfExistNumbersAndRepairsNames) {
  const ioPath out = dir_ / "out";
  const std::size_t room = 255 - out.utf8string().size() - std::string("/.mp4").size();  // for a long stem
  // out/`start` ("": the directory out) with out/`existing` on disk and out/`reserved` reserved.
  const struct { std::string start, ext; std::vector<std::string> existing, reserved; std::string expected; } rows[] = {
      {"clip.avi", "", {}, {}, "clip"},
      {"clip", "mp4", {"clip.mp4", "clip (2).mp4"}, {}, "clip (1).mp4"},
      {"clip", ".mp4", {"clip.mp4"}, {"clip (1).mp4"}, "clip (2).mp4"},
      // One counter per call: after the reserved (1), the next search starts at (2).
      {"clip", "mp4", {"clip (2).mp4"}, {"clip.mp4", "clip (1).mp4"}, "clip (3).mp4"},
      {"", "mp4", {"(1).mp4"}, {}, "(1) (1).mp4"},
      {".mp4", "mp4", {"(1).mp4"}, {}, "(1) (1).mp4"},
      {"   clip", "mp4", {"clip.mp4"}, {}, "clip (1).mp4"},
      {"a:bc", "mp4", {}, {}, "a.mp4"},  // shortened from the end until valid
      // Over 255 bytes: whole characters come off the end of the stem; invalid UTF-8 becomes '-'.
      {Es(200), "mp4", {}, {}, Es(room / 2) + ".mp4"},
#ifndef _WIN32  // on Windows invalid UTF-8 becomes U+FFFD on its way into the path
      {"\xFF" + Es(200), "mp4", {}, {}, "-" + Es((room - 1) / 2) + ".mp4"},
#endif
      // Repairing a name never removes its number again; a shortened name keeps the whole path short.
      {"clip:", "mp4", {}, {"clip.mp4"}, "clip (1).mp4"},
      {Es(200), "mp4", {}, {Es(room / 2) + ".mp4"}, Es((room - 4) / 2) + " (1).mp4"},
      {"clip", "tar.gz", {"clip.tar.gz"}, {}, "clip (1).tar.gz"},  // the number goes before the whole extension
      // Nothing usable left (forbidden characters, dots, spaces): the name is "(1)", as for an empty one.
      {"...", "", {}, {}, "(1)"},
      {":::", "mp4", {".mp4", "(1).mp4"}, {}, "(1) (1).mp4"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("\"" + row.start + "\" -> " + row.expected);
    ioPath::remove_all(out);
    ioPath::create_directory(out);
    for (const std::string& name : row.existing) Tarnix::Test::WriteFile(out / ioPath(name), "");
    std::set<ioPath> reserved;
    for (const std::string& name : row.reserved) reserved.insert(out / ioPath(name));
    ioPath path = row.start.empty() ? out : out / ioPath(row.start);
    UpdateFilePathIfExist(&reserved, row.start.empty(), row.ext, &path);
    EXPECT_EQ(path, out / ioPath(row.expected));
  }
}

TEST_F(PathNamingTest, UpdateFilePathIfExistWithLongParentKeepsValidNameButCannotShortenInvalidOne) {
  const ioPath parent = dir_ / "out" / std::string(250, 'p');
  ioPath path = parent / "clip";
  UpdateFilePathIfExist(nullptr, false, "mp4", &path);
  EXPECT_EQ(path, parent / "clip.mp4");  // the name alone is tested first
  path = parent / "clip|";
  EXPECT_THROW(UpdateFilePathIfExist(nullptr, false, "mp4", &path), utf8::not_enough_room);
}

TEST(MakeDirectoryToFileListMap, GroupsByParentInInputOrderWithoutDuplicates) {
  const std::map<ioPath, std::vector<ioPath>> expected = {
      {"", {"loose"}}, {"A", {"A/x"}}, {"a", {"a/x", "a/z", "a/y"}}, {"b", {"b/y"}}};
  EXPECT_EQ(MakeDirectoryToFileListMap({"a/x", "b/y", "a/z", "a/x", "A/x", "loose", "a/y"}), expected);
}

}  // namespace
}  // namespace Tarnix::Core
