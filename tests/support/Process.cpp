#include "support/Process.h"

#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace Tarnix::Test {

Process::Process(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pid_ = Fork([&] {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    return 127;
  });
  ::close(out[1]);
  ::close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    WaitForChild(pid_);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool Process::Pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) return false;
  const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
  if (ready < 0 && errno != EINTR) return false;
  std::string* buffers[2] = {&result_.out, &result_.err};
  int* descriptors[2] = {&outFd_, &errFd_};
  for (int i = 0; i < 2; ++i) {
    if (*descriptors[i] < 0 || fds[i].revents == 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(*descriptors[i], chunk, sizeof chunk);
    if (got > 0) {
      buffers[i]->append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(*descriptors[i]);
      *descriptors[i] = -1;
    }
  }
  return outFd_ >= 0 || errFd_ >= 0;
}

bool Process::WaitForOutput(const std::string& pattern, bool fromErr, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  const std::string& stream = fromErr ? result_.err : result_.out;
  while (stream.find(pattern) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Pump(left)) return stream.find(pattern) != std::string::npos;
  }
  return true;
}

void Process::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ProcessResult Process::Finish(std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid_, SIGKILL);
      break;
    }
    if (!Pump(left)) break;
  }
  result_.status = WaitForChild(pid_);
  pid_ = -1;
  return result_;
}

ProcessResult Run(const std::string& program, const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment) {
  return Process(program, arguments, environment).Finish();
}

}  // namespace Tarnix::Test
