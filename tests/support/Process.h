// Running a program as a child process, its output captured in files
// (posix/Process.cpp: fork and exec; win/Process.cpp: CreateProcessW).
#pragma once

#include "Filesystem/ioPath.h"

#include <map>
#include <string>
#include <vector>

namespace Tarnix::Test {

struct ProcessResult {
  int status = -1;  // exit status, 128 + signal when killed
  std::string out;
  std::string err;
};

// A running child; standard output and error go to two files in `outputDir`.
// `environment` entries are added to this process's environment.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& arguments,
          const std::map<std::string, std::string>& environment, const ioPath& outputDir);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // What the child has written so far.
  std::string Out() const;
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

}  // namespace Tarnix::Test
