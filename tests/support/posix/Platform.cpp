// The Linux half of the test support: test directories, file times, file
// systems and what Test.h says about the system.
#include "support/Test.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace Tarnix::Test {

namespace detail {

ioPath MakeUniqueDirectory(const std::string& parent) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (!parent.empty() ? parent : tmp && *tmp ? tmp : "/tmp") + std::string("/lumfs-test-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  return ioPath(pattern);
}

void ForceRemoveTree(const ioPath& path) {
  // Tests may leave entries without permissions; give them back first.
  boost::system::error_code ec;
  for (fs::recursive_directory_iterator it(fs::path(path.platformString()), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->symlink_status().type() == fs::symlink_file) continue;
    ::chmod(it->path().c_str(), it->symlink_status().type() == fs::directory_file ? 0700 : 0600);
  }
  ::chmod(path.platformString().c_str(), 0700);
  fs::remove_all(fs::path(path.platformString()), ec);
}

}  // namespace detail

void Link(const std::string& target, const ioPath& at) {
  if (::symlink(target.c_str(), at.platformString().c_str()) != 0) throw std::runtime_error("symlink failed: " + at.utf8string());
}

std::unique_ptr<TempDir> TempDirOnOtherFileSystem(const ioPath& than) {
  auto shm = std::make_unique<TempDir>("/dev/shm");
  if (!OnDifferentFileSystems(than, shm->path())) shm.reset();
  return shm;
}

bool HasBothTimes(const ioPath& path, long long seconds) {
  struct stat st {};
  return ::stat(path.platformString().c_str(), &st) == 0 && st.st_atim.tv_sec == seconds &&
         st.st_mtim.tv_sec == seconds && st.st_atim.tv_nsec == 0 && st.st_mtim.tv_nsec == 0;
}

bool OnDifferentFileSystems(const ioPath& a, const ioPath& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.platformString().c_str(), &sa) == 0 && ::stat(b.platformString().c_str(), &sb) == 0 &&
         sa.st_dev != sb.st_dev;
}

bool UnderWine() { return false; }

ioPath RunningProgram() { return ioPath(std::filesystem::read_symlink("/proc/self/exe").string()); }

std::size_t OpenHandleCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

std::string GetEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
  value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace Tarnix::Test
