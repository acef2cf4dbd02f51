// Running test code in a forked child, for behaviour between processes.
#pragma once

#include <functional>
#include <string>

namespace Tarnix::Test {

// A one-byte-message pipe for handing turns between parent and child.
class Baton {
 public:
  Baton();
  ~Baton();
  Baton(const Baton&) = delete;
  Baton& operator=(const Baton&) = delete;

  void Signal();
  // False when the other side closed the pipe (died) or the deadline passed.
  bool Wait(int timeoutMs = 10000);
  // Call in each process after fork for the end it does not use.
  void CloseWriteEnd();
  void CloseReadEnd();

 private:
  int fds_[2];
};

// Forks; the child runs `body` and exits with its result (1 on an exception).
// Returns the child's pid.
int Fork(const std::function<int()>& body);

// Waits for `pid`; returns its exit status, or 128 + signal when it was killed.
int WaitForChild(int pid);

// Runs `body` in a child and returns its exit status.
int RunInChild(const std::function<int()>& body);

}  // namespace Tarnix::Test

namespace Tarnix::Test {

// Runs `body` in a child that, when the test runs as root, first drops to the
// unprivileged user nobody (65534), so that permission checks apply to it.
int RunUnprivileged(const std::function<int()>& body);

// Forks a child that, when the test runs as root, first becomes user and
// group `uid` (any number: no account is needed); returns its pid.
int ForkAs(unsigned uid, const std::function<int()>& body);

}  // namespace Tarnix::Test
