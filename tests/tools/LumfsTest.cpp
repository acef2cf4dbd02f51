// The installed lumfs program, run as a process: its exit statuses, messages,
// argument parsing and output. What the library does behind a subcommand is
// tested with the library.
#include "support/Test.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace Tarnix {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)

const std::string kLumfs = HelperProgram(LUMFS_BINARY);
const std::string kName = "Gr\u00fc\u00dfe \u20ac \u65e5\u672c";
const std::pair<const char*, const char*> kEnvironment[] = {{"HOME", "home"}, {"TMPDIR", "tmp"}, {"TMP", "tmp"}};

class Lumfs : public TempDirTest {
 protected:
  // Every run gets a private home and temporary directory.
  void SetUp() override {
    for (const auto& [name, value] : kEnvironment) {
      saved_.emplace_back(name, GetEnvironment(name));
      SetEnvironment(name, P(value));
      ASSERT_TRUE(ioPath::create_directories(dir_ / value));
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) SetEnvironment(name, value);
  }
  std::unique_ptr<Process> Start(const std::vector<std::string>& arguments) const {
    return std::make_unique<Process>(kLumfs, arguments, dir_.path());
  }
  // Its output with plain line ends: Windows' text streams write "\r\n".
  ProcessResult Lum(const std::vector<std::string>& arguments) const {
    ProcessResult result = Start(arguments)->Finish();
    for (std::string* text : {&result.out, &result.err}) text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    return result;
  }
  // Its one line of output, without the line end.
  std::string Line(const std::vector<std::string>& arguments) const {
    const std::string out = Lum(arguments).out;
    return out.substr(0, out.find('\n'));
  }
  std::string P(const std::string& name) const { return (dir_ / name).utf8string(); }
  std::vector<std::pair<std::string, std::string>> saved_;  // what the variables were
};

TEST_F(Lumfs, VersionIsTheProjects) { EXPECT_EQ(Lum({"--version"}).out, "lumfs " LUMFS_VERSION "\n"); }

// Bad usage exits 2 with a message and touches nothing: one row per kind of
// mistake, and every number lumfs reads is decimal digits within its range.
TEST_F(Lumfs, BadUsageExitsTwoAndDoesNothing) {
  WriteFile(dir_ / "f", "x");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "cache/ab/cd/ef"));
  WriteFile(dir_ / "cache/ab/cd/ef/kept", "x");
  const std::vector<std::vector<std::string>> rows = {
      {}, {"frobnicate"}, {"copy", "F"}, {"watch", "C", "--kind", "bogus"},
      {"cache", "clean", "C", "0x10"}, {"cache", "clean", "C", " 5"}, {"cache", "clean", "C", "5 K"},
      {"cache", "clean", "C", "-1"}, {"cache", "clean", "C", "1.5.5M"}, {"cache", "clean", "C", ""},
      {"cache", "clean", "C", "0.5"}, {"cache", "clean", "C", "1e30"}, {"cache", "clean", "C", "17179869184G"},
      {"cache", "clean", "C", "99999999999999999999"}, {"tmp", "clean", "P", "2147483648"},
      {"rmdir", "C", "--older-than", "+0"}, {"cache", "put", "C", "abcd", "F", "--time", "9223372036854775808"}};
  for (std::vector<std::string> arguments : rows) {
    for (std::string& word : arguments) word = word == "F" ? P("f") : word == "C" ? P("cache") : word;
    SCOPED_TRACE(testing::PrintToString(arguments));
    const ProcessResult result = Lum(arguments);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_FALSE(result.err.empty());
    EXPECT_TRUE((dir_ / "cache/ab/cd/ef/kept").exists());
    EXPECT_TRUE((dir_ / "f").exists());
  }
}

// A name beyond ASCII reaches the library as it is (on Windows through the
// wide command line) and is joined to the directory it is copied into.
TEST_F(Lumfs, CopyOneFileAndSeveralIntoADirectory) {
  WriteFile(dir_ / "a", std::string(3 << 20, 'a'));
  WriteFile(dir_ / kName, "unicode");
  ProcessResult result = Lum({"copy", P("a"), P("a2")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(dir_ / "a2"), ReadFile(dir_ / "a"));
  // The last line: the total, the time taken and the average rate; on a
  // terminal it also clears whatever the bar left on the line.
  const std::string finalLine = "copy: 100% 3\\.0 MiB in [0-9.]+ s(, [0-9.]+ [KMGTPE]?i?B/s)?";
  EXPECT_TRUE(std::regex_search(result.err, std::regex("\n" + finalLine + "\n$"))) << result.err;
#ifndef _WIN32
  // On a terminal (script(1) makes one, and copies what it received to its output).
  const std::string onTerminal = Process("/usr/bin/script", {"-qec", kLumfs + " copy '" + P("a") + "' '" + P("a3") + "'",
                                                             "/dev/null"}, dir_.path()).Finish().out;
  EXPECT_TRUE(std::regex_search(onTerminal, std::regex("\r" + finalLine + "\x1b\\[K\r\n$"))) << onTerminal;
#endif

  ASSERT_TRUE(ioPath::create_directory(dir_ / "into"));
  result = Lum({"copy", P("a"), P(kName), P("into")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(dir_ / ("into/" + kName)), "unicode");
  EXPECT_EQ((dir_ / "into/a").file_size(), 3u << 20);
}

// copydir, rmdir and cache clean: without a terminal a summary line alone; on
// a terminal a progress line drawn in place (the first report at once), then
// the summary replaces it.
TEST_F(Lumfs, TreeCommandsShowProgressOnATerminalThenASummary) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "src/sub"));
  WriteFile(dir_ / "src/a", std::string(1024, 'a'));
  WriteFile(dir_ / "src/sub/b", std::string(1024, 'b'));
  const std::string copied = "copydir: 3 entries, 2\\.0 KiB in [0-9.]+ s, [0-9.]+ [KMGTPE]?i?B/s";
  const std::string removed = "rmdir: removed 4 entries, 2\\.0 KiB in [0-9.]+ s, [0-9]+ entries/s";
  ProcessResult result = Lum({"copydir", P("src"), P("plain")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(std::regex_match(result.err, std::regex(copied + "\n"))) << result.err;
  result = Lum({"rmdir", P("plain")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(std::regex_match(result.err, std::regex(removed + "\n"))) << result.err;
  EXPECT_FALSE((dir_ / "plain").exists());
#ifndef _WIN32
  // script(1) runs the command on a terminal and copies what it showed (line ends as "\r\n").
  const auto onTerminal = [&](const std::string& command) {
    return Process("/usr/bin/script", {"-qec", kLumfs + " " + command, "/dev/null"}, dir_.path()).Finish().out;
  };
  // The first report is drawn at once; on a slow machine later ones may be too.
  const auto drawn = [](const std::string& first, const std::string& later) {
    const std::string line = "[^\r\n]*\x1b\\[K";
    return "\r" + first + line + "(\r" + later + line + ")*";
  };
  std::string shown = onTerminal("copydir '" + P("src") + "' '" + P("dst") + "'");
  EXPECT_TRUE(std::regex_match(shown, std::regex(drawn("copydir: 1 entries, ", "copydir: ") + "\r" + copied + "\x1b\\[K\r\n")))
      << shown;
  EXPECT_EQ(ReadFile(dir_ / "dst/sub/b"), std::string(1024, 'b'));
  shown = onTerminal("rmdir '" + P("dst") + "'");
  EXPECT_TRUE(std::regex_match(shown, std::regex(drawn("rmdir: removed 1 entries, ", "rmdir: ") + "\r" + removed + "\x1b\\[K\r\n")))
      << shown;
  // The clean-up's summary goes to standard output, once the progress line is erased.
  shown = onTerminal("cache clean '" + P("src") + "' 1K");
  EXPECT_TRUE(std::regex_match(shown, std::regex(drawn("cache clean: counted 1 files, ", "cache clean: ") + "\r\x1b\\[K" +
                                                 "counted 2 files, 2\\.0 KiB \\(limit 1\\.0 KiB\\); removed 2 files, "
                                                 "2\\.0 KiB; 0 files remain\r\n")))
      << shown;
#endif
}

TEST_F(Lumfs, CacheRoundTrip) {
  EXPECT_EQ(Lum({"cache", "key", "abc"}).out, "900150983cd24fb0d6963f7d28e17f72\n");
  for (const std::string layout : {"", "--flat"}) {
    SCOPED_TRACE(layout);
    const auto command = [&](std::vector<std::string> words) {
      if (!layout.empty()) words.push_back(layout);
      return words;
    };
    WriteFile(dir_ / "payload.bin", "cached bytes");
    const std::string cached = Line(command({"cache", "put", P("cache"), "0123456789", P("payload.bin"), "--time", "1000000000"}));
    EXPECT_EQ(ReadFile(ioPath(cached)), "cached bytes");
    EXPECT_EQ(Lum(command({"cache", "find", P("cache"), "0123456789"})).out, cached + "\t1000000000\n");
    EXPECT_EQ(Lum(command({"cache", "remove", P("cache"), "0123456789"})).status, 0);
    const ProcessResult result = Lum(command({"cache", "find", P("cache"), "0123456789"}));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("0123456789"), std::string::npos) << result.err;
  }

  WriteFile(dir_ / "f", std::string(2048, 'x'));
  ASSERT_EQ(Lum({"cache", "put", P("cache"), "abcdef", P("f")}).status, 0);
  const ProcessResult clean = Lum({"cache", "clean", P("cache"), "1K"});
  ASSERT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.out.find("counted 1 files, 2.0 KiB (limit 1.0 KiB); removed 1 files"), std::string::npos) << clean.out;
}

TEST_F(Lumfs, TemporaryDirectoriesAndFreeNames) {
  EXPECT_EQ(ioPath(Line({"tmp", "new"})).parent_path(), dir_ / "tmp");
  ASSERT_TRUE(ioPath::create_directory(dir_ / "tree"));
  WriteFile(dir_ / "clip.mp4", "");
  EXPECT_EQ(Line({"freename", P("clip"), "mp4"}), P("clip (1).mp4"));
  EXPECT_EQ(ioPath(Line({"freename", P("tree/.."), "mp4"})), dir_ / "tree/../(1).mp4") << "a directory, as with --dir";
  const ProcessResult result = Lum({"freename", P("clip"), "m:p4"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "lumfs: " + P("clip") + ": no valid file name can be made here with extension 'm:p4'\n");
  ASSERT_EQ(Lum({"tmp", "clean", "lumfs-test-product", "0"}).status, 0);
  EXPECT_TRUE((dir_ / "tmp/lumfs-test-product").is_directory());
}

// A copy onto its own source is refused and names both, in UTF-8; on Linux
// also through a link, onto a directory in the way and onto a FIFO.
TEST_F(Lumfs, CopyRefusalsNameThePathAndTheReason) {
  WriteFile(dir_ / kName, "data");
  std::vector<std::pair<std::string, std::string>> rows = {  // the destination, the message
      {kName, P(kName) + ": the same file as the source " + P(kName)}};
#ifndef _WIN32
  ASSERT_EQ(::symlink(kName.c_str(), P("link").c_str()), 0);
  ASSERT_TRUE(ioPath::create_directories(dir_ / ("into/" + kName)));
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  rows.insert(rows.end(), {{"link", P("link") + ": the same file as the source " + P(kName)},
                           {"into", P("into/" + kName) + ": Is a directory"},
                           {"fifo", P("fifo") + ": not a regular file"}});
#endif
  for (const auto& [destination, error] : rows) {
    SCOPED_TRACE(error);
    const ProcessResult result = Lum({"copy", P(kName), P(destination)});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "lumfs: " + error + "\n");
  }
  EXPECT_EQ(ReadFile(dir_ / kName), "data");
}

// --- Linux only: signals, terminals, the manual and the completion -----------
#ifndef _WIN32
// Ctrl-C while the copy runs, without timing: standard error is a full pipe,
// so the first progress line holds the copy before a byte is copied; the
// interrupt goes to the main thread (waiting on a futex) once that is seen in
// /proc, and the pipe is drained once the handler has run.
TEST_F(Lumfs, CopyInterruptedLeavesNoPartialDestination) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer runs signal handlers late, when the copy may have ended";
#endif
  WriteFile(dir_ / "source", std::string(1 << 20, 's'));
  WriteFile(dir_ / "copy", "old");
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(pipe[1], F_SETFL, O_NONBLOCK), 0);
  while (::write(pipe[1], "f", 1) > 0) {
  }
  ASSERT_EQ(::fcntl(pipe[1], F_SETFL, 0), 0);
  const std::string source = P("source"), destination = P("copy");
  const int pid = Fork([&] {
    if (::dup2(pipe[1], STDERR_FILENO) < 0) return 126;
    ::execl(kLumfs.c_str(), kLumfs.c_str(), "copy", source.c_str(), destination.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  ::close(pipe[1]);
  // A thread of lumfs in write(2, ...): system call 1 on descriptor 2.
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  const auto blockedOnStandardError = [&] {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
      std::string call, fd;
      std::ifstream(task.path() / "syscall") >> call >> fd;
      if (call == "1" && fd == "0x2") return true;
    }
    return false;
  };
  ASSERT_TRUE(WaitUntil(blockedOnStandardError, std::chrono::seconds(60)));
  const std::string mainThread = tasks + std::to_string(pid) + "/";
  const auto waiting = [&] { return ReadFile(mainThread + "wchan").find("futex") != std::string::npos; };
  ASSERT_TRUE(WaitUntil(waiting));
  ASSERT_EQ(::tgkill(pid, pid, SIGINT), 0);
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(mainThread + "status").find("\nSigPnd:\t0000000000000000\n") != std::string::npos && waiting(); }));
  std::string err;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) > 0;) err.append(chunk, static_cast<std::size_t>(got));
  ::close(pipe[0]);
  EXPECT_EQ(WaitForChild(pid), 1) << err;
  EXPECT_NE(err.find("cancelled"), std::string::npos) << err.substr(err.find_last_of('f') + 1, 2000);
  EXPECT_EQ(ReadFile(dir_ / "copy"), "old") << "the destination is as it was";
  EXPECT_EQ(EntriesIn(dir_.path()), 4) << "nothing staged stays";
}

// The subcommands and options lumfs --help-all lists: "cache put", "--flat".
std::pair<std::set<std::string>, std::set<std::string>> CommandsAndOptions(const std::string& help) {
  std::set<std::string> commands;
  std::set<std::string> options;
  std::string parent;
  std::smatch match;
  const std::regex option("--[a-z][a-z-]*");
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, match, std::regex("([a-z][a-z-]*)"))) {
      commands.insert(parent = match[1]);
    } else if (std::regex_search(line, match, std::regex("^    ([a-z]+)  ")) && !parent.empty()) {
      commands.insert(parent + " " + std::string(match[1]));
    }
    for (std::sregex_iterator it(line.begin(), line.end(), option), end; it != end; ++it) {
      options.insert(it->str());
    }
  }
  return {commands, options};
}

// The manual page has a section for every subcommand and describes every
// option; the bash completion offers every subcommand and a command's options.
TEST_F(Lumfs, ManualAndCompletionCoverEveryCommand) {
  const ProcessResult help = Lum({"--help-all"});
  ASSERT_EQ(help.status, 0);
  const auto [commands, options] = CommandsAndOptions(help.out);
  ASSERT_GT(commands.size(), 15u) << help.out;
  std::ifstream file(LUMFS_MANUAL_SOURCE);
  const std::string manual((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto roff = [](std::string text) { return std::regex_replace(text, std::regex("-"), "\\-"); };
  for (const std::string& command : commands) {
    EXPECT_NE(manual.find(".SS \"" + roff(command)), std::string::npos) << command;
  }
  for (const std::string& option : options) EXPECT_NE(manual.find(roff(option)), std::string::npos) << option;

  const auto complete = [&](const std::string& line) {
    const std::string script = "source /usr/share/bash-completion/bash_completion; source '" LUMFS_COMPLETION "'; "
                               "COMP_LINE='" + line + "'; COMP_POINT=${#COMP_LINE}; read -ra COMP_WORDS <<< \"$COMP_LINE\"; "
                               "[[ $COMP_LINE == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                               "_lumfs; printf '%s\\n' \"${COMPREPLY[@]}\"";
    const std::string out = Process("/bin/bash", {"-c", script}, dir_.path()).Finish().out;
    std::set<std::string> words;
    std::istringstream lines(out);
    for (std::string word; std::getline(lines, word);) words.insert(word);
    return words;
  };
  std::set<std::string> expected;
  for (const std::string& command : commands) {
    if (command.find(' ') == std::string::npos) expected.insert(command);
  }
  EXPECT_EQ(complete("lumfs "), expected);
  EXPECT_EQ(complete("lumfs cache "), (std::set<std::string>{"clean", "find", "key", "put", "remove"}));
  EXPECT_EQ(complete("lumfs cache put ROOT --"), (std::set<std::string>{"--flat", "--help", "--time"}));
  EXPECT_EQ(complete("lumfs rmdir --o"), (std::set<std::string>{"--older-than"}));
  EXPECT_EQ(complete("lumfs watch D --kind "), (std::set<std::string>{"modified", "renamed"}));
}

TEST_F(Lumfs, WatchPrintsALinePerChangeUntilInterrupted) {
  ASSERT_TRUE(ioPath::create_directories(dir_ / "watched/sub"));
  for (const auto& [arguments, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"watch", P("watched")}, " modified sub/f\n"}, {{"watch", P("watched"), "--kind", "modified"}, " modified\n"}}) {
    SCOPED_TRACE(line);
    for (const char* output : {"stdout", "stderr"}) ioPath::remove(dir_ / output);  // the previous run's
    const auto watch = Start(arguments);
    ASSERT_TRUE(WaitUntil([&] { return watch->Err().find("watching") != std::string::npos; }));
    WriteFile(dir_ / "watched/sub/f", "changed");
    EXPECT_TRUE(WaitUntil([&] { return watch->Out().find(line) != std::string::npos; })) << watch->Out();
    watch->Signal(SIGINT);
    const ProcessResult result = watch->Finish();
    EXPECT_EQ(result.status, 0) << result.err;
  }
}
#endif  // Linux only

}  // namespace
}  // namespace Tarnix
