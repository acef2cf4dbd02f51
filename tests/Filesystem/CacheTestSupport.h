// Shared pieces of the file cache tests.
#pragma once

#include "Filesystem/ioPath.h"
#include "support/TempDir.h"

#include <sys/stat.h>

#include <limits>
#include <string>

namespace Tarnix::Test {

constexpr long long kStamp = 1'500'000'000;  // any whole second will do
constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();

// Whether both times of `path` are exactly `seconds`, without a fraction.
// Check before reading the file: reading may move the access time.
inline bool HasBothTimes(const ioPath& path, long long seconds) {
  struct stat st {};
  return ::stat(path.platformString().c_str(), &st) == 0 && st.st_atim.tv_sec == seconds &&
         st.st_mtim.tv_sec == seconds && st.st_atim.tv_nsec == 0 && st.st_mtim.tv_nsec == 0;
}

inline ioPath MakeSource(const ioPath& dir, const std::string& name, const std::string& contents) {
  WriteFile(dir / ioPath(name), contents);
  return dir / ioPath(name);
}

}  // namespace Tarnix::Test
