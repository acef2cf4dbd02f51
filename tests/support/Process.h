// Child processes: a program run with its output captured in files, and on
// Linux test code run in a forked child, for behaviour between processes.
#pragma once

#include "Filesystem/ioPath.h"

#include <functional>
#include <string>
#include <vector>

namespace Tarnix::Test {

struct ProcessResult {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out;
  std::string err;
};

// A running program, its standard output and error going to two files in
// `outputDir`; it sees `firstWord` (by default `program`) as the first word
// of its command line.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& arguments, const ioPath& outputDir,
          const std::string& firstWord = "");
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  std::string Out() const;  // what it has written so far
  std::string Err() const;
#ifndef _WIN32
  void Signal(int signal);
#endif
  // Waits for the end (killing the child after a generous deadline).
  ProcessResult Finish();

 private:
#ifdef _WIN32
  void* process_ = nullptr;  // the process HANDLE
#else
  int pid_ = -1;
#endif
  ioPath out_;
  ioPath err_;
};

#ifndef _WIN32
// Forks; the child runs `body` and exits with its result (1 on an exception)
// as user and group `uid` when given and the test runs as root (any number:
// no account is needed). Returns the child's pid.
int Fork(const std::function<int()>& body, int uid = -1);
// Waits for `pid`; returns its exit status, or 128 + signal when it was killed.
int WaitForChild(int pid);
// Runs `body` in a child and returns its exit status.
int RunInChild(const std::function<int()>& body);
// Runs `body` in a child that, when the test runs as root, first drops to the
// unprivileged user nobody (65534), so that permission checks apply to it.
int RunUnprivileged(const std::function<int()>& body);

// A pipe for handing turns between a parent and a forked child.
class Baton {
 public:
  Baton();
  ~Baton();
  Baton(const Baton&) = delete;
  Baton& operator=(const Baton&) = delete;
  void Signal();
  bool Wait(int timeoutMs = 10000);  // false at the deadline

 private:
  int fds_[2];
};
#endif

}  // namespace Tarnix::Test
