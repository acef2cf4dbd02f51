#include "Filesystem/Junction.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

namespace support = ::Tarnix::Test;

// How ioPath writes a path into a message.
std::string Quoted(const ioPath& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

class JunctionTest : public support::TempDirTest {
 protected:
  // The records of Junction.cpp at `severity`, as texts.
  std::vector<std::string> Messages(google::LogSeverity severity) const {
    std::vector<std::string> texts;
    for (const auto& record : log_.records()) {
      EXPECT_EQ(record.file, "Junction.cpp");
      if (record.severity == severity) texts.push_back(record.text);
    }
    return texts;
  }
  std::vector<std::string> Errors() const { return Messages(google::GLOG_ERROR); }

  // A directory with a file in it, the usual junction target.
  ioPath MakeTarget(const std::string& name = "target") {
    const ioPath target = dir_ / name;
    EXPECT_TRUE(ioPath::create_directories(target));
    support::WriteFile(target / "kept.txt", "kept");
    return target;
  }

  support::LogCapture log_;
};

TEST_F(JunctionTest, TargetOf255CharactersIsTheLimit) {
  // An absolute path of exactly `length` characters below dir_.
  const auto targetOfLength = [&](std::size_t length) {
    std::string text = dir_.path().platformString() + "/";
    while (text.size() < length) text += text.size() % 100 == 0 ? '/' : 'a';
    if (text.back() == '/') text.back() = 'b';
    EXPECT_EQ(text.size(), length);
    return ioPath(text);
  };
  const ioPath longest = targetOfLength(255);
  Junction fits(dir_ / "fits");
  EXPECT_TRUE(fits.create(longest));
  EXPECT_EQ(fits.targetPath(), longest);
  EXPECT_TRUE(Errors().empty());

  const ioPath tooLong = targetOfLength(256);
  Junction refused(dir_ / "refused");
  EXPECT_FALSE(refused.create(tooLong));
  EXPECT_FALSE(refused.exists());
  EXPECT_EQ(Errors(), std::vector<std::string>{"Can't create junction. Target path is too long: " +
                                                Quoted(ioPath("\\??\\" + tooLong.platformString()))});
}

TEST_F(JunctionTest, DanglingJunctionUntilMakeTargetDir) {
  // Written with a doubled separator: the target is kept exactly as passed.
  const ioPath target(dir_.path().platformString() + "//later/deep");
  Junction junction(dir_ / "link");
  EXPECT_TRUE(junction.create(target));
  EXPECT_EQ(Messages(google::GLOG_WARNING),
            std::vector<std::string>{"The path is not a directory: " + Quoted(target)});
  EXPECT_TRUE(junction.isJunction());
  EXPECT_EQ(junction.targetPath().platformString(), target.platformString());
  EXPECT_FALSE(junction.targetExists());

  EXPECT_TRUE(junction.makeTargetDir());
  EXPECT_TRUE(junction.targetExists());
  EXPECT_TRUE((dir_ / "later" / "deep").is_directory());
  EXPECT_TRUE(Errors().empty());
}

TEST_F(JunctionTest, CreateOverAnExistingEntryLeavesItAlone) {
  const ioPath target = MakeTarget();
  const ioPath file = dir_ / "file";
  support::WriteFile(file, "mine");
  const ioPath directory = dir_ / "directory";
  ASSERT_TRUE(ioPath::create_directory(directory));
  const ioPath dangling = dir_ / "dangling";
  ASSERT_EQ(::symlink("nowhere", dangling.platformString().c_str()), 0);

  for (const ioPath& existing : {file, directory, dangling}) {
    SCOPED_TRACE(existing.utf8string());
    EXPECT_FALSE(Junction(existing).create(target));
  }
  EXPECT_EQ(Errors(), (std::vector<std::string>{
                          "Can't create junction. The path already exists: " + Quoted(file),
                          "Can't create junction. The path already exists: " + Quoted(directory),
                          "Can't create junction. The path already exists: " + Quoted(dangling)}));
  EXPECT_EQ(support::ReadFile(file), "mine");
  EXPECT_FALSE(Junction(directory).isJunction());
  EXPECT_EQ(Junction(dangling).targetPath(), ioPath("nowhere"));
}

TEST_F(JunctionTest, LinkThatCannotBeMadeLogsTheCodeAndTheConfiguration) {
  const ioPath target = MakeTarget();
  const ioPath orphan = dir_ / "no-such-parent" / "link";
  EXPECT_FALSE(Junction(orphan).create(target));
  EXPECT_EQ(Errors(), (std::vector<std::string>{
                          "Can't create junction " + Quoted(orphan) + " with error " + std::to_string(ENOENT),
                          "Junction configuration failed. Junction: " + Quoted(orphan) +
                              " target: " + Quoted(target)}));
}

TEST_F(JunctionTest, CopyMakesASecondJunctionToTheSameTarget) {
  const ioPath target = MakeTarget();
  Junction original(dir_ / "original");
  ASSERT_TRUE(original.create(target));
  EXPECT_TRUE(original.copy(dir_ / "copy"));
  Junction copy(dir_ / "copy");
  EXPECT_TRUE(copy.isJunction());
  EXPECT_EQ(copy.targetPath(), target);
  EXPECT_EQ(support::ReadFile(copy.path() / "kept.txt"), "kept");
  EXPECT_EQ(original.path(), dir_ / "original");
  EXPECT_TRUE(Errors().empty());
}

TEST_F(JunctionTest, CopyRefusals) {
  const ioPath target = MakeTarget();
  const ioPath junction = dir_ / "junction";
  ASSERT_TRUE(Junction(junction).create(target));
  const ioPath plain = dir_ / "plain";
  ASSERT_TRUE(ioPath::create_directory(plain));
  const ioPath missing = dir_ / "missing";

  struct Row {
    const char* what;
    ioPath source;
    ioPath destination;
    std::string message;
  };
  const Row rows[] = {
      {"missing source", missing, dir_ / "d1", "Can't copy junction. The path does not exists: " + Quoted(missing)},
      {"destination exists", junction, plain, "Can't copy junction. The path already exists: " + Quoted(plain)},
      {"source is no junction", plain, dir_ / "d2",
       "Can't copy junction. The path is not a junction: " + Quoted(plain)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    support::LogCapture log;
    EXPECT_FALSE(Junction(row.source).copy(row.destination));
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, google::GLOG_ERROR);
    EXPECT_EQ(records[0].text, row.message);
  }
  EXPECT_FALSE((dir_ / "d1").exists());
  EXPECT_FALSE((dir_ / "d2").exists());
  EXPECT_FALSE(Junction(plain).isJunction());
}

TEST_F(JunctionTest, RemoveTakesOnlyTheLink) {
  const ioPath target = MakeTarget();
  Junction junction(dir_ / "link");
  ASSERT_TRUE(junction.create(target));
  EXPECT_TRUE(junction.remove());
  EXPECT_FALSE(junction.exists());
  EXPECT_EQ(support::ReadFile(target / "kept.txt"), "kept");
}

TEST_F(JunctionTest, RenameKeepsTheOldPath) {
  const ioPath target = MakeTarget();
  const ioPath before = dir_ / "before";
  const ioPath after = dir_ / "after";
  Junction junction(before);
  ASSERT_TRUE(junction.create(target));
  EXPECT_TRUE(junction.rename(after));
  EXPECT_EQ(junction.path(), before);
  EXPECT_FALSE(junction.exists());
  EXPECT_EQ(Junction(after).targetPath(), target);
}

TEST_F(JunctionTest, IsJunctionOfOrdinaryAndMissingPaths) {
  const ioPath plain = dir_ / "plain";
  ASSERT_TRUE(ioPath::create_directory(plain));
  const ioPath file = dir_ / "file";
  support::WriteFile(file, "x");
  EXPECT_FALSE(Junction::isJunction(plain));
  EXPECT_FALSE(Junction::isJunction(file));
  EXPECT_TRUE(Junction(plain).targetPath().empty());
  EXPECT_TRUE(log_.records().empty());

  const ioPath missing = dir_ / "missing";
  Junction absent(missing);
  EXPECT_FALSE(absent.exists());
  EXPECT_FALSE(absent.isJunction());
  EXPECT_FALSE(absent.makeTargetDir());
  const std::string cantOpen = "Can't open file " + Quoted(missing) + " with error " + std::to_string(ENOENT);
  EXPECT_EQ(Errors(), (std::vector<std::string>{cantOpen, cantOpen}));
}

}  // namespace
}  // namespace Tarnix::Core
