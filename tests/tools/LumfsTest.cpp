// The installed lumfs program, run as a process: each subcommand's success,
// its failure message and status for a missing path, and bad usage.
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#ifndef _WIN32
#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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
            {"TMPDIR", (dir_ / "tmp").utf8string()},
            {"TMP", (dir_ / "tmp").utf8string()}};
  }
  void SetUp() override {
    ASSERT_TRUE(ioPath::create_directories(dir_ / "home/data"));
    ASSERT_TRUE(ioPath::create_directories(dir_ / "tmp"));
  }
  // Its output with plain line ends: Windows' text streams write "\r\n".
  ProcessResult Lum(const std::vector<std::string>& arguments) const {
    ProcessResult result = Start(arguments)->Finish();
    for (std::string* text : {&result.out, &result.err}) text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    return result;
  }
  std::unique_ptr<support::Process> Start(const std::vector<std::string>& arguments) const {
    return std::make_unique<support::Process>(kLumfs, arguments, Environment(), dir_.path());
  }
  std::string P(const std::string& name) const { return (dir_ / name).utf8string(); }
#ifndef _WIN32
  // Runs lumfs on a terminal and returns what the terminal received.
  std::string OnTerminal(const std::vector<std::string>& arguments) const {
    std::vector<char*> argv{const_cast<char*>(kLumfs.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
      ::execv(kLumfs.c_str(), argv.data());
      ::_exit(127);
    }
    std::string received;
    char chunk[4096];
    pollfd ready{terminal, POLLIN, 0};
    for (ssize_t got = 1; got > 0 && ::poll(&ready, 1, 60'000) > 0;) {
      got = ::read(terminal, chunk, sizeof chunk);  // fails (EIO) once lumfs has ended
      if (got > 0) received.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    ::kill(pid, SIGKILL);  // only if the deadline passed: the terminal ends with lumfs
    support::WaitForChild(pid);
    return received;
  }
#endif
};

TEST_F(Lumfs, HelpAndVersion) {
  ProcessResult result = Lum({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Usage: lumfs"), std::string::npos) << result.out;
  result = Lum({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "lumfs " LUMFS_VERSION "\n");
}

// Bad usage exits 2 with a message and touches nothing: one row per kind of
// mistake, and every number lumfs reads is decimal digits within its range.
TEST_F(Lumfs, BadUsageExitsTwoAndDoesNothing) {
  WriteFile(dir_ / "f", "x");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "cache/ab/cd/ef"));
  WriteFile(dir_ / "cache/ab/cd/ef/kept", "x");
  const std::vector<std::vector<std::string>> rows = {
      {}, {"frobnicate"}, {"copy", "F"}, {"watch", "D", "--kind", "bogus"},
      {"cache", "clean", "C", "0x10"}, {"cache", "clean", "C", " 5"}, {"cache", "clean", "C", "5 K"},
      {"cache", "clean", "C", "-1"}, {"cache", "clean", "C", "1.5.5M"}, {"cache", "clean", "C", ""},
      {"cache", "clean", "C", "0.5"}, {"cache", "clean", "C", "1e30"}, {"cache", "clean", "C", "17179869184G"},
      {"cache", "clean", "C", "99999999999999999999"}, {"tmp", "clean", "P", "2147483648"},
      {"rmdir", "C", "--older-than", "+0"}, {"cache", "put", "C", "abcd", "F", "--time", "9223372036854775808"}};
  for (std::vector<std::string> arguments : rows) {
    for (std::string& word : arguments) word = word == "F" ? P("f") : word == "D" ? P("") : word == "C" ? P("cache") : word;
    std::string command;
    for (const std::string& word : arguments) command += " [" + word + "]";
    SCOPED_TRACE(command);
    const ProcessResult result = Lum(arguments);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_FALSE(result.err.empty());
    EXPECT_TRUE((dir_ / "cache/ab/cd/ef/kept").exists());
    EXPECT_TRUE((dir_ / "f").exists());
  }
}

TEST_F(Lumfs, CopyOneFileAndSeveralIntoADirectory) {
  WriteFile(dir_ / "a", std::string(3 << 20, 'a'));
  WriteFile(dir_ / "b", "bee");
  ProcessResult result = Lum({"copy", P("a"), P("a2")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(dir_ / "a2"), ReadFile(dir_ / "a"));
  // The last line: the total, the time taken and the average rate; on a
  // terminal it also clears whatever the bar left on the line.
  const std::string finalLine = "copy: 100% 3\\.0 MiB in [0-9.]+ s(, [0-9.]+ [KMGTPE]?i?B/s)?";
  EXPECT_TRUE(std::regex_search(result.err, std::regex("\n" + finalLine + "\n$"))) << result.err;
#ifndef _WIN32
  EXPECT_TRUE(std::regex_search(OnTerminal({"copy", P("a"), P("a3")}), std::regex("\r" + finalLine + "\x1b\\[K\r\n$")));
#endif

  ASSERT_TRUE(ioPath::create_directory(dir_ / "into"));
  result = Lum({"copy", P("a"), P("b"), P("into")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(dir_ / "into/b"), "bee");
  EXPECT_EQ((dir_ / "into/a").file_size(), 3u << 20);
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

TEST_F(Lumfs, DirectoryCommands) {
  ProcessResult result = Lum({"tmp", "new"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ioPath(result.out.substr(0, result.out.size() - 1)).parent_path(), dir_ / "tmp") << result.out;

  ASSERT_TRUE(ioPath::create_directories(dir_ / "tree/sub"));
  WriteFile(dir_ / "tree/sub/f", "x");
  ASSERT_EQ(Lum({"copydir", P("tree"), P("copy")}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "copy/sub/f"), "x");
  EXPECT_EQ(Lum({"rmdir", P("copy"), "--older-than", "1"}).status, 1) << "nothing old enough";
  ASSERT_EQ(Lum({"rmdir", P("copy")}).status, 0);
  EXPECT_FALSE((dir_ / "copy").exists());

  WriteFile(dir_ / "clip.mp4", "");
  EXPECT_EQ(Lum({"freename", P("clip"), "mp4"}).out, P("clip (1).mp4") + "\n");
  result = Lum({"freename", P("tree/.."), "mp4"});
  EXPECT_EQ(ioPath(result.out.substr(0, result.out.size() - 1)), dir_ / "tree/../(1).mp4") << "a directory, as with --dir";
  result = Lum({"freename", P("clip"), "m:p4"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "lumfs: " + P("clip") + ": no valid file name can be made here with extension 'm:p4'\n");

  result = Lum({"tmp", "clean", "lumfs-test-product", "0"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE((dir_ / "tmp/lumfs-test-product").is_directory());
}

// --- Linux only: links and FIFOs, signals, terminals, the trash and XDG -------
#ifndef _WIN32
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

TEST_F(Lumfs, CopyRefusalsNameThePathAndTheReason) {
  WriteFile(dir_ / "a", "data");
  ASSERT_EQ(::symlink("a", P("link").c_str()), 0);
  ASSERT_TRUE(ioPath::create_directories(dir_ / "into/a"));
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  const struct { std::vector<std::string> arguments; std::string error; } rows[] = {
      {{P("a"), P("a")}, P("a") + ": the same file as the source " + P("a")},
      {{P("a"), P("link")}, P("link") + ": the same file as the source " + P("a")},
      {{P("a"), P("into")}, P("into/a") + ": Is a directory"},
      {{P("a"), P("fifo")}, P("fifo") + ": not a regular file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    std::vector<std::string> arguments = {"copy"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    const ProcessResult result = Lum(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumfs: " + row.error + "\n");
  }
  EXPECT_EQ(ReadFile(dir_ / "a"), "data");
}

// Ctrl-C while the copy runs: lumfs's standard error is a pipe that is full,
// so its first progress line blocks the copy before a byte is copied; the
// interrupt comes once the copy is stuck there (seen in /proc), and then the
// pipe is drained. No timing is involved: the copy is cancelled at its first
// look at the flag, whatever the file system.
TEST_F(Lumfs, CopyInterruptedLeavesNoPartialDestination) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer runs signal handlers late, when the copy may have ended";
#endif
  WriteFile(dir_ / "source", std::string(1 << 20, 's'));
  WriteFile(dir_ / "copy", "old");
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(pipe[1], F_SETFL, O_NONBLOCK), 0);
  const std::string filler(4096, 'f');
  while (::write(pipe[1], filler.data(), filler.size()) > 0) {
  }
  while (::write(pipe[1], filler.data(), 1) > 0) {
  }
  ASSERT_EQ(::fcntl(pipe[1], F_SETFL, 0), 0);
  const std::string source = P("source"), destination = P("copy");
  const int pid = support::Fork([&] {
    if (::dup2(pipe[1], STDERR_FILENO) < 0) return 126;
    ::execl(kLumfs.c_str(), kLumfs.c_str(), "copy", source.c_str(), destination.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  ::close(pipe[1]);
  // Some thread of lumfs is in write(2, ...): system call 1 on descriptor 2.
  const auto blockedOnStandardError = [&] {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
      std::string call, fd;
      std::ifstream(task.path() / "syscall") >> call >> fd;
      if (call == "1" && fd == "0x2") return true;
    }
    return false;
  };
  ASSERT_TRUE(support::WaitUntil(blockedOnStandardError, std::chrono::seconds(60)));
  ::kill(pid, SIGINT);
  std::string err;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) > 0;) err.append(chunk, static_cast<std::size_t>(got));
  ::close(pipe[0]);
  EXPECT_EQ(support::WaitForChild(pid), 1) << err;
  EXPECT_NE(err.find("cancelled"), std::string::npos) << err.substr(err.find_last_of('f') + 1, 2000);
  EXPECT_EQ(ReadFile(dir_ / "copy"), "old") << "the destination is as it was";
  EXPECT_EQ(std::distance(dir_.path().iterator(), boost::filesystem::directory_iterator()), 4) << "nothing staged stays";
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
#endif  // Linux only

}  // namespace
}  // namespace Tarnix
