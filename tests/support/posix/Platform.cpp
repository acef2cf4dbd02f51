#include "support/Platform.h"

#include <cstdlib>

namespace Tarnix::Test {

bool UnderWine() { return false; }

std::string GetEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
  value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace Tarnix::Test
