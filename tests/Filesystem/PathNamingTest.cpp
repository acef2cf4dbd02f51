#include "Filesystem/PathNaming.h"

#include "support/TempDir.h"

#include <utf8.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

using Tarnix::Test::TempDirTest;

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string result;
  for (std::size_t i = 0; i < times; ++i) result += piece;
  return result;
}

TEST(DirectorySuffix, RemovedWhenLastElementMatchesIgnoringAsciiCase) {
  struct Case {
    const char* path;
    const char* suffix;
    const char* expected;
  };
  const Case cases[] = {
      {"/x/Data", "data", "/x"},
      {"/x/Data", "DATA", "/x"},
      {"/x/Data", "dat", "/x/Data"},
      {"/x/Data", "ata", "/x/Data"},
      {"/x/\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", "/x/\xC3\xA9t\xC3\xA9"},  // été vs ÉTÉ: only ASCII folds
      {"Data", "data", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " - " + c.suffix);
    EXPECT_EQ(RemoveDirectorySuffixIfRequired(ioPath(c.path), c.suffix), ioPath(c.expected));
  }
}

using DirectorySuffixOnDisk = TempDirTest;

TEST_F(DirectorySuffixOnDisk, AddedOnlyWhenItExistsAndIsNotThereYet) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "a" / "data"));
  ASSERT_TRUE(ioPath::create_directories(dir_ / "a" / "DATA" / "data"));
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_ / "a", "data"), dir_ / "a" / "data");
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_ / "a", "missing"), dir_ / "a");
  EXPECT_EQ(AddDirectorySuffixIfRequired(dir_ / "a" / "DATA", "data"), dir_ / "a" / "DATA");
}

TEST(CheckValidFilename, AppliesLengthLimitAndWindowsNameRule) {
  const std::string e = "\xC3\xA9";  // two bytes of UTF-8
  struct Case {
    std::string path;
    bool valid;
  };
  const Case cases[] = {
      {"", false},
      {"/" + std::string(254, 'a'), true},
      {"/" + std::string(255, 'a'), false},
      {"/" + Repeat(e, 127), true},
      {"/" + Repeat(e, 127) + "a", false},
      {"out/clip.mp4", true},
      {"out/..", true},
      {"out/clip.", false},
      {"out/clip ", false},
      {"out/ clip", false},
      {"out/a:b", false},
      {"out/a|b", false},
      {"out/a\\b", false},  // one element on Linux, still refused
      {"out/a\"b", false},
      {"out/a<b>", false},
      {"out/a\x1F", false},
      {"c:/x|y/clip", true},  // only the last element is checked
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.path + "\"");
    EXPECT_EQ(CheckValidFilename(ioPath(c.path)), c.valid);
  }
}

class UpdateFilePathIfExistTest : public TempDirTest {
 protected:
  UpdateFilePathIfExistTest() { ioPath::create_directory(out_); }

  // Runs UpdateFilePathIfExist on out/`start` with out/`existing` on disk and
  // out/`reserved` reserved; returns the result relative to out.
  std::string Run(const std::string& start,
                  const std::string& extension,
                  const std::vector<std::string>& existing = {},
                  const std::vector<std::string>& reserved = {},
                  bool pathIsDirectory = false) {
    ioPath::remove_all(out_);
    ioPath::create_directory(out_);
    for (const std::string& name : existing) Tarnix::Test::WriteFile(out_ / ioPath(name), "");
    std::set<ioPath> reservedPaths;
    for (const std::string& name : reserved) reservedPaths.insert(out_ / ioPath(name));
    ioPath path = start.empty() ? out_ : out_ / ioPath(start);
    UpdateFilePathIfExist(&reservedPaths, pathIsDirectory, extension, &path);
    EXPECT_EQ(path.parent_path(), out_);
    return path.filename().utf8string();
  }

  const ioPath out_ = dir_ / "out";
};

TEST_F(UpdateFilePathIfExistTest, NumbersPastExistingAndReservedNames) {
  struct Case {
    const char* name;
    std::string start;
    std::string extension;
    std::vector<std::string> existing;
    std::vector<std::string> reserved;
    bool pathIsDirectory;
    std::string expected;
  };
  const Case cases[] = {
      {"free", "clip", "mp4", {}, {}, false, "clip.mp4"},
      {"extension replaced", "clip.avi", ".mp4", {}, {}, false, "clip.mp4"},
      {"extension removed", "clip.avi", "", {"clip"}, {}, false, "clip (1)"},
      {"two taken", "clip", "mp4", {"clip.mp4", "clip (1).mp4"}, {}, false, "clip (2).mp4"},
      {"gap is used", "clip", "mp4", {"clip.mp4", "clip (2).mp4"}, {}, false, "clip (1).mp4"},
      {"reserved only", "clip", "mp4", {}, {"clip.mp4"}, false, "clip (1).mp4"},
      {"existing then reserved", "clip", "mp4", {"clip.mp4"}, {"clip (1).mp4"}, false, "clip (2).mp4"},
      // The counter carries on between searches: after (1) is reserved, (2) is tried next.
      {"reserved chain", "clip", "mp4", {"clip (2).mp4"}, {"clip.mp4", "clip (1).mp4"}, false, "clip (3).mp4"},
      {"directory start", "", ".mp4", {}, {}, true, "(1).mp4"},
      {"directory start taken", "", ".mp4", {"(1).mp4"}, {}, true, "(1) (1).mp4"},
      {"all extension", ".mp4", "mp4", {}, {}, false, "(1).mp4"},
      {"all extension, (1) taken", ".mp4", "mp4", {"(1).mp4"}, {}, false, "(1) (1).mp4"},
      {"all extension taken", ".mp4", "mp4", {".mp4"}, {}, false, "(1).mp4"},
      {"leading spaces", "   clip", "mp4", {}, {}, false, "clip.mp4"},
      {"leading spaces, name taken", "   clip", "mp4", {"clip.mp4"}, {}, false, "clip (1).mp4"},
      {"invalid character cut from the end", "a:bc", "mp4", {}, {}, false, "a.mp4"},
      {"trailing space", "clip ", "", {}, {}, false, "clip"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(c.start, c.extension, c.existing, c.reserved, c.pathIsDirectory), c.expected);
  }
}

TEST_F(UpdateFilePathIfExistTest, NullPathOrReservedSetIsAccepted) {
  UpdateFilePathIfExist(nullptr, true, "mp4", nullptr);
  ioPath path = out_ / "clip";
  UpdateFilePathIfExist(nullptr, false, "mp4", &path);
  EXPECT_EQ(path, out_ / "clip.mp4");
}

TEST_F(UpdateFilePathIfExistTest, OverlongNameIsShortenedByWholeCharacters) {
  const std::string e = "\xC3\xA9";
  const std::size_t room = 255 - out_.utf8string().size() - 1 - 4;  // bytes left for the stem
  struct Case {
    const char* name;
    std::string stem;
    std::string expectedStem;
  };
  const Case cases[] = {
      {"two-byte characters", Repeat(e, 200), Repeat(e, room / 2)},
      {"invalid byte becomes '-'", "\xFF" + Repeat(e, 200), "-" + Repeat(e, (room - 1) / 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ioPath path = out_ / ioPath(c.stem);
    UpdateFilePathIfExist(nullptr, false, "mp4", &path);
    EXPECT_EQ(path, out_ / ioPath(c.expectedStem + ".mp4"));
    EXPECT_TRUE(CheckValidFilename(path));
  }
}

TEST_F(UpdateFilePathIfExistTest, LongParentKeepsValidNameButCannotShortenInvalidOne) {
  const ioPath parent = out_ / ioPath(std::string(250, 'p'));
  ioPath path = parent / "clip";
  UpdateFilePathIfExist(nullptr, false, "mp4", &path);
  EXPECT_EQ(path, parent / "clip.mp4");  // the name alone is tested first

  path = parent / "clip|";
  try {
    UpdateFilePathIfExist(nullptr, false, "mp4", &path);
    ADD_FAILURE() << "no exception";
  } catch (const utf8::not_enough_room& e) {
    EXPECT_STREQ(e.what(), "Not enough space");
  }
  EXPECT_EQ(path, parent / "clip|.mp4");
}

TEST(MakeDirectoryToFileListMap, GroupsByParentInInputOrderWithoutDuplicates) {
  const std::vector<ioPath> files = {"a/x", "b/y", "a/z", "a/x", "A/x", "loose", "a/y"};
  const std::map<ioPath, std::vector<ioPath>> expected = {
      {ioPath(""), {"loose"}},
      {ioPath("A"), {"A/x"}},
      {ioPath("a"), {"a/x", "a/z", "a/y"}},
      {ioPath("b"), {"b/y"}},
  };
  EXPECT_EQ(MakeDirectoryToFileListMap(files), expected);
  EXPECT_TRUE(MakeDirectoryToFileListMap({}).empty());
}

}  // namespace
}  // namespace Tarnix::Core
