// Running a program as a child process with captured output.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace Tarnix::Test {

struct ProcessResult {
  int status = -1;  // exit status, 128 + signal when killed, -1 when it could not run
  std::string out;
  std::string err;
};

// A running child whose standard output and error go to pipes.
class Process {
 public:
  // `environment` entries are added to (or replace those of) this process's environment.
  Process(const std::string& program, const std::vector<std::string>& arguments,
          const std::map<std::string, std::string>& environment = {});
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Reads output until `pattern` appears in the stream (err when `fromErr`)
  // or the deadline passes; true when it appeared.
  bool WaitForOutput(const std::string& pattern, bool fromErr,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20));
  void Signal(int signal);
  // Waits for the end (killing the child after the deadline) and returns everything.
  ProcessResult Finish(std::chrono::milliseconds deadline = std::chrono::seconds(120));

 private:
  // Moves whatever is readable within `timeout` into the buffers; false at end of both streams.
  bool Pump(std::chrono::milliseconds timeout);

  int pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  ProcessResult result_;
};

ProcessResult Run(const std::string& program, const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment = {});

}  // namespace Tarnix::Test
