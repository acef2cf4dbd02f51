// Shared pieces of the file cache tests.
#pragma once

#include "Filesystem/ioPath.h"
#include "support/TempDir.h"

#include <sys/stat.h>

#include <string>

namespace Tarnix::Test {

constexpr long long kStamp = 1'500'000'000;  // 2017-07-14, any whole second will do

// Both times of `path` in whole seconds (-1 when it cannot be read), and
// whether they carry no fraction.
struct FileTimes {
  long long access = -1;
  long long modification = -1;
  bool whole = false;
};

inline FileTimes TimesOf(const ioPath& path) {
  struct stat st {};
  if (::stat(path.platformString().c_str(), &st) != 0) return {};
  return {st.st_atim.tv_sec, st.st_mtim.tv_sec, st.st_atim.tv_nsec == 0 && st.st_mtim.tv_nsec == 0};
}

inline bool HasBothTimes(const ioPath& path, long long seconds) {
  const FileTimes times = TimesOf(path);
  return times.access == seconds && times.modification == seconds && times.whole;
}

// A fresh source file `name` in `dir` holding `contents`.
inline ioPath MakeSource(const ioPath& dir, const std::string& name, const std::string& contents) {
  const ioPath path = dir / ioPath(name);
  WriteFile(path, contents);
  return path;
}

}  // namespace Tarnix::Test
