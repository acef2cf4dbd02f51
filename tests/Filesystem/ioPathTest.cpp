// The path algebra of ioPath: conversion, joining, decomposition, comparison
// and streaming. Nothing here touches the disk. The tables hold each
// platform's own spelling of paths; the behaviour checked is the same.
#include "Filesystem/ioPath.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <set>
#include <sstream>

namespace Tarnix {
namespace {

std::string Streamed(const ioPath& p, int width) {
  std::ostringstream out;
  out << std::setw(width) << std::setfill('*') << p << '|';
  return out.str();
}

// path: root name, root directory, relative path, parent, file name, stem, extension, absolute.
struct DecompositionRow {
  const char *path, *rootName, *rootDirectory, *relativePath, *parentPath, *filename, *stem, *extension;
  bool absolute;
};
// lhs, rhs: lhs / rhs, lhs + rhs.
struct JoinRow {
  const char *lhs, *rhs, *joined, *concatenated;
};

#ifdef _WIN32
const DecompositionRow kDecomposition[] = {
    {"C:\\dir\\file.tar.gz", "C:", "\\", "dir\\file.tar.gz", "C:\\dir", "file.tar.gz", "file.tar", ".gz", true},
    {"\\\\server\\share\\x.txt", "\\\\server", "\\", "share\\x.txt", "\\\\server\\share", "x.txt", "x", ".txt", true},
    {"C:dir", "C:", "", "dir", "C:", "dir", "dir", "", false},
    {"\\dir\\a.b", "", "\\", "dir\\a.b", "\\dir", "a.b", "a", ".b", false},
    {".profile", "", "", ".profile", "", ".profile", "", ".profile", false},
    {"C:\\dir\\", "C:", "\\", "dir\\", "C:\\dir", ".", ".", "", true},
    {"", "", "", "", "", "", "", "", false},
};
const JoinRow kJoins[] = {
    {"C:\\dir", "file", "C:\\dir\\file", "C:\\dirfile"},   {"C:\\dir\\", "file", "C:\\dir\\file", "C:\\dir\\file"},
    {"C:", "file", "C:file", "C:file"},                    {"C:\\dir", "\\file", "C:\\dir\\file", "C:\\dir\\file"},
    {"", "file", "file", "file"},                          {"C:\\dir", "", "C:\\dir", "C:\\dir"},
    {"C:\\cache\\item", ".tmp", "C:\\cache\\item\\.tmp", "C:\\cache\\item.tmp"},
};
const std::pair<const char*, const char*> kEqual[] = {{"C:/dir/file", "C:\\dir\\file"}, {"C:\\a\\\\b", "C:\\a\\b"}};
const std::pair<const char*, const char*> kUnequal[] = {{"C:\\A", "C:\\a"}, {"C:\\dir", "C:\\dir\\"}};
const char* const kSlashed = "C:/a/b";
const char* const kPreferred = "C:\\a\\b";
const char* const kElementOrder[] = {"C:\\a\\z", "C:\\a-b"};  // element "a" before "a-b"
const char* const kRoot = "C:\\";
#else
const DecompositionRow kDecomposition[] = {
    {"/dir/file.tar.gz", "", "/", "dir/file.tar.gz", "/dir", "file.tar.gz", "file.tar", ".gz", true},
    {"//server/share/x.txt", "//server", "/", "share/x.txt", "//server/share", "x.txt", "x", ".txt", true},
    {"dir/a.b", "", "", "dir/a.b", "dir", "a.b", "a", ".b", false},
    {".profile", "", "", ".profile", "", ".profile", "", ".profile", false},
    {"/dir/", "", "/", "dir/", "/dir", ".", ".", "", true},
    {"/", "", "/", "", "", "/", "/", "", true},
    {"..", "", "", "..", "", "..", "..", "", false},
    {"", "", "", "", "", "", "", "", false},
};
const JoinRow kJoins[] = {
    {"/dir", "file", "/dir/file", "/dirfile"}, {"/dir/", "file", "/dir/file", "/dir/file"},
    {"/dir", "/file", "/dir/file", "/dir/file"}, {"", "file", "file", "file"},
    {"/dir", "", "/dir", "/dir"}, {"/cache/item", ".tmp", "/cache/item/.tmp", "/cache/item.tmp"},
};
const std::pair<const char*, const char*> kEqual[] = {{"/a//b", "/a/b"}};
const std::pair<const char*, const char*> kUnequal[] = {{"/A", "/a"}, {"/dir", "/dir/"}};
const char* const kSlashed = "/a/b";  // '/' is the only separator: nothing to change
const char* const kPreferred = "/a/b";
const char* const kElementOrder[] = {"/a/z", "/a-b"};
const char* const kRoot = "/";
#endif

TEST(ioPath, DecompositionFollowsVersion3Rules) {
  for (const DecompositionRow& row : kDecomposition) {
    SCOPED_TRACE(row.path);
    const ioPath p(row.path);
    EXPECT_EQ(p.root_name().utf8string(), row.rootName);
    EXPECT_EQ(p.root_directory().utf8string(), row.rootDirectory);
    EXPECT_EQ(p.relative_path().utf8string(), row.relativePath);
    EXPECT_EQ(p.parent_path().utf8string(), row.parentPath);
    EXPECT_EQ(p.filename().utf8string(), row.filename);
    EXPECT_EQ(p.stem().utf8string(), row.stem);
    EXPECT_EQ(p.extension().utf8string(), row.extension);
    EXPECT_EQ(p.is_absolute(), row.absolute);
  }
}

TEST(ioPath, JoinAddsOneSeparatorAndConcatenationNone) {
  for (const JoinRow& row : kJoins) {
    SCOPED_TRACE(std::string(row.lhs) + " with " + row.rhs);
    const ioPath lhs(row.lhs);
    EXPECT_EQ((lhs / ioPath(row.rhs)).utf8string(), row.joined);
    EXPECT_EQ((lhs + ioPath(row.rhs)).utf8string(), row.concatenated);
    EXPECT_EQ(lhs.utf8string(), row.lhs) << "operands must not change";
  }
}

TEST(ioPath, ComparisonIsElementWiseAndCaseSensitive) {
  for (const auto& [a, b] : kEqual) EXPECT_EQ(ioPath(a), ioPath(b)) << a << " " << b;
  for (const auto& [a, b] : kUnequal) EXPECT_NE(ioPath(a), ioPath(b)) << a << " " << b;
  EXPECT_EQ(ioPath(kSlashed).make_preferred().utf8string(), kPreferred);
  // Element order, unlike the plain strings: the one ordering of ordered containers.
  const ioPath first(kElementOrder[0]), second(kElementOrder[1]);
  EXPECT_TRUE(first < second && !(second < first));
  const std::set<ioPath> ordered{second, first, ioPath(std::string(kElementOrder[0]))};
  EXPECT_EQ(std::vector<ioPath>(ordered.begin(), ordered.end()), (std::vector<ioPath>{first, second}));
}

TEST(ioPath, StreamingQuotesEscapesAndPads) {
  const std::string root = kRoot;
  EXPECT_EQ(Streamed(ioPath(root + "R&D say \"hi\""), 0), "\"" + root + "R&&D say &\"hi&\"\"|");
  EXPECT_EQ(Streamed(ioPath(root + "R&D"), 12), std::string(12 - 6 - root.size(), '*') + "\"" + root + "R&&D\"|");
}

// Narrow text is UTF-8 whatever the locale; wide text converts to and from it.
TEST(ioPath, Utf8RoundTripsAndWideTextConverts) {
  const std::string utf8 = kRoot + std::string("\xC3\x9C" "ber \xE2\x98\x83 \xF0\x9F\x98\x80.txt");  // Ü, snowman, emoji
  const std::wstring wide = ioPath(kRoot).wstring() + L"\u00DCber \u2603 \U0001F600.txt";
  EXPECT_EQ(ioPath(utf8).wstring(), wide);
  EXPECT_EQ(ioPath(wide).utf8string(), utf8);
  EXPECT_EQ(ioPath(utf8).platformString(), ioPath(wide).platformString());
}

}  // namespace
}  // namespace Tarnix
