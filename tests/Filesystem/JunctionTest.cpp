#include "Filesystem/Junction.h"

#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

std::string Quoted(const ioPath& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

class JunctionTest : public ::Tarnix::Test::TempDirTest {
 protected:
  JunctionTest() : target_(dir_ / "target") {
    ioPath::create_directory(target_);
    ::Tarnix::Test::WriteFile(target_ / "kept", "kept");
  }
  // The texts of the records at `severity`, each checked to come from Junction.cpp.
  std::vector<std::string> Logged(google::LogSeverity severity = google::GLOG_ERROR) const {
    std::vector<std::string> texts;
    for (const auto& record : log_.records()) {
      EXPECT_EQ(record.file, "Junction.cpp");
      if (record.severity == severity) texts.push_back(record.text);
    }
    return texts;
  }
  using Texts = std::vector<std::string>;

  const ioPath target_;  // a directory holding the file "kept"
  ::Tarnix::Test::LogCapture log_;
};

TEST_F(JunctionTest, TargetOf255CharactersIsTheLimit) {
  const auto targetOfLength = [&](std::size_t length) {  // absolute, below dir_, not there yet
    std::string text = dir_.path().platformString() + "/";
    while (text.size() < length) text += text.size() % 100 == 0 ? '/' : 'a';
    return ioPath(text + (text.back() == '/' ? "b" : ""));
  };
  Junction fits(dir_ / "fits");
  EXPECT_TRUE(fits.create(targetOfLength(255)));
  EXPECT_EQ(fits.targetPath(), targetOfLength(255));
  EXPECT_TRUE(Logged().empty());
  Junction refused(dir_ / "refused");
  EXPECT_FALSE(refused.create(targetOfLength(256)));
  EXPECT_FALSE(refused.exists());
  EXPECT_EQ(Logged(), Texts{"Can't create junction. Target path is too long: " +
                            Quoted(ioPath("\\??\\" + targetOfLength(256).platformString()))});
}

TEST_F(JunctionTest, DanglingUntilMakeTargetDir) {
  const ioPath later(dir_.path().platformString() + "//later/deep");  // kept exactly as written
  Junction junction(dir_ / "link");
  EXPECT_TRUE(junction.create(later));
  EXPECT_EQ(Logged(google::GLOG_WARNING), Texts{"The path is not a directory: " + Quoted(later)});
  EXPECT_TRUE(junction.isJunction());
  EXPECT_EQ(junction.targetPath().platformString(), later.platformString());
  EXPECT_FALSE(junction.targetExists());
  EXPECT_TRUE(junction.makeTargetDir());
  EXPECT_TRUE(junction.targetExists());
}

TEST_F(JunctionTest, CreateFailuresLeaveTheDiskAlone) {
  const ioPath orphan = dir_ / "no-parent" / "link";
  EXPECT_FALSE(Junction(target_).create(dir_.path()));
  EXPECT_FALSE(Junction(target_ / "kept").create(dir_.path()));
  EXPECT_FALSE(Junction(orphan).create(target_));
  EXPECT_EQ(Logged(), (Texts{"Can't create junction. The path already exists: " + Quoted(target_),
                             "Can't create junction. The path already exists: " + Quoted(target_ / "kept"),
                             "Can't create junction " + Quoted(orphan) + " with error 2",
                             "Junction configuration failed. Junction: " + Quoted(orphan) + " target: " +
                                 Quoted(target_)}));
  EXPECT_FALSE(Junction::isJunction(target_));
  EXPECT_EQ(::Tarnix::Test::ReadFile(target_ / "kept"), "kept");
}

TEST_F(JunctionTest, CopyMakesASecondJunctionOrRefuses) {
  Junction original(dir_ / "original");
  ASSERT_TRUE(original.create(target_));
  EXPECT_TRUE(original.copy(dir_ / "copy"));
  EXPECT_EQ(Junction(dir_ / "copy").targetPath(), target_);
  EXPECT_EQ(::Tarnix::Test::ReadFile(dir_ / "copy" / "kept"), "kept");

  EXPECT_FALSE(Junction(dir_ / "missing").copy(dir_ / "a"));
  EXPECT_FALSE(original.copy(target_));
  EXPECT_FALSE(Junction(target_).copy(dir_ / "b"));
  EXPECT_EQ(Logged(), (Texts{"Can't copy junction. The path does not exists: " + Quoted(dir_ / "missing"),
                             "Can't copy junction. The path already exists: " + Quoted(target_),
                             "Can't copy junction. The path is not a junction: " + Quoted(target_)}));
  EXPECT_FALSE((dir_ / "a").exists() || (dir_ / "b").exists());
}

TEST_F(JunctionTest, RemoveAndRenameMoveOnlyTheLink) {
  Junction junction(dir_ / "before");
  ASSERT_TRUE(junction.create(target_));
  EXPECT_TRUE(junction.rename(dir_ / "after"));
  EXPECT_EQ(junction.path(), dir_ / "before");
  EXPECT_FALSE(junction.exists());
  Junction renamed(dir_ / "after");
  EXPECT_EQ(renamed.targetPath(), target_);
  EXPECT_TRUE(renamed.remove());
  EXPECT_FALSE(renamed.exists());
  EXPECT_EQ(::Tarnix::Test::ReadFile(target_ / "kept"), "kept");
}

TEST_F(JunctionTest, IsJunctionOfPlainAndMissingPaths) {
  EXPECT_FALSE(Junction::isJunction(target_));
  EXPECT_TRUE(Junction(target_ / "kept").targetPath().empty());
  EXPECT_TRUE(log_.records().empty());
  EXPECT_FALSE(Junction::isJunction(dir_ / "missing"));
  EXPECT_EQ(Logged(), Texts{"Can't open file " + Quoted(dir_ / "missing") + " with error 2"});
}

}  // namespace
}  // namespace Tarnix::Core
