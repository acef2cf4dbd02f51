// Captures glog records for the lifetime of the object.
#pragma once

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

namespace Tarnix::Test {

struct LogRecord {
  google::LogSeverity severity;
  std::string file;  // base name of the source file, as glog reports it
  int line;
  std::string text;
};

class LogCapture : public google::LogSink {
 public:
  LogCapture();
  ~LogCapture() override;

  void send(google::LogSeverity severity, const char* fullFilename, const char* baseFilename, int line,
            const google::LogMessageTime& time, const char* message, size_t messageLen) override;

  std::vector<LogRecord> records() const;

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;  // guarded by mutex_
};

}  // namespace Tarnix::Test
