#include "support/Test.h"

#include <grp.h>
#include <poll.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace Tarnix::Test {

int Fork(const std::function<int()>& body, int uid) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid > 0) return pid;
  int status = 99;
  try {
    if (uid < 0 || ::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0)) {
      status = body();
    }
  } catch (...) {
    status = 1;
  }
  ::_exit(status);  // no atexit handlers, no gtest teardown in the child
}

int WaitForChild(int pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int RunInChild(const std::function<int()>& body) { return WaitForChild(Fork(body)); }

int RunUnprivileged(const std::function<int()>& body) { return WaitForChild(Fork(body, 65534)); }

Baton::Baton() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

Baton::~Baton() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void Baton::Signal() {
  while (::write(fds_[1], "", 1) < 0 && errno == EINTR) {
  }
}

bool Baton::Wait(int timeoutMs) {
  pollfd ready{fds_[0], POLLIN, 0};
  char byte;
  return ::poll(&ready, 1, timeoutMs) == 1 && ::read(fds_[0], &byte, 1) == 1;
}

Process::Process(const std::string& program, const std::vector<std::string>& arguments, const ioPath& outputDir,
                 const std::string& firstWord)
    : out_(outputDir / "stdout"), err_(outputDir / "stderr") {
  pid_ = Fork([&] {
    if (!std::freopen(out_.platformString().c_str(), "w", stdout) ||
        !std::freopen(err_.platformString().c_str(), "w", stderr)) {
      return 126;
    }
    std::vector<char*> argv{const_cast<char*>((firstWord.empty() ? program : firstWord).c_str())};
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
