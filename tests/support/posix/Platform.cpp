#include "support/Platform.h"

#include <cstdlib>
#include <filesystem>

namespace Tarnix::Test {

bool UnderWine() { return false; }

std::size_t OpenHandleCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) count += !entry.path().empty();
  return count;
}

std::string GetEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
  value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace Tarnix::Test
