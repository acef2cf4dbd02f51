#include "support/LogCapture.h"

namespace Tarnix::Test {

LogCapture::LogCapture() { google::AddLogSink(this); }

LogCapture::~LogCapture() { google::RemoveLogSink(this); }

void LogCapture::send(google::LogSeverity severity, const char* /*fullFilename*/, const char* baseFilename, int line,
                      const google::LogMessageTime& /*time*/, const char* message, size_t messageLen) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back({severity, baseFilename, line, std::string(message, messageLen)});
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

}  // namespace Tarnix::Test
