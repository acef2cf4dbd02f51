// The per-user cache root on Linux, by the XDG base-directory rules.
#include "Filesystem/ShellOperations.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace Tarnix::Core {

namespace {

// The value of environment variable `name` when it holds an absolute path.
const char* AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : nullptr;
}

// The home directory of the effective user's password-database entry; empty
// when there is no entry or it names no absolute home.
std::string HomeFromPasswordDatabase() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int error;
  while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/') return {};
  return entry.pw_dir;
}

}  // namespace

ioPath GetSystemCacheRoot() {
  if (const char* cacheHome = AbsoluteFromEnvironment("XDG_CACHE_HOME")) return ioPath(std::string(cacheHome));
  std::string home;
  if (const char* fromEnvironment = AbsoluteFromEnvironment("HOME")) {
    home = fromEnvironment;
  } else {
    home = HomeFromPasswordDatabase();
  }
  if (home.empty()) return ioPath();
  return ioPath(home) / ioPath(".cache");
}

}  // namespace Tarnix::Core
