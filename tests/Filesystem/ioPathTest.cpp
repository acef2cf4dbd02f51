// ioPath: first the path algebra (decomposition, joining and comparison in
// tables of Windows' spelling, Linux's being fuzzed; streaming, conversion);
// then the members that touch the disk: which ones report failure in their
// result and which ones throw, on missing, looping and cut-short paths, and a
// rename across file systems with its undo when the source cannot go.
#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/ioPath.h"

#include "support/Test.h"

#include <iomanip>
#include <set>
#include <sstream>

namespace Tarnix {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)
using boost::filesystem::filesystem_error;
using ioPathOperations = TempDirTest;

std::string Streamed(const ioPath& p, int width) {
  std::ostringstream out;
  out << std::setw(width) << std::setfill('*') << p << '|';
  return out.str();
}

#ifdef _WIN32
// --- Windows spellings (Linux's are checked against the same rules by ioPathFuzzer)
// path: root name, root directory, relative path, parent, file name, stem, extension, absolute.
struct DecompositionRow {
  const char *path, *rootName, *rootDirectory, *relativePath, *parentPath, *filename, *stem, *extension;
  bool absolute;
};
// lhs, rhs: lhs / rhs, lhs + rhs.
struct JoinRow {
  const char *lhs, *rhs, *joined, *concatenated;
};

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
  EXPECT_EQ(ioPath("C:/dir/file"), ioPath("C:\\dir\\file"));
  EXPECT_EQ(ioPath("C:\\a\\\\b"), ioPath("C:\\a\\b"));
  EXPECT_NE(ioPath("C:\\A"), ioPath("C:\\a"));
  EXPECT_NE(ioPath("C:\\dir"), ioPath("C:\\dir\\"));
  EXPECT_EQ(ioPath("C:/a/b").make_preferred().utf8string(), "C:\\a\\b");
  // Element order, unlike the plain strings ("a" before "a-b"): the one ordering of ordered containers.
  const ioPath first("C:\\a\\z"), second("C:\\a-b");
  EXPECT_TRUE(first < second && !(second < first));
  const std::set<ioPath> ordered{second, first, ioPath(std::string("C:\\a\\z"))};
  EXPECT_EQ(std::vector<ioPath>(ordered.begin(), ordered.end()), (std::vector<ioPath>{first, second}));
}

#endif  // _WIN32

const std::string kRoot = ioPath("/").make_preferred().utf8string();

TEST(ioPath, StreamingQuotesEscapesAndPads) {
  const std::string& root = kRoot;
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

// A missing path is no error for the type tests; a failing status query (a
// symbolic-link loop fails for root too) throws from them. The reporting
// members turn both into 0 or false. A path with a NUL byte, which the system
// would see as the test directory itself, fails like an unreachable one.
TEST_F(ioPathOperations, MissingAndUnreachablePaths) {
  const ioPath cutShort = dir_.path() + ioPath(std::string(1, '\0'));
  std::vector<ioPath> paths = {dir_ / "missing", cutShort};
#ifndef _WIN32
  const ioPath loop = dir_ / "loop";
  ASSERT_EQ(::symlink("loop", loop.platformString().c_str()), 0);
  paths.insert(paths.end(), {loop, loop / "file"});
  EXPECT_TRUE(loop.is_symlink()) << "the link itself can be examined";
#endif
  using TypeTest = bool (ioPath::*)() const;
  const TypeTest typeTests[] = {&ioPath::exists, &ioPath::is_directory, &ioPath::is_regular_file, &ioPath::is_other};
  for (const ioPath& p : paths) {
    SCOPED_TRACE(p.utf8string());
    for (const TypeTest test : typeTests) {
      if (p == dir_ / "missing") {
        EXPECT_FALSE((p.*test)());
      } else {
        EXPECT_THROW((p.*test)(), filesystem_error);
      }
    }
    EXPECT_EQ(p.file_size(), 0u);
    EXPECT_EQ(p.last_write_time(), 0);
    EXPECT_FALSE(ioPath::create_directory(p / "x"));
    EXPECT_FALSE((p / "x").rename(dir_ / "elsewhere"));
    EXPECT_FALSE((p / "x").copy_file(dir_ / "copy"));
    EXPECT_THROW(p.canonical_path(), filesystem_error);
    EXPECT_THROW(p.iterator(), filesystem_error);
  }
  EXPECT_EQ((dir_ / "missing").remove_all(), 0u);
  EXPECT_THROW(cutShort.remove_all(), filesystem_error);
  EXPECT_TRUE(ioPath::create_directory(dir_.path())) << "an existing directory is success";
}

TEST_F(ioPathOperations, RenameTreeAcrossFileSystemsCopiesAndRemovesTheSource) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system here: no cross-device rename";
  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "deep");
  WriteFile(dir_ / "tree/g", "top");
  EXPECT_TRUE((dir_ / "tree").rename(*other / "tree"));
  EXPECT_FALSE((dir_ / "tree").exists());
  EXPECT_EQ(ReadFile(*other / "tree/sub/f"), "deep");
  EXPECT_EQ(ReadFile(*other / "tree/g"), "top");
}

#ifndef _WIN32
// --- Linux only: a source that cannot be removed, as an unprivileged user ----
// The source's directory is read-only for an unprivileged user: the copy
// succeeds, its removal fails, and the copy must disappear again.
TEST_F(ioPathOperations, RenameAcrossFileSystemsUndoesTheCopyWhenTheSourceStays) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system here: no cross-device rename";
  const ioPath sourceDir = dir_ / "ro";
  ASSERT_TRUE(ioPath::create_directory(sourceDir));
  WriteFile(sourceDir / "file", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(sourceDir.platformString().c_str(), 0555), 0);
  ASSERT_EQ(::chmod((sourceDir / "file").platformString().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(other->path().platformString().c_str(), 0777), 0);
  EXPECT_EQ(RunUnprivileged([&] { return ioPath::rename(sourceDir / "file", *other / "file") ? 1 : 0; }), 0);
  EXPECT_TRUE((sourceDir / "file").exists());
  EXPECT_FALSE((*other / "file").exists());
}
#else
// --- Windows only: a file held open without delete sharing cannot be removed --
TEST_F(ioPathOperations, RenameAcrossVolumesUndoesTheCopyWhenTheSourceIsHeld) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second volume here: no cross-volume rename";
  WriteFile(dir_ / "file", "x");
  const auto lock = Core::ICacheReadLock::CreateInstance(dir_ / "file");
  EXPECT_FALSE(ioPath::rename(dir_ / "file", *other / "file"));
  EXPECT_TRUE((dir_ / "file").exists());
  EXPECT_FALSE((*other / "file").exists());
}
#endif

}  // namespace
}  // namespace Tarnix
