// The installed lumfs program, run as a process: each subcommand's success,
// its failure message and status for a missing path, and bad usage.
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace Tarnix {
namespace {

namespace support = ::Tarnix::Test;
using support::ProcessResult;
using support::ReadFile;
using support::WriteFile;

const std::string kLumfs = LUMFS_BINARY;

class Lumfs : public support::TempDirTest {
 protected:
  // Every run gets a private home, trash, cache root and temporary directory.
  std::map<std::string, std::string> Environment() const {
    return {{"HOME", (dir_ / "home").utf8string()},
            {"XDG_DATA_HOME", (dir_ / "home/data").utf8string()},
            {"XDG_CACHE_HOME", (dir_ / "home/cache").utf8string()},
            {"TMPDIR", (dir_ / "tmp").utf8string()}};
  }
  void SetUp() override {
    ASSERT_TRUE(ioPath::create_directories(dir_ / "home/data"));
    ASSERT_TRUE(ioPath::create_directories(dir_ / "tmp"));
  }
  ProcessResult Lum(const std::vector<std::string>& arguments) const { return Start(arguments)->Finish(); }
  std::unique_ptr<support::Process> Start(const std::vector<std::string>& arguments) const {
    return std::make_unique<support::Process>(kLumfs, arguments, Environment(), dir_.path());
  }
  std::string P(const std::string& name) const { return (dir_ / name).utf8string(); }
};

// --help anywhere exits 0 with the usage; bad usage exits 2 with a message.
TEST_F(Lumfs, HelpAndBadUsage) {
  WriteFile(dir_ / "f", "x");
  const std::pair<std::string, int> rows[] = {
      {"--help", 0},           {"copy --help", 0},          {"watch --help", 0},     {"cache put --help", 0},
      {"cache clean --help", 0}, {"trash --help", 0},       {"attr --help", 0},      {"cache-root --help", 0},
      {"junction create --help", 0}, {"tmp clean --help", 0}, {"rmdir --help", 0},   {"freename --help", 0},
      {"", 2},                 {"frobnicate", 2},           {"copy F", 2},           {"cache clean D 12X", 2},
      {"watch D --kind bogus", 2}, {"rmdir D --older-than soon", 2}, {"cache put D abcd F --time -5", 2},
      // Every subcommand without its required arguments.
      {"watch", 2}, {"cache", 2}, {"cache key", 2}, {"cache put D", 2}, {"cache find D", 2}, {"cache remove D", 2},
      {"trash", 2}, {"attr", 2}, {"junction", 2}, {"junction create D", 2}, {"junction show", 2},
      {"junction remove", 2}, {"tmp", 2}, {"tmp clean P", 2}, {"rmdir", 2}, {"copydir D", 2}, {"freename D", 2}};
  for (const auto& [command, status] : rows) {
    SCOPED_TRACE(command);
    std::vector<std::string> arguments;
    std::istringstream words(command);
    for (std::string word; words >> word;) arguments.push_back(word == "F" ? P("f") : word == "D" ? P("") : word);
    const ProcessResult result = Lum(arguments);
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_FALSE((status == 0 ? result.out : result.err).empty());
  }
}

TEST_F(Lumfs, MissingPathFailsWithOneLineNamingIt) {
  const std::string missing = P("missing");
  const std::vector<std::vector<std::string>> commands = {
      {"copy", missing, P("dest")},
      {"watch", missing},
      {"cache", "put", P("cache"), "abcdef", missing},
      {"cache", "clean", missing, "1M"},
      {"cache", "find", missing, "abcdef"},
      {"trash", missing},
      {"attr", missing, "--readonly"},
      {"junction", "show", missing},
      {"junction", "remove", missing},
      {"cache", "remove", missing, "abcdef", "--flat"},
      {"rmdir", missing},
      {"copydir", missing, P("dest")},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command[0]);
    const ProcessResult result = Lum(command);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.err.rfind("lumfs: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(missing), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

TEST_F(Lumfs, CopyOneFileAndSeveralIntoADirectory) {
  WriteFile(dir_ / "a", std::string(3 << 20, 'a'));
  WriteFile(dir_ / "b", "bee");
  ProcessResult result = Lum({"copy", P("a"), P("a2")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(dir_ / "a2"), ReadFile(dir_ / "a"));
  EXPECT_NE(result.err.find("100%"), std::string::npos) << "progress is shown: " << result.err;

  ASSERT_TRUE(ioPath::create_directory(dir_ / "into"));
  result = Lum({"copy", P("a"), P("b"), P("into")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(dir_ / "into/b"), "bee");
  EXPECT_EQ((dir_ / "into/a").file_size(), 3u << 20);
}

TEST_F(Lumfs, CopyInterruptedLeavesNoPartialDestination) {
  // A large sparse source: the copy takes long enough to be interrupted.
  const ioPath source = dir_ / "big";
  const int fd = ::open(source.platformString().c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 8LL << 30), 0);
  ::close(fd);
  const auto copy = Start({"copy", source.utf8string(), P("copy")});
  ASSERT_TRUE(support::WaitUntil([&] { return copy->Err().find("copy: ") != std::string::npos; }));
  copy->Signal(SIGINT);
  const ProcessResult result = copy->Finish();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_NE(result.err.find("cancelled"), std::string::npos) << result.err;
  EXPECT_FALSE((dir_ / "copy").exists());
}

TEST_F(Lumfs, CacheRoundTrip) {
  EXPECT_EQ(Lum({"cache", "key", "abc"}).out, "900150983cd24fb0d6963f7d28e17f72\n");
  for (const bool flat : {false, true}) {
    SCOPED_TRACE(flat ? "flat" : "hashed");
    WriteFile(dir_ / "payload.bin", "cached bytes");
    std::vector<std::string> put = {"cache", "put", P("cache"), "0123456789", P("payload.bin"), "--time", "1000000000"};
    std::vector<std::string> find = {"cache", "find", P("cache"), "0123456789"};
    std::vector<std::string> remove = {"cache", "remove", P("cache"), "0123456789"};
    if (flat) {
      for (auto* command : {&put, &find, &remove}) command->push_back("--flat");
    }
    ProcessResult result = Lum(put);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string cached = result.out.substr(0, result.out.size() - 1);
    EXPECT_EQ(ReadFile(ioPath(cached)), "cached bytes");
    EXPECT_FALSE((dir_ / "payload.bin").exists());
    result = Lum(find);
    EXPECT_EQ(result.out, cached + "\t1000000000\n");
    EXPECT_EQ(Lum(remove).status, 0);
    result = Lum(find);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("0123456789"), std::string::npos) << result.err;
  }

  WriteFile(dir_ / "f", std::string(2048, 'x'));
  ASSERT_EQ(Lum({"cache", "put", P("cache"), "abcdef", P("f")}).status, 0);
  const ProcessResult clean = Lum({"cache", "clean", P("cache"), "1K"});
  ASSERT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.out.find("counted 1 files, 2.0 KiB (limit 1.0 KiB); removed 1 files"), std::string::npos) << clean.out;
}

TEST_F(Lumfs, TrashAttributesAndCacheRoot) {
  WriteFile(dir_ / "junk", "x");
  ProcessResult result = Lum({"trash", P("junk")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE((dir_ / "junk").exists());
  EXPECT_TRUE((dir_ / "home/data/Trash/files/junk").exists());

  WriteFile(dir_ / "doc", "x");
  ASSERT_EQ(Lum({"attr", P("doc"), "--readonly", "--hidden"}).status, 0);
  struct stat status {};
  ASSERT_EQ(::stat(P("doc").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0222, 0u);
  ASSERT_EQ(Lum({"attr", P("doc")}).status, 0);
  ASSERT_EQ(::stat(P("doc").c_str(), &status), 0);
  EXPECT_NE(status.st_mode & S_IWUSR, 0u);

  EXPECT_EQ(Lum({"cache-root"}).out, P("home/cache") + "\n");
}

TEST_F(Lumfs, Junctions) {
  ASSERT_TRUE(ioPath::create_directory(dir_ / "target"));
  WriteFile(dir_ / "target/file", "x");
  ASSERT_EQ(Lum({"junction", "create", P("link"), P("target")}).status, 0);
  EXPECT_EQ(Lum({"junction", "show", P("link")}).out, P("target") + "\n");
  EXPECT_EQ(Lum({"junction", "show", P("target")}).status, 1) << "a plain directory";
  ASSERT_EQ(Lum({"junction", "remove", P("link")}).status, 0);
  EXPECT_FALSE((dir_ / "link").is_symlink());
  EXPECT_TRUE((dir_ / "target/file").exists());
}

TEST_F(Lumfs, DirectoryCommands) {
  ProcessResult result = Lum({"tmp", "new"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.rfind(P("tmp") + "/", 0), 0u) << result.out;

  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "x");
  ASSERT_EQ(Lum({"copydir", P("tree"), P("copy")}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "copy/sub/f"), "x");
  EXPECT_EQ(Lum({"rmdir", P("copy"), "--older-than", "1"}).status, 1) << "nothing old enough";
  ASSERT_EQ(Lum({"rmdir", P("copy")}).status, 0);
  EXPECT_FALSE((dir_ / "copy").exists());

  WriteFile(dir_ / "clip.mp4", "");
  EXPECT_EQ(Lum({"freename", P("clip"), "mp4"}).out, P("clip (1).mp4") + "\n");

  result = Lum({"tmp", "clean", "lumfs-test-product", "0"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE((dir_ / "tmp/lumfs-test-product").is_directory());
}

TEST_F(Lumfs, WatchPrintsALinePerChangeUntilInterrupted) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "watched/sub"));
  for (const auto& [arguments, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"watch", P("watched")}, " modified sub/f\n"}, {{"watch", P("watched"), "--kind", "modified"}, " modified\n"}}) {
    SCOPED_TRACE(line);
    for (const char* output : {"stdout", "stderr"}) ioPath::remove(dir_ / output);  // the previous run's
    const auto watch = Start(arguments);
    ASSERT_TRUE(support::WaitUntil([&] { return watch->Err().find("watching") != std::string::npos; }));
    WriteFile(dir_ / "watched/sub/f", "changed");
    EXPECT_TRUE(support::WaitUntil([&] { return watch->Out().find(line) != std::string::npos; })) << watch->Out();
    watch->Signal(SIGINT);
    const ProcessResult result = watch->Finish();
    EXPECT_EQ(result.status, 0) << result.err;
  }
}

}  // namespace
}  // namespace Tarnix
