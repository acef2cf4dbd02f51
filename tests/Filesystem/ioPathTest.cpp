// The path algebra of ioPath: construction, conversion, joining, decomposition,
// comparison and streaming. Nothing here touches the disk.
#include "Filesystem/ioPath.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <set>
#include <sstream>

namespace Tarnix {
namespace {

std::string Streamed(const ioPath& p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

TEST(ioPath, EmptyAndMovedFromPathsAreEmptyEverywhere) {
  ioPath source("/dir/file");
  ioPath moved(std::move(source));
  ioPath assigned;
  assigned = std::move(moved);

  ioPath& alias = assigned;  // self-assignment, by copy and by move, changes nothing
  assigned = alias;
  assigned = std::move(alias);
  EXPECT_EQ(assigned.utf8string(), "/dir/file");
  ioPath empty;
  empty.swap(assigned);
  EXPECT_EQ(empty.utf8string(), "/dir/file");

  for (const ioPath* p : {&source, &moved, &assigned}) {
    EXPECT_TRUE(p->empty());
    EXPECT_TRUE(p->is_relative());
    EXPECT_FALSE(p->has_filename());
    EXPECT_FALSE(p->has_root_path());
    EXPECT_EQ(p->utf8string(), "");
    EXPECT_EQ(p->wstring(), L"");
    EXPECT_EQ(Streamed(*p), "\"\"");
    EXPECT_TRUE(p->filename().empty());
  }
}

TEST(ioPath, DecompositionFollowsVersion3Rules) {
  struct Row {
    const char* path;
    const char* rootName;
    const char* rootDirectory;
    const char* relativePath;
    const char* parentPath;
    const char* filename;
    const char* stem;
    const char* extension;
    bool absolute;
  };
  const Row rows[] = {
      {"/dir/file.tar.gz", "", "/", "dir/file.tar.gz", "/dir", "file.tar.gz", "file.tar", ".gz", true},
      {"//server/share/x.txt", "//server", "/", "share/x.txt", "//server/share", "x.txt", "x", ".txt", true},
      {"dir/a.b", "", "", "dir/a.b", "dir", "a.b", "a", ".b", false},
      {".profile", "", "", ".profile", "", ".profile", "", ".profile", false},
      {"/dir/", "", "/", "dir/", "/dir", ".", ".", "", true},
      {"/", "", "/", "", "", "/", "/", "", true},
      {"..", "", "", "..", "", "..", "..", "", false},
      {"", "", "", "", "", "", "", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const ioPath p(row.path);
    EXPECT_EQ(p.root_name().utf8string(), row.rootName);
    EXPECT_EQ(p.root_directory().utf8string(), row.rootDirectory);
    EXPECT_EQ(p.root_path().utf8string(), std::string(row.rootName) + row.rootDirectory);
    EXPECT_EQ(p.relative_path().utf8string(), row.relativePath);
    EXPECT_EQ(p.parent_path().utf8string(), row.parentPath);
    EXPECT_EQ(p.filename().utf8string(), row.filename);
    EXPECT_EQ(p.stem().utf8string(), row.stem);
    EXPECT_EQ(p.extension().utf8string(), row.extension);
    EXPECT_EQ(ioPath::extension(p).utf8string(), row.extension);
    EXPECT_EQ(p.is_absolute(), row.absolute);
    EXPECT_EQ(p.is_relative(), !row.absolute);
    EXPECT_EQ(p.has_filename(), !p.empty());
    EXPECT_EQ(p.has_stem(), *row.stem != '\0');
    EXPECT_EQ(p.has_extension(), *row.extension != '\0');
    EXPECT_EQ(p.has_parent_path(), *row.parentPath != '\0');
    EXPECT_EQ(p.has_relative_path(), *row.relativePath != '\0');
  }
}

TEST(ioPath, JoinAddsOneSeparatorAndConcatenationNone) {
  struct Row {
    const char* lhs;
    const char* rhs;
    const char* joined;
    const char* concatenated;
  };
  const Row rows[] = {
      {"/dir", "file", "/dir/file", "/dirfile"},
      {"/dir/", "file", "/dir/file", "/dir/file"},
      {"/dir", "/file", "/dir/file", "/dir/file"},
      {"", "file", "file", "file"},
      {"/dir", "", "/dir", "/dir"},
      {"/cache/item", ".tmp", "/cache/item/.tmp", "/cache/item.tmp"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.lhs) + " with " + row.rhs);
    const ioPath lhs(row.lhs);
    EXPECT_EQ((lhs / ioPath(row.rhs)).utf8string(), row.joined);
    EXPECT_EQ((lhs + ioPath(row.rhs)).utf8string(), row.concatenated);
    EXPECT_EQ(lhs.utf8string(), row.lhs) << "operands must not change";
  }
}

TEST(ioPath, ComparisonIsElementWiseAndCaseSensitive) {
  EXPECT_EQ(ioPath("/a//b"), ioPath("/a/b"));
  EXPECT_NE(ioPath("/a"), ioPath("/A"));
  EXPECT_NE(ioPath("/dir/"), ioPath("/dir"));
  // Element "a" sorts before element "a-b", unlike the plain strings.
  EXPECT_LT(ioPath("/a/z"), ioPath("/a-b"));
  EXPECT_FALSE(ioPath("/a-b") < ioPath("/a/z"));

  const std::set<ioPath> ordered{ioPath("/a-b"), ioPath("/a/z"), ioPath("/a//z")};
  ASSERT_EQ(ordered.size(), 2u);
  EXPECT_EQ(ordered.begin()->utf8string(), "/a/z");
}

TEST(ioPath, StreamingQuotesEscapesAndPads) {
  EXPECT_EQ(Streamed(ioPath("/R&D/say \"hi\"")), "\"/R&&D/say &\"hi&\"\"");

  std::ostringstream left;
  left << std::left << std::setw(12) << std::setfill('*') << ioPath("/R&D") << '|';
  EXPECT_EQ(left.str(), "\"/R&&D\"*****|");
  std::ostringstream right;
  right << std::right << std::setw(12) << std::setfill('*') << ioPath("/R&D") << std::setw(0) << '|';
  EXPECT_EQ(right.str(), "*****\"/R&&D\"|");
}

TEST(ioPath, NarrowTextIsStoredUnchangedAndWideTextConverts) {
  const std::string utf8 = "/tmp/\xC3\x9C" "ber \xE2\x98\x83 \xF0\x9F\x98\x80.txt";  // Ü, snowman, emoji
  const ioPath fromNarrow(utf8);
  EXPECT_EQ(fromNarrow.utf8string(), utf8);
  EXPECT_EQ(fromNarrow.platformString(), utf8);
  EXPECT_EQ(ioPath(utf8.c_str()), fromNarrow);

  const std::wstring wide = L"/tmp/\u00DCber \u2603 \U0001F600.txt";
  EXPECT_EQ(fromNarrow.wstring(), wide);
  const ioPath fromWide(wide);
  EXPECT_EQ(fromWide.utf8string(), utf8);
  EXPECT_EQ(fromWide.filename().utf8string(), "\xC3\x9C" "ber \xE2\x98\x83 \xF0\x9F\x98\x80.txt");

  ioPath assigned;
  assigned = wide;
  EXPECT_EQ(assigned, fromNarrow);
}

}  // namespace
}  // namespace Tarnix
