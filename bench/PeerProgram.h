// The programs the benchmarks compare the library with. A benchmark whose
// peer is missing measures the library alone and says why.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace Tarnix::Bench {

// Whether `program` is an executable file in a directory of $PATH.
inline bool OnPath(const std::string& program) {
  const char* variable = std::getenv("PATH");
  const std::string directories = variable != nullptr ? variable : "/usr/bin:/bin";
  for (std::size_t begin = 0;;) {
    const std::size_t end = directories.find(':', begin);
    const std::string directory = directories.substr(begin, end - begin);
    if (::access(((directory.empty() ? "." : directory) + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) return false;
    begin = end + 1;
  }
}

}  // namespace Tarnix::Bench
