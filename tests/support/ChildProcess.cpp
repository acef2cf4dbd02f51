#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <stdexcept>

namespace Tarnix::Test {

Baton::Baton() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

Baton::~Baton() {
  CloseReadEnd();
  CloseWriteEnd();
}

void Baton::Signal() {
  const char byte = 1;
  while (::write(fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

bool Baton::Wait(int timeoutMs) {
  pollfd pfd{fds_[0], POLLIN, 0};
  int ready;
  while ((ready = ::poll(&pfd, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready <= 0) return false;
  char byte;
  ssize_t got;
  while ((got = ::read(fds_[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  return got == 1;
}

void Baton::CloseWriteEnd() {
  if (fds_[1] >= 0) ::close(fds_[1]);
  fds_[1] = -1;
}

void Baton::CloseReadEnd() {
  if (fds_[0] >= 0) ::close(fds_[0]);
  fds_[0] = -1;
}

int Fork(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int status = 1;
    try {
      status = body();
    } catch (...) {
      status = 1;
    }
    ::_exit(status);  // no atexit handlers, no gtest teardown in the child
  }
  return pid;
}

int WaitForChild(int pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int RunInChild(const std::function<int()>& body) { return WaitForChild(Fork(body)); }

}  // namespace Tarnix::Test

namespace Tarnix::Test {

int ForkAs(unsigned uid, const std::function<int()>& body) {
  return Fork([&] {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) return 99;
    return body();
  });
}

int RunUnprivileged(const std::function<int()>& body) { return WaitForChild(ForkAs(65534, body)); }

}  // namespace Tarnix::Test
