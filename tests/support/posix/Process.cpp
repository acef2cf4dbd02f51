#include "support/Process.h"

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace Tarnix::Test {

Process::Process(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment, const ioPath& outputDir)
    : out_(outputDir / "stdout"), err_(outputDir / "stderr") {
  pid_ = Fork([&] {
    if (!std::freopen(out_.platformString().c_str(), "w", stdout) ||
        !std::freopen(err_.platformString().c_str(), "w", stderr)) {
      return 126;
    }
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    return 127;
  });
}

Process::~Process() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  WaitForChild(pid_);
}

std::string Process::Out() const { return ReadFile(out_); }
std::string Process::Err() const { return ReadFile(err_); }

void Process::Signal(int signal) { ::kill(pid_, signal); }

ProcessResult Process::Finish() {
  int status = 0;
  if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::minutes(2))) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), Out(), Err()};
}

}  // namespace Tarnix::Test
