// What every test includes: GoogleTest and GoogleMock, the test's own
// directory (TempDir.h), child processes (Process.h), log capture, waits with
// a deadline, and what a test needs to know about the system it runs on.
#pragma once

#include "support/Process.h"
#include "support/TempDir.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Tarnix::Test {

#ifdef _WIN32
inline constexpr bool kWindows = true;
inline constexpr char kTemporaryDirectoryVariable[] = "TMP";  // names the system's temporary directory
#else
inline constexpr bool kWindows = false;
inline constexpr char kTemporaryDirectoryVariable[] = "TMPDIR";
#endif

// Whether the tests run under Wine rather than on Windows itself (false on
// Linux). Wine lacks a few Windows features; only the tests that need one
// skip there, naming it, and still run on Windows.
bool UnderWine();
// How many files, sockets and other kernel objects this process has open:
// its descriptors on Linux, its handles on Windows.
std::size_t OpenHandleCount();
// Environment variable `name` (UTF-8), empty when unset; setting it empty unsets it.
std::string GetEnvironment(const std::string& name);
void SetEnvironment(const std::string& name, const std::string& value);

// A helper program the tests start (`built`: its path in the build tree). Run
// from the Windows test kit (run-tests.cmd beside the test program) it is the
// file of the same name beside the test program instead: the kit is unpacked
// anywhere, and the build's paths may not exist there or may be stale.
std::string HelperProgram(const std::string& built);
// The running test program's own file.
ioPath RunningProgram();

// Polls `done` until it returns true or `deadline` passes; returns its last answer.
template <typename Predicate>
bool WaitUntil(Predicate&& done, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct LogRecord {
  google::LogSeverity severity;
  std::string file;  // base name of the source file, as glog reports it
  std::string text;
};

// Captures glog records, from any thread, for the lifetime of the object.
class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity severity, const char* /*fullFilename*/, const char* baseFilename, int /*line*/,
            const google::LogMessageTime& /*time*/, const char* message, size_t messageLength) override {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back({severity, baseFilename, std::string(message, messageLength)});
  }
  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;  // guarded by mutex_
};

}  // namespace Tarnix::Test

// Skips the current test under Wine, naming the Windows feature Wine lacks.
#define LUM_SKIP_UNDER_WINE(feature)                                                             \
  do {                                                                                           \
    if (::Tarnix::Test::UnderWine()) GTEST_SKIP() << "Wine 8 does not do this: " << (feature); \
  } while (false)
