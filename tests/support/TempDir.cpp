#include "support/TempDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace Tarnix::Test {

TempDir::TempDir(const std::string& parent) {
  std::string base = parent;
  if (base.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/lumfs-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed below " + base);
  path_ = ioPath(std::string(buffer.data()));
}

TempDir::~TempDir() {
  // Tests may leave entries without permissions; give them back first.
  boost::system::error_code ec;
  for (fs::recursive_directory_iterator it(fs::path(path_.platformString()), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->symlink_status().type() == fs::symlink_file) continue;
    ::chmod(it->path().c_str(), it->symlink_status().type() == fs::directory_file ? 0700 : 0600);
  }
  ::chmod(path_.platformString().c_str(), 0700);
  fs::remove_all(fs::path(path_.platformString()), ec);
}

void WriteFile(const ioPath& path, const std::string& contents) {
  std::ofstream out(path.platformString(), std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path.utf8string());
}

std::string ReadFile(const ioPath& path) {
  std::ifstream in(path.platformString(), std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void SetFileTime(const ioPath& path, long long secondsSinceEpoch) {
  const timespec times[2] = {{static_cast<time_t>(secondsSinceEpoch), 0}, {static_cast<time_t>(secondsSinceEpoch), 0}};
  if (::utimensat(AT_FDCWD, path.platformString().c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("utimensat failed on " + path.utf8string());
  }
}

bool OnDifferentFileSystems(const ioPath& a, const ioPath& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.platformString().c_str(), &sa) == 0 && ::stat(b.platformString().c_str(), &sb) == 0 &&
         sa.st_dev != sb.st_dev;
}

}  // namespace Tarnix::Test
